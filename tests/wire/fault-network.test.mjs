// Misbehaving clients and lost processes: a reset in the middle of the TLS
// handshake, plain HTTP on the TLS port, a crowd of idle connections, and
// one listener process killed. After each, the next request must get a
// correct reply, and promptly.

import assert from 'node:assert/strict';
import net from 'node:net';
import tls from 'node:tls';
import { after, before, describe, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { VaultlineClient } from '../../clients/js/src/index.js';
import { rootCa, startService } from './service.mjs';
import { makeSkfDemo, SOFTSKF_LIB } from './tokens.mjs';
import { expectedVersionText, postRequest, readUntilClose } from './wire.mjs';

const VERSION = { code: 0, data: expectedVersionText() };

/** A version query that must succeed within `withinMs`. */
async function answersVersion(host, port, withinMs, id = 'fault-next') {
  const client = new VaultlineClient({ host, port, ca: rootCa(), id, timeout: withinMs });
  const t0 = Date.now();
  assert.deepEqual(await client.version(), VERSION, `version on ${host}:${port}`);
  return Date.now() - t0;
}

function tcpConnect(host, port) {
  return new Promise((resolve, reject) => {
    const socket = net.connect({ host, port }, () => {
      socket.off('error', reject);
      resolve(socket);
    });
    socket.once('error', reject);
  });
}

/** The bytes of a real ClientHello, caught by a local server that never answers. */
async function captureClientHello() {
  let hello;
  const server = net.createServer((s) => s.once('data', (d) => { hello = d; s.destroy(); }));
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  const client = tls.connect({ host: '127.0.0.1', port: server.address().port, servername: 'localhost', ca: rootCa() });
  client.on('error', () => {});
  while (!hello) await sleep(10);
  client.destroy();
  await new Promise((r) => server.close(r));
  return hello;
}

let service;
let hello;
before(async () => {
  service = await startService();
  hello = await captureClientHello();
});
after(() => service?.stop());

describe('a client that resets during the handshake', () => {
  const cases = [
    { name: 'after part of its ClientHello', send: () => hello.subarray(0, Math.floor(hello.length / 2)), waitReply: false },
    { name: 'after its whole ClientHello, before the reply', send: () => hello, waitReply: false },
    { name: 'after the service answered its ClientHello', send: () => hello, waitReply: true },
  ];
  for (const { name, send, waitReply } of cases) {
    test(name, async () => {
      const socket = await tcpConnect('127.0.0.1', service.port4);
      socket.on('error', () => {});
      const replied = new Promise((r) => socket.once('data', r));
      socket.write(send());
      if (waitReply) await replied;
      else await sleep(50);
      socket.resetAndDestroy();
      // The reset ends the service's read at once; no 10 s wait follows.
      assert.ok(await answersVersion('127.0.0.1', service.port4, 3000) < 3000);
    });
  }
});

describe('plain HTTP sent to the TLS port', () => {
  const requests = [
    ['a POST', postRequest(JSON.stringify({ interfacetype: 1, id: 'plain' }))],
    ['a GET', 'GET /?jsoncallback=cb&str=x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n'],
  ];
  for (const [name, request] of requests) {
    test(`${name} is refused without an HTTP reply and the connection closed`, async () => {
      const socket = await tcpConnect('127.0.0.1', service.port4);
      const reply = readUntilClose(socket, 3000).catch(() => Buffer.alloc(0)); // a reset is a close too
      socket.write(request);
      const got = await reply;
      assert.ok(!got.toString('latin1').includes('HTTP/1.1'), `plain reply: ${got.toString('latin1')}`);
      // What does come back, if anything, is a TLS alert record.
      if (got.length) assert.equal(got[0], 0x15, `not a TLS alert: ${got.toString('hex')}`);
      assert.ok(await answersVersion('127.0.0.1', service.port4, 3000) < 3000);
    });
  }
});

test('50 idle TCP connections held open, then closed', async () => {
  // Each idle connection would hold the single-connection listener for its
  // 10 s bound, so while they are held a request waits. Once they close,
  // the service drops each queued one on reading the end of stream: at most
  // the backlog of 10 (plus one) remain queued, each followed by the 100 ms
  // pause, so the next request is answered within a few seconds.
  const idle = [];
  const opening = [];
  for (let i = 0; i < 50; i++) {
    const s = net.connect({ host: '127.0.0.1', port: service.port4 });
    s.on('error', () => {});
    idle.push(s);
    opening.push(new Promise((r) => { s.once('connect', r); s.once('close', r); setTimeout(r, 1500); }));
  }
  await Promise.all(opening);
  await sleep(1000);
  for (const s of idle) s.destroy();
  const ms = await answersVersion('127.0.0.1', service.port4, 5000);
  assert.ok(ms < 5000, `answered after ${ms} ms`);
  // And a full TLS request on IPv6 was never held up by IPv4's queue.
  await answersVersion('::1', service.port6, 2000);
});

describe('one listener process killed', () => {
  let token;
  before(() => { token = makeSkfDemo(); });
  after(() => token?.remove());

  /** A session on the survivor: open, list, select and sign all succeed. */
  async function sessionWorks(host, port) {
    const page = new VaultlineClient({ host, port, ca: rootCa(), id: `survivor-${host}` });
    assert.deepEqual(await page.version(), VERSION);
    assert.equal((await page.invoke({ pcode: 0, name: SOFTSKF_LIB, type: 3 })).code, 0);
    const list = await page.invoke({ pcode: 5, pid: 0, query: {} });
    assert.equal(list.code, 0);
    assert.equal(list.certnumber, 2);
    assert.equal((await page.invoke({ pcode: 6, pid: 0, type: 1, certid: 2 })).code, 0);
    const signed = await page.invoke({ ccode: 1, pid: 0, sign: Buffer.from('survivor').toString('base64'), flags: 0x26 });
    assert.equal(signed.code, 0);
    const cert = `-----BEGIN CERTIFICATE-----\n${list.certlist[1].pub}\n-----END CERTIFICATE-----\n`;
    const { verify } = await import('node:crypto');
    assert.ok(verify('sha256', Buffer.from('survivor'), cert, Buffer.from(signed.signed, 'base64')));
  }

  const cases = [
    { killed: 'IPv6', pid: (s) => s.pid6, dead: ['::1', 'port6'], alive: ['127.0.0.1', 'port4'] },
    { killed: 'IPv4', pid: (s) => s.pid4, dead: ['127.0.0.1', 'port4'], alive: ['::1', 'port6'] },
  ];
  for (const { killed, pid, dead, alive } of cases) {
    test(`the ${killed} process killed, the other keeps serving`, async (t) => {
      const s = await startService({ env: token.env });
      t.after(() => s.stop());
      await answersVersion(alive[0], s[alive[1]], 3000);
      process.kill(pid(s), 'SIGKILL');
      // Its port is closed once the process is gone.
      let refused = false;
      for (let i = 0; i < 50 && !refused; i++) {
        try {
          (await tcpConnect(dead[0], s[dead[1]])).destroy();
          await sleep(20);
        } catch (err) {
          refused = err.code === 'ECONNREFUSED';
        }
      }
      assert.ok(refused, `${killed} port still accepts connections`);
      await sessionWorks(alive[0], s[alive[1]]);
    });
  }
});
