// The page client on its own: its encryption checked against node:crypto
// (OpenSSL's AES, an implementation independent of WebCrypto's use here),
// its request target against the service's decoding rules, its reply parsing
// and its transport errors. No service needed.

import assert from 'node:assert/strict';
import { createCipheriv, createDecipheriv, randomBytes } from 'node:crypto';
import { readFileSync } from 'node:fs';
import net from 'node:net';
import { describe, test } from 'node:test';
import {
  aesEcbDecrypt, aesEcbEncrypt, encryptCommand, jsonpPath, parseReply, postCommand,
  VaultlineError,
} from '../../clients/js/src/index.js';
import { closedPort } from './wire.mjs';

// The shared secrets as the service has them compiled in.
const SERVICE_K = Buffer.from('E3A7190B2D5F4ac6B83C7D1E60F2A94B', 'latin1');
const SERVICE_M = Buffer.from('ad278c024977a8d05e081da262f0d96ca175a95f8182faaf1f860ebc38fa5455', 'hex');

function ecb(decrypt, key, data) {
  const algo = `aes-${key.length * 8}-ecb`;
  const c = decrypt ? createDecipheriv(algo, key, null) : createCipheriv(algo, key, null);
  c.setAutoPadding(false);
  return Buffer.concat([c.update(data), c.final()]);
}

/** What the service does with a `str` value: check datab, decrypt datac. */
function serviceDecrypt(str) {
  const { rankey, datab, datac } = JSON.parse(str);
  const r = Buffer.from(rankey, 'latin1');
  const keyB = ecb(true, SERVICE_K, r).subarray(0, 32);
  const keyBText = keyB.toString('base64');
  assert.equal(keyBText.length, 44);
  const check = ecb(true, Buffer.from(keyBText.slice(0, 32), 'latin1'), Buffer.from(datab, 'base64'));
  assert.deepEqual(check, r, 'datab must decrypt to R under key B');
  const keyC = Buffer.from(SERVICE_M.map((m, i) => m ^ r[i]));
  return ecb(true, keyC, Buffer.from(datac, 'base64'));
}

function zeroPadded(text) {
  const bytes = Buffer.from(text, 'utf8');
  return Buffer.concat([bytes, Buffer.alloc((16 - (bytes.length % 16)) % 16)]);
}

