// Starts the service binary for one test file and stops both of its
// processes again, also when a test fails or the runner exits early.

import { spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { access, constants, mkdtemp, rm } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));

export const SERVICE_BIN = process.env.VAULTLINE_SERVICE
  ?? resolve(here, '../../build/src/vaultlineservice');
export const ROOT_CA_PATH = process.env.VAULTLINE_ROOT_CA
  ?? resolve(here, '../../certs/vaultline-root.pem');

let cachedCa;
/** The service's root certificate (PEM), read once. */
export function rootCa() {
  cachedCa ??= readFileSync(ROOT_CA_PATH, 'utf8');
  return cachedCa;
}

const LISTENING = /^vaultline: listening on (0\.0\.0\.0|\[::\]):(\d+) pid (\d+)$/;

/** Every pid any test file started and has not seen gone yet. */
const running = new Set();
process.on('exit', () => {
  for (const pid of running) {
    try { process.kill(pid, 'SIGKILL'); } catch { /* already gone */ }
  }
});

/** Gone, or a zombie waiting for a parent that will never reap it. */
function isGone(pid) {
  try {
    process.kill(pid, 0);
  } catch {
    return true;
  }
  try {
    const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2).startsWith('Z');
  } catch {
    return true;
  }
}

async function killAndWait(pids, graceMs = 2000) {
  const signal = (sig) => {
    for (const pid of pids) {
      try { process.kill(pid, sig); } catch { /* already gone */ }
    }
  };
  const waitGone = async (ms) => {
    const end = Date.now() + ms;
    while (Date.now() < end) {
      if (pids.every(isGone)) return true;
      await sleep(20);
    }
    return pids.every(isGone);
  };
  signal('SIGTERM');
  if (!(await waitGone(graceMs))) {
    signal('SIGKILL');
    if (!(await waitGone(5000))) throw new Error(`service processes ${pids.join(', ')} did not end`);
  }
  for (const pid of pids) running.delete(pid);
}

/**
 * @typedef {object} Service
 * @property {number} port4 port of the IPv4 listener (parent process)
 * @property {number} port6 port of the IPv6 listener (child process)
 * @property {number} pid4
 * @property {number} pid6
 * @property {number} startedPid the process this helper started (the parent)
 * @property {() => Promise<void>} stop ends both processes and waits for it
 */

/**
 * Runs the service in a fresh working directory and waits until both
 * listeners report their port.
 * @param {{readyTimeoutMs?: number, env?: Record<string, string>}} [options]
 *   env: variables added to (or replacing those of) this process's environment
 * @returns {Promise<Service>}
 */
export async function startService({ readyTimeoutMs = 10000, env } = {}) {
  try {
    await access(SERVICE_BIN, constants.X_OK);
  } catch {
    throw new Error(`no service binary at ${SERVICE_BIN}: build it, or set VAULTLINE_SERVICE`);
  }
  const cwd = await mkdtemp(join(tmpdir(), 'vaultline-wire-'));
  const child = spawn(SERVICE_BIN, [], {
    cwd, stdio: ['ignore', 'pipe', 'pipe'], env: env ? { ...process.env, ...env } : process.env,
  });
  running.add(child.pid);
  let output = '';
  const listeners = {};
  let stopped = false;

  const stop = async () => {
    if (stopped) return;
    stopped = true;
    const pids = [...new Set([child.pid, listeners.v4?.pid, listeners.v6?.pid])]
      .filter((p) => p !== undefined);
    try {
      await killAndWait(pids);
    } finally {
      await rm(cwd, { recursive: true, force: true });
    }
  };

  const ready = new Promise((resolveReady, rejectReady) => {
    let pending = '';
    const onLine = (line) => {
      const m = LISTENING.exec(line);
      if (!m) return;
      const entry = { port: Number(m[2]), pid: Number(m[3]) };
      if (m[1] === '0.0.0.0') listeners.v4 = entry; else listeners.v6 = entry;
      running.add(entry.pid);
      if (listeners.v4 && listeners.v6) resolveReady();
    };
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (chunk) => {
      output += chunk;
      pending += chunk;
      const lines = pending.split('\n');
      pending = lines.pop();
      lines.forEach((l) => onLine(l.replace(/\r$/, '')));
    });
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (chunk) => { output += chunk; });
    child.on('error', rejectReady);
    child.on('exit', (code, sig) => {
      if (!(listeners.v4 && listeners.v6)) {
        rejectReady(new Error(`service ended (status ${code}, signal ${sig}) before both listeners were up:\n${output}`));
      }
    });
    setTimeout(() => rejectReady(new Error(
      `service did not report both listeners within ${readyTimeoutMs} ms:\n${output}`)), readyTimeoutMs).unref();
  });

  try {
    await ready;
  } catch (err) {
    await stop();
    throw err;
  }
  return {
    port4: listeners.v4.port,
    port6: listeners.v6.port,
    pid4: listeners.v4.pid,
    pid6: listeners.v6.pid,
    startedPid: child.pid,
    stop,
  };
}
