// HTTP framing at the edges: requests the service must reject with its fixed
// 400 reply, bodies that come in many TLS records, and the size limit.

import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';
import { postCommand } from '../../clients/js/src/index.js';
import { rootCa, startService } from './service.mjs';
import {
  BAD_REQUEST, exchange, expectedVersionText, getRequest, inPieces, POST_HEAD, postRequest,
} from './wire.mjs';

let service;
let where;
before(async () => {
  service = await startService();
  where = { host: '127.0.0.1', port: service.port4 };
});
after(() => service?.stop());

const VERSION_ENVELOPE = '{"interfacetype":1,"id":"x"}';
const VERSION_REPLY = POST_HEAD + JSON.stringify({ code: 0, data: expectedVersionText() });

/** The largest request the service takes whole (its buffer keeps a final zero). */
const MAX_REQUEST = 1024 * 1024 - 1;

describe('requests answered with exactly the 400 reply', () => {
  const cases = [
    ['GET without jsoncallback', getRequest('/?str=abc')],
    ['GET without a query', getRequest('/')],
    ['GET with an empty jsoncallback', getRequest('/?jsoncallback=&str=abc')],
    ['POST with Content-Length 0', postRequest('')],
    ['POST with Content-Length 0 and a body after all', postRequest(VERSION_ENVELOPE, { contentLength: 0 })],
    ['POST without Content-Length', `POST / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n${VERSION_ENVELOPE}`],
    ['POST with the header name in lower case', `POST / HTTP/1.1\r\ncontent-length: ${VERSION_ENVELOPE.length}\r\n\r\n${VERSION_ENVELOPE}`],
    ['POST with a negative Content-Length', postRequest(VERSION_ENVELOPE, { contentLength: '-28' })],
    ['POST with a Content-Length that is not plain digits', postRequest(VERSION_ENVELOPE, { contentLength: '28x' })],
    ['HEAD', 'HEAD / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n'],
    ['OPTIONS (a CORS preflight)', 'OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://example.test\r\nAccess-Control-Request-Method: POST\r\n\r\n'],
    ['PUT with a body', `PUT / HTTP/1.1\r\nContent-Length: ${VERSION_ENVELOPE.length}\r\n\r\n${VERSION_ENVELOPE}`],
    ['a request line without spaces', 'GARBAGE\r\n\r\n'],
    ['text that is not HTTP', 'hello, service\r\n\r\n'],
    ['binary garbage', Buffer.from([0x16, 0x03, 0x01, 0x00, 0xff, 0xfe, 0x00, 0x0d, 0x0a, 0x0d, 0x0a, 0x80])],
  ];
  for (const [name, request] of cases) {
    test(name, async () => {
      assert.equal(await exchange(where, request), BAD_REQUEST);
    });
  }
});

describe('the body is what Content-Length says', () => {
  test('bytes after the body are ignored, a second request is not read', async () => {
    assert.equal(await exchange(where, postRequest(VERSION_ENVELOPE) + postRequest('{"interfacetype":2}')), VERSION_REPLY);
    assert.equal(await exchange(where, postRequest(`${VERSION_ENVELOPE}trailing junk`, { contentLength: VERSION_ENVELOPE.length })), VERSION_REPLY);
  });

  test('a body that arrives in many TLS records, 300 KiB', async () => {
    // "interfacetype" comes last, so a body cut anywhere gets no version reply.
    const body = `{"id":"big","pad":"${'0123456789abcdef'.repeat(300 * 64)}","interfacetype":1}`;
    assert.equal(await exchange(where, inPieces(postRequest(body), 4096), { pauseMs: 2 }), VERSION_REPLY);
  });

  test('a first record of one byte, then the headers, then the body', async () => {
    const request = postRequest(VERSION_ENVELOPE);
    const bodyAt = request.indexOf('\r\n\r\n') + 4;
    const pieces = [request.slice(0, 1), request.slice(1, bodyAt), request.slice(bodyAt)];
    assert.equal(await exchange(where, pieces, { pauseMs: 50 }), VERSION_REPLY);
  });
});

describe('size limit', () => {
  /** A version POST padded so that the whole request is `total` bytes. */
  function requestOfSize(total) {
    const frame = (pad) => postRequest(`{"id":"limit","pad":"${'p'.repeat(pad)}","interfacetype":1}`);
    let pad = total - frame(0).length;
    while (frame(pad).length > total) pad -= 1; // the length's own digits
    const request = frame(pad);
    assert.equal(request.length, total);
    return request;
  }

  test('a request of the largest size is answered', async () => {
    assert.equal(await exchange(where, requestOfSize(MAX_REQUEST)), VERSION_REPLY);
  });

  test('one byte more gets the 400 reply', async () => {
    assert.equal(await exchange(where, requestOfSize(MAX_REQUEST + 1)), BAD_REQUEST);
  });

  test('far more gets the 400 reply, and the client says so', async () => {
    assert.equal(await exchange(where, requestOfSize(3 * 1024 * 1024)), BAD_REQUEST);
    const envelope = `{"pad":"${'p'.repeat(1024 * 1024)}","interfacetype":1}`;
    await assert.rejects(postCommand(envelope, { ...where, ca: rootCa() }), { code: 'HTTP_400', status: 400 });
  });
});
