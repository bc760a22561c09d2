// Starts the demo page's static server (clients/web/serve.mjs) on a free
// loopback port and stops it again.

import { spawn } from 'node:child_process';
import { dirname, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
export const SERVE = resolve(here, '../../clients/web/serve.mjs');

/**
 * @param {{library?: string, args?: string[]}} [options]
 * @returns {Promise<{url: string, port: number, pid: number, stop: () => Promise<void>}>}
 */
export async function startWebServer({ library, args = [] } = {}) {
  const argv = [SERVE, '--port', '0', ...(library ? ['--library', library] : []), ...args];
  const child = spawn(process.execPath, argv, { stdio: ['ignore', 'pipe', 'pipe'] });
  const exited = new Promise((done) => child.once('exit', done));
  let output = '';
  const url = await new Promise((ok, fail) => {
    const timer = setTimeout(() => fail(new Error(`serve.mjs printed no address:\n${output}`)), 10000);
    const onData = (chunk) => {
      output += chunk;
      const m = /^Demo page: (http:\/\/127\.0\.0\.1:\d+\/)$/m.exec(output);
      if (m) {
        clearTimeout(timer);
        ok(m[1]);
      }
    };
    child.stdout.setEncoding('utf8').on('data', onData);
    child.stderr.setEncoding('utf8').on('data', (c) => { output += c; });
    child.once('exit', (code) => {
      clearTimeout(timer);
      fail(new Error(`serve.mjs ended (status ${code}):\n${output}`));
    });
  });
  return {
    url,
    port: Number(new URL(url).port),
    pid: child.pid,
    stop: async () => {
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
      await exited;
    },
  };
}
