// The two listening processes: IPv4 in the started process, IPv6 in its
// child, each on the first free port of 5426..5430, chosen per family.

import assert from 'node:assert/strict';
import net from 'node:net';
import { describe, test } from 'node:test';
import { VaultlineClient } from '../../clients/js/src/index.js';
import { rootCa, startService } from './service.mjs';
import { expectedVersionText } from './wire.mjs';

const FIRST_PORT = 5426;
const VERSION = { code: 0, data: expectedVersionText() };

/** Listens on the port for one family, as another program would. */
async function occupy(port, family) {
  const server = net.createServer((s) => s.destroy());
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    if (family === 4) server.listen({ port, host: '0.0.0.0', exclusive: true }, resolve);
    else server.listen({ port, host: '::', ipv6Only: true, exclusive: true }, resolve);
  });
  return server;
}

async function assertAnswers(host, port) {
  const client = new VaultlineClient({ host, port, ca: rootCa() });
  assert.deepEqual(await client.version(), VERSION, `version query on ${host} port ${port}`);
}

describe('port choice per address family', () => {
  const cases = [
    { taken: [], port4: FIRST_PORT, port6: FIRST_PORT },
    { taken: [4, 6], port4: FIRST_PORT + 1, port6: FIRST_PORT + 1 },
    { taken: [4], port4: FIRST_PORT + 1, port6: FIRST_PORT },
    { taken: [6], port4: FIRST_PORT, port6: FIRST_PORT + 1 },
  ];
  for (const { taken, port4, port6 } of cases) {
    const name = taken.length
      ? `${FIRST_PORT} taken on IPv${taken.join(' and IPv')}: IPv4 on ${port4}, IPv6 on ${port6}`
      : `all free: both on ${FIRST_PORT}`;
    test(name, async (t) => {
      // Fails here, not in the service, if something else holds the ports.
      const blockers = [];
      t.after(() => Promise.all(blockers.map((s) => new Promise((r) => s.close(r)))));
      for (const family of [4, 6]) {
        const probe = await occupy(FIRST_PORT, family);
        if (taken.includes(family)) blockers.push(probe);
        else await new Promise((r) => probe.close(r));
      }

      const service = await startService();
      t.after(() => service.stop());
      assert.equal(service.pid4, service.startedPid, 'IPv4 is served by the started process');
      assert.notEqual(service.pid6, service.pid4, 'IPv6 is served by a second process');
      assert.deepEqual({ port4: service.port4, port6: service.port6 }, { port4, port6 });
      await assertAnswers('127.0.0.1', port4);
      await assertAnswers('::1', port6);
    });
  }
});
