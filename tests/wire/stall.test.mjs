// A process serves one connection at a time, so a client that stalls holds
// up everyone behind it. The service drops such a client after 10 s; these
// tests check that the next client is then served, whatever the stall.

import assert from 'node:assert/strict';
import net from 'node:net';
import { after, before, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { VaultlineClient } from '../../clients/js/src/index.js';
import { rootCa, startService } from './service.mjs';
import { expectedVersionText, postRequest, readUntilClose, tlsConnect } from './wire.mjs';

const BOUND_MS = 10000;
const SLACK_MS = 5000;

let service;
before(async () => { service = await startService(); });
after(() => service?.stop());

/**
 * Opens the stalling connection, then asks for the version as a second
 * client; the answer must come within the bound plus some slack, and the
 * service must have closed the stalled connection.
 */
async function servedAfterStall(openStaller) {
  const staller = await openStaller(service.port4);
  const stallerClosed = readUntilClose(staller, BOUND_MS + SLACK_MS);
  await sleep(200); // the service is now busy with the staller
  const client = new VaultlineClient({ port: service.port4, ca: rootCa(), timeout: BOUND_MS + SLACK_MS });
  try {
    assert.deepEqual(await client.version(), { code: 0, data: expectedVersionText() });
    await stallerClosed; // rejects if the service never closed it
  } finally {
    staller.destroy();
  }
}

test('a TCP client that never starts the handshake', async () => {
  await servedAfterStall((port) => new Promise((resolve, reject) => {
    const socket = net.connect({ host: '127.0.0.1', port }, () => resolve(socket));
    socket.once('error', reject);
  }));
});

test('a TLS client that sends half a request', async () => {
  await servedAfterStall(async (port) => {
    const socket = await tlsConnect({ port });
    const request = postRequest('{"interfacetype":1,"id":"stalled"}');
    socket.write(request.slice(0, request.length - 10));
    return socket;
  });
});

test('a TLS client that trickles its request a byte at a time', async () => {
  // Each byte arrives well inside any per-read limit; only a bound on the
  // whole request stops this one.
  await servedAfterStall(async (port) => {
    const socket = await tlsConnect({ port });
    const request = Buffer.from(postRequest(`{"interfacetype":1,"pad":"${'x'.repeat(200)}"}`));
    let i = 0;
    const drip = setInterval(() => {
      if (i >= request.length || socket.destroyed) {
        clearInterval(drip);
        return;
      }
      socket.write(request.subarray(i, i + 1));
      i += 1;
    }, 250);
    socket.once('close', () => clearInterval(drip));
    return socket;
  });
});
