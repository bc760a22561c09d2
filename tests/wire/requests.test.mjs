// Well-formed requests against the running service: both request forms,
// their exact framing, the envelope and command results, and sessions.

import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';
import {
  encryptCommand, jsonpPath, VaultlineClient,
} from '../../clients/js/src/index.js';
import { rootCa, startService } from './service.mjs';
import {
  exchange, expectedVersionText, getRequest, JSONP_HEAD, POST_HEAD, postRequest,
} from './wire.mjs';

let service;
let where;
before(async () => {
  service = await startService();
  where = { host: '127.0.0.1', port: service.port4 };
});
after(() => service?.stop());

const VERSION = JSON.stringify({ code: 0, data: expectedVersionText() });
const post = (body) => exchange(where, postRequest(body));
const jsonp = async (command, callback = 'cb', rankey) => exchange(where,
  getRequest(jsonpPath(callback, await encryptCommand(command, rankey ? { rankey } : {}))));

describe('version query, byte for byte', () => {
  test('by POST', async () => {
    assert.equal(await post('{"interfacetype":1,"id":"x"}'), POST_HEAD + VERSION);
  });

  test('by encrypted GET, with the "code: 1" header line', async () => {
    assert.equal(await jsonp('{"interfacetype":1,"id":"x"}', 'vl_cb$1'), `${JSONP_HEAD}vl_cb$1(${VERSION})`);
  });

  test('by encrypted GET with a 48-character R full of URL and JSON specials', async () => {
    const rankey = 'a"b\\c+d/e=f%g h~!#$()*,;<>?@[]^`{|}'.padEnd(48, 'Z');
    assert.equal(await jsonp('{"interfacetype":1,"id":"+&= ü"}', 'cb', rankey), `${JSONP_HEAD}cb(${VERSION})`);
  });

  test('through the client, both forms', async () => {
    for (const transport of ['post', 'jsonp']) {
      const client = new VaultlineClient({ ...where, transport, ca: rootCa() });
      assert.deepEqual(await client.version(), JSON.parse(VERSION), transport);
    }
  });
});

describe('command results', () => {
  // Results are compact with keys in sorted order: compared as text.
  const cases = [
    ['getKeyCount without a provider', { interfacetype: 0, id: 'x', data: { pcode: 7 } }, '{"code":-1,"pid":7}'],
    ['selectKey without a provider', { interfacetype: 0, id: 'x', data: { pcode: 8 } }, '{"code":-1,"pid":8}'],
    ['unknown pcode', { interfacetype: 0, id: 'x', data: { pcode: 9 } }, '{"code":-2,"pid":9}'],
    ['unknown pcode and ccode', { interfacetype: 0, id: 'x', data: { pcode: 9, ccode: 7 } }, '{"ccode":7,"code":-2,"pid":9}'],
    ['no data', { interfacetype: 0, id: 'x' }, '{"code":-2}'],
    ['ccode as a string', { interfacetype: 0, id: 'x', data: { ccode: '1' } }, '{"code":-2}'],
    ['interfacetype missing counts as 0', { id: 'x', data: { pcode: 9 } }, '{"code":-2,"pid":9}'],
    ['interfacetype 2: empty result', { interfacetype: 2, id: 'x', data: {} }, ''],
  ];
  for (const [name, envelope, result] of cases) {
    test(name, async () => {
      const text = JSON.stringify(envelope);
      assert.equal(await post(text), POST_HEAD + result, 'POST');
      assert.equal(await jsonp(text), `${JSONP_HEAD}cb(${result})`, 'GET');
    });
  }

  test('through the client', async () => {
    for (const transport of ['post', 'jsonp']) {
      const client = new VaultlineClient({ ...where, transport, ca: rootCa() });
      assert.deepEqual(await client.invoke({ pcode: 9, ccode: 7 }), { ccode: 7, code: -2, pid: 9 }, transport);
      assert.equal(await client.send('{"interfacetype":2}'), null, transport);
    }
  });
});

describe('command text that cannot be used gets {"code":-1}, never an earlier result', () => {
  // Each bad request follows one with a different result, so a reply that
  // repeats the previous result shows.
  const primer = '{"interfacetype":0,"id":"x","data":{"pcode":9}}';
  const primed = '{"code":-2,"pid":9}';

  const postCases = [
    ['not JSON', 'abc'],
    ['cut short', '{"interfacetype":0,"id":"x"'],
    ['JSON root that is not an object', '"text"'],
    ['id of the wrong type', '{"interfacetype":0,"id":{},"data":{"pcode":9}}'],
    ['interfacetype of the wrong type', '{"interfacetype":"zero","id":"x","data":{"pcode":9}}'],
    ['codepage of the wrong type with a pcode', '{"interfacetype":0,"id":"x","data":{"pcode":9,"codepage":"x"}}'],
  ];
  for (const [name, body] of postCases) {
    test(`POST: ${name}`, async () => {
      assert.equal(await post(primer), POST_HEAD + primed);
      assert.equal(await post(body), `${POST_HEAD}{"code":-1}`);
    });
  }

  const getCases = [
    ['datab made with another R', async () => {
      const form = JSON.parse(await encryptCommand(primer));
      const other = JSON.parse(await encryptCommand(primer));
      return JSON.stringify({ ...form, datab: other.datab });
    }],
    ['datab not Base64', async () => {
      const form = JSON.parse(await encryptCommand(primer));
      return JSON.stringify({ ...form, datab: form.datab.replace(/[+/]|.$/, '*') });
    }],
    ['plain JSON command, not encrypted', async () => primer],
    ['str not JSON', async () => 'abc'],
    ['datac under another key C', async () => {
      const form = JSON.parse(await encryptCommand(primer));
      const other = JSON.parse(await encryptCommand(primer));
      return JSON.stringify({ ...form, datac: other.datac });
    }],
  ];
  for (const [name, makeStr] of getCases) {
    test(`GET: ${name}`, async () => {
      assert.equal(await post(primer), POST_HEAD + primed);
      assert.equal(await exchange(where, getRequest(jsonpPath('cb', await makeStr()))), `${JSONP_HEAD}cb({"code":-1})`);
    });
  }

  test('GET without str', async () => {
    assert.equal(await post(primer), POST_HEAD + primed);
    assert.equal(await exchange(where, getRequest('/?jsoncallback=cb')), `${JSONP_HEAD}cb({"code":-1})`);
  });
});

test('sessions: many ids, new and repeated, interleaved', async () => {
  const ids = ['a', 'b', 'a', '', 'ü+&=%', 'b', 'x'.repeat(300), '', 'c', 'a'];
  const clients = new Map();
  for (const [i, id] of ids.entries()) {
    if (!clients.has(id)) {
      clients.set(id, new VaultlineClient({ ...where, id, ca: rootCa(), transport: i % 2 ? 'jsonp' : 'post' }));
    }
    const client = clients.get(id);
    const label = `request ${i}, id ${JSON.stringify(id.slice(0, 10))}`;
    if (i % 3 === 0) {
      assert.deepEqual(await client.version(), JSON.parse(VERSION), label);
    } else {
      assert.deepEqual(await client.invoke({ pcode: 7 + (i % 2) }), { code: -1, pid: 7 + (i % 2) }, label);
    }
  }
});