describe('encryptCommand', () => {
  const cases = [
    { name: 'version envelope, random R', command: '{"interfacetype":1,"id":"x"}' },
    { name: 'exactly one block gets no padding block', command: '{"id":"0123456"}', rankey: 'ABCDEFGHIJKLMNOPQRSTUVWXYZ012345' },
    { name: 'one byte over a block', command: '{"id":"01234567"}', rankey: '0123456789abcdef0123456789abcdef' },
    { name: 'multi-byte UTF-8 pads by bytes, not characters', command: '{"id":"签名ü","data":{"pcode":9}}' },
    { name: 'R of 48 characters with JSON and URL specials', command: '{"interfacetype":1,"id":"x+y/z=w"}', rankey: 'a"b\\c+d/e=f%g h~!#$()*,;<>?@[]^`{|}'.padEnd(48, '0') },
    { name: 'empty command', command: '' },
  ];
  for (const { name, command, rankey } of cases) {
    test(name, async () => {
      const str = await encryptCommand(command, rankey === undefined ? {} : { rankey });
      const parsed = JSON.parse(str);
      assert.deepEqual(Object.keys(parsed), ['rankey', 'datab', 'datac']);
      if (rankey !== undefined) assert.equal(parsed.rankey, rankey);
      assert.match(parsed.datab + parsed.datac, /^[A-Za-z0-9+/=]*$/);
      assert.deepEqual(serviceDecrypt(str), zeroPadded(command));
    });
  }

  test('reproduces the worked example of docs/protocol.md', async () => {
    const doc = readFileSync(new URL('../../docs/protocol.md', import.meta.url), 'utf8');
    const envelope = /^Envelope `([^`]+)`/m.exec(doc)?.[1];
    const str = /^\{"rankey":"[^"]+","datab":"[^"]+","datac":"[^"]+"\}$/m.exec(doc)?.[0];
    assert.ok(envelope && str, 'the example is where it was');
    assert.equal(await encryptCommand(envelope, { rankey: JSON.parse(str).rankey }), str);
    assert.deepEqual(serviceDecrypt(str), zeroPadded(envelope));
  });

  test('a fresh R for every call when none is given', async () => {
    const rs = await Promise.all([1, 2, 3].map(async () => JSON.parse(await encryptCommand('{}')).rankey));
    for (const r of rs) assert.match(r, /^[0-9a-f]{32}$/);
    assert.equal(new Set(rs).size, rs.length);
  });

  test('R that the service could not use is refused', async () => {
    const bad = ['', 'a'.repeat(16), 'a'.repeat(31), 'a'.repeat(33), 'a'.repeat(40), 'ü'.repeat(32), `&${'a'.repeat(31)}`, `\n${'a'.repeat(31)}`];
    for (const rankey of bad) {
      await assert.rejects(encryptCommand('{}', { rankey }),
        (err) => err instanceof VaultlineError && err.code === 'INVALID_ARGUMENT', `rankey ${JSON.stringify(rankey)}`);
    }
  });
});

describe('AES-ECB from WebCrypto', () => {
  test('FIPS-197 AES-256 known answer', async () => {
    const key = Buffer.from('000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f', 'hex');
    const plain = Buffer.from('00112233445566778899aabbccddeeff', 'hex');
    const cipher = Buffer.from('8ea2b7ca516745bfeafc49904b496089', 'hex');
    assert.deepEqual(Buffer.from(await aesEcbEncrypt(key, plain)), cipher);
    assert.deepEqual(Buffer.from(await aesEcbDecrypt(key, cipher)), plain);
  });

  test('matches node:crypto for several block counts and key sizes', async () => {
    for (const keyLength of [16, 32]) {
      for (const blocks of [1, 2, 3, 7]) {
        const key = randomBytes(keyLength);
        const data = randomBytes(16 * blocks);
        const label = `${keyLength}-byte key, ${blocks} blocks`;
        assert.deepEqual(Buffer.from(await aesEcbEncrypt(key, data)), ecb(false, key, data), `encrypt, ${label}`);
        assert.deepEqual(Buffer.from(await aesEcbDecrypt(key, data)), ecb(true, key, data), `decrypt, ${label}`);
      }
    }
  });

  test('partial blocks are refused', async () => {
    await assert.rejects(aesEcbEncrypt(randomBytes(32), randomBytes(20)), { code: 'INVALID_ARGUMENT' });
    await assert.rejects(aesEcbDecrypt(randomBytes(32), randomBytes(15)), { code: 'INVALID_ARGUMENT' });
  });
});

/**
 * The service's reading of a request target: percent-decode the whole
 * target (upper-case hex digits only, "+" is a space), then split at "?",
 * "&" and the first "=" of each token.
 */
function serviceQuery(target) {
  let decoded = '';
  for (let i = 0; i < target.length; i++) {
    const c = target[i];
    if (c === '%' && /^[0-9A-F]{2}$/.test(target.slice(i + 1, i + 3))) {
      decoded += String.fromCharCode(parseInt(target.slice(i + 1, i + 3), 16));
      i += 2;
    } else if (c === '%' && i + 1 < target.length) {
      // dropped; the next character is taken as it is
    } else {
      decoded += c === '+' ? ' ' : c;
    }
  }
  const params = {};
  const query = decoded.slice(decoded.indexOf('?') + 1);
  for (const token of query.split('&')) {
    const eq = token.indexOf('=');
    if (eq < 0) break;
    params[token.slice(0, eq)] = token.slice(eq + 1);
  }
  // Decoding yields bytes; the JSON reader then takes them as UTF-8.
  for (const k of Object.keys(params)) params[k] = Buffer.from(params[k], 'latin1').toString('utf8');
  return params;
}

test('the JSONP target reaches the service unchanged', async () => {
  const str = await encryptCommand('{"interfacetype":1,"id":"ü & = + %"}', {
    rankey: 'R+/=% "x\\y?#'.padEnd(32, 'z'),
  });
  const target = jsonpPath('cb_1', str);
  assert.match(target, /^[\x21-\x7e]+$/, 'nothing a browser would have to escape again');
  assert.deepEqual(serviceQuery(target), { jsoncallback: 'cb_1', str });
  assert.throws(() => jsonpPath('alert(1);cb', str), { code: 'INVALID_ARGUMENT' });
});

describe('parseReply', () => {
  const good = [
    ['{"code":0,"data":"1.0.0.2 "}', undefined, { code: 0, data: '1.0.0.2 ' }],
    ['cb({"ccode":7,"code":-2,"pid":9})', 'cb', { ccode: 7, code: -2, pid: 9 }],
    ['cb()', 'cb', null],
    ['', undefined, null],
  ];
  for (const [body, callback, want] of good) {
    test(`accepts ${JSON.stringify(body)}`, () => {
      assert.deepEqual(parseReply(body, { callback }), want);
    });
  }
  const bad = [
    ['Error', undefined],
    ['{"data":"no code"}', undefined],
    ['[{"code":0}]', undefined],
    ['{"code":"0"}', undefined],
    ['other({"code":0})', 'cb'],
    ['cb({"code":0}', 'cb'],
    ['cb({"code":0)', 'cb'],
    ['{"code":0}', 'cb'],
  ];
  for (const [body, callback] of bad) {
    test(`refuses ${JSON.stringify(body)}${callback ? ' as JSONP' : ''}`, () => {
      assert.throws(() => parseReply(body, { callback }), { name: 'VaultlineError', code: 'BAD_REPLY' });
    });
  }
});

describe('transport errors', () => {
  test('nothing listening: CONNECTION_REFUSED', async () => {
    const port = await closedPort();
    await assert.rejects(postCommand('{"interfacetype":1}', { port }),
      (err) => err.code === 'CONNECTION_REFUSED' && err.message.includes(String(port)));
  });

  test('a peer that never answers: TIMEOUT after the limit', async (t) => {
    const sockets = new Set();
    const server = net.createServer((s) => sockets.add(s));
    await new Promise((r) => server.listen(0, '127.0.0.1', r));
    t.after(() => {
      sockets.forEach((s) => s.destroy());
      server.close();
    });
    const started = Date.now();
    await assert.rejects(postCommand('{"interfacetype":1}', { port: server.address().port, timeout: 300 }),
      { code: 'TIMEOUT' });
    const took = Date.now() - started;
    assert.ok(took >= 290 && took < 3000, `timed out after ${took} ms`);
  });

  test('an empty envelope is refused before sending', async () => {
    await assert.rejects(postCommand('', { port: await closedPort() }), { code: 'INVALID_ARGUMENT' });
  });
});
