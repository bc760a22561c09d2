#!/usr/bin/env node
// Bounded load on the service over loopback: concurrent page sessions, each
// repeating version, list, select and sign on the software SKF token, with
// every reply checked (a signature must verify over the session's own text
// with the certificate it selected, so a stale or foreign reply is caught).
// Reports throughput, latency percentiles and each process's resident memory
// after the first 100 requests and at the end; exits 1 when an acceptance
// figure fails.
//
// Options (argv, or the environment variable in brackets):
//   --duration S      seconds to run (VAULTLINE_LOAD_DURATION, default 60;
//                     with --requests and no --duration: until the cap)
//   --sessions N      concurrent page sessions, split over 127.0.0.1 and ::1
//                     (VAULTLINE_LOAD_SESSIONS, default 20)
//   --requests N      stop after N requests (VAULTLINE_LOAD_REQUESTS)
//   --min-rate R      fail below R requests/s on either listener
//                     (VAULTLINE_LOAD_MIN_RATE, default 9; 0: no check)
//   --rss-limit KIB   fail when a process grew more than KIB KiB between the
//                     first 100 requests and the end; checked once 10,000
//                     requests were made (VAULTLINE_LOAD_RSS_LIMIT, default 2048)
//   --attach P4,P6    use a running service on these ports instead of starting
//                     one (VAULTLINE_LOAD_ATTACH); SOFTSKF_DIR must name its
//                     demo token store; --pids PID4,PID6 (VAULTLINE_LOAD_PIDS)
//                     for memory figures and the crash check
//   --json FILE       also write the figures as JSON

import { execFile } from 'node:child_process';
import crypto from 'node:crypto';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { promisify } from 'node:util';
import { VaultlineClient } from '../../clients/js/src/index.js';
import { rootCa, startService } from '../wire/service.mjs';
import { makeSkfDemo, rawSm2ToDer, run, SM2_ID, SOFTSKF_LIB, SOFTSKF_TOOL } from '../wire/tokens.mjs';
import { expectedVersionText } from '../wire/wire.mjs';

const execFileP = promisify(execFile);

// ---- options ----------------------------------------------------------------

function parseOptions(argv, env) {
  const named = {};
  for (let i = 0; i < argv.length; i++) {
    const m = /^--([a-z-]+)(?:=(.*))?$/.exec(argv[i]);
    if (!m) throw new Error(`unknown argument ${argv[i]}`);
    named[m[1]] = m[2] ?? argv[++i];
    if (named[m[1]] === undefined) throw new Error(`--${m[1]} needs a value`);
  }
  const pick = (name, envName) => named[name] ?? env[envName];
  const num = (name, envName, dflt) => {
    const v = pick(name, envName);
    if (v === undefined || v === '') return dflt;
    const n = Number(v);
    if (!Number.isFinite(n) || n < 0) throw new Error(`--${name} must be a non-negative number, got ${v}`);
    return n;
  };
  const known = ['duration', 'sessions', 'requests', 'min-rate', 'rss-limit', 'attach', 'pids', 'json'];
  for (const k of Object.keys(named)) if (!known.includes(k)) throw new Error(`unknown option --${k}`);
  const requests = num('requests', 'VAULTLINE_LOAD_REQUESTS', 0);
  const durationGiven = pick('duration', 'VAULTLINE_LOAD_DURATION') !== undefined;
  const pair = (v, what) => {
    if (v === undefined || v === '') return null;
    const parts = v.split(',').map(Number);
    if (parts.length !== 2 || !parts.every((p) => Number.isInteger(p) && p > 0)) {
      throw new Error(`${what} must be two numbers A,B; got ${v}`);
    }
    return parts;
  };
  return {
    // A request cap alone runs until the cap; an hour bounds it anyway.
    duration: num('duration', 'VAULTLINE_LOAD_DURATION', requests && !durationGiven ? 3600 : 60),
    sessions: Math.max(1, Math.floor(num('sessions', 'VAULTLINE_LOAD_SESSIONS', 20))),
    requests,
    minRate: num('min-rate', 'VAULTLINE_LOAD_MIN_RATE', 9),
    rssLimitKiB: num('rss-limit', 'VAULTLINE_LOAD_RSS_LIMIT', 2048),
    attach: pair(pick('attach', 'VAULTLINE_LOAD_ATTACH'), '--attach'),
    pids: pair(pick('pids', 'VAULTLINE_LOAD_PIDS'), '--pids'),
    json: pick('json', 'VAULTLINE_LOAD_JSON'),
  };
}

// ---- process facts ------------------------------------------------------------

/** VmRSS in KiB, or null when the process is gone. */
function rssKiB(pid) {
  try {
    const m = /^VmRSS:\s+(\d+) kB/m.exec(readFileSync(`/proc/${pid}/status`, 'utf8'));
    return m ? Number(m[1]) : null;
  } catch {
    return null;
  }
}

/** User plus system CPU time of a process in ms, or null when it is gone. */
function cpuMs(pid) {
  try {
    const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
    const f = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    return ((Number(f[11]) + Number(f[12])) * 1000) / 100; // clock ticks are 1/100 s on Linux
  } catch {
    return null;
  }
}

/** Running and not a zombie. */
function alive(pid) {
  try {
    process.kill(pid, 0);
    const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
    return !stat.slice(stat.lastIndexOf(')') + 2).startsWith('Z');
  } catch {
    return false;
  }
}

// ---- the demo certificates, checked independently once ----------------------

const PEM = (der) => `-----BEGIN CERTIFICATE-----\n${der.toString('base64').replace(/.{1,64}/g, '$&\n')}-----END CERTIFICATE-----\n`;

/**
 * The two signing certificates of the demo token as the first listing gave
 * them, after OpenSSL confirmed each chains to the store's demo CA and has
 * the demo subject; every later listing must repeat them byte for byte.
 */
function checkDemoCertificates(listing, storeEnv, work) {
  if (listing.code !== 0 || listing.certnumber !== 2) {
    throw new Error(`first listing is not the demo token's two certificates: ${JSON.stringify(listing)}`);
  }
  const caDir = join(work, 'ca');
  run('mkdir', ['-p', caDir]);
  run(SOFTSKF_TOOL, ['export-ca', caDir], { env: storeEnv });
  const want = [
    { ou: 'SM2 Signing', ca: join(caDir, 'sm2-ca.pem'), extra: ['-vfyopt', `distid:${SM2_ID}`] },
    { ou: 'RSA Signing', ca: join(caDir, 'rsa-ca.pem'), extra: [] },
  ];
  return listing.certlist.map((entry, i) => {
    const der = Buffer.from(entry.pub, 'base64');
    const file = join(work, `listed-${i}.pem`);
    writeFileSync(file, PEM(der));
    run('openssl', ['verify', ...want[i].extra, '-CAfile', want[i].ca, file]);
    const subject = run('openssl', ['x509', '-in', file, '-noout', '-subject']).toString();
    if (!subject.includes(`OU = ${want[i].ou}`)) throw new Error(`certificate ${i} is not the demo one: ${subject}`);
    return { pub: entry.pub, name: entry.name, pem: PEM(der), key: crypto.createPublicKey(PEM(der)), sm2: i === 0 };
  });
}

// ---- signature checks ----------------------------------------------------------

async function verifySm2(cert, text, raw, work) {
  if (raw.length !== 64) return false;
  const der = rawSm2ToDer(raw);
  const tag = crypto.randomBytes(6).toString('hex');
  const pub = join(work, `sm2-${tag}.pub`);
  const msg = join(work, `sm2-${tag}.msg`);
  const sig = join(work, `sm2-${tag}.sig`);
  writeFileSync(pub, cert.key.export({ type: 'spki', format: 'pem' }));
  writeFileSync(msg, text);
  writeFileSync(sig, der);
  try {
    const { stdout } = await execFileP('openssl', ['pkeyutl', '-verify', '-pubin', '-inkey', pub, '-rawin',
      '-in', msg, '-sigfile', sig, '-digest', 'sm3', '-pkeyopt', `distid:${SM2_ID}`]);
    return /Signature Verified Successfully/.test(stdout);
  } catch {
    return false;
  } finally {
    for (const f of [pub, msg, sig]) rmSync(f, { force: true });
  }
}

function verifyRsa(cert, text, sig) {
  return crypto.verify('sha256', Buffer.from(text), cert.key, sig);
}

// ---- statistics -------------------------------------------------------------------

function percentile(sorted, p) {
  if (!sorted.length) return NaN;
  return sorted[Math.min(sorted.length - 1, Math.ceil((p / 100) * sorted.length) - 1)];
}

// ---- the run ----------------------------------------------------------------------

async function main() {
  const opt = parseOptions(process.argv.slice(2), process.env);
  const work = mkdtempSync(join(tmpdir(), 'vaultline-load-'));
  let token = null;
  let service = null;
  let storeEnv;
  let ports;
  let pids;
  try {
    if (opt.attach) {
      if (!process.env.SOFTSKF_DIR) throw new Error('--attach needs SOFTSKF_DIR naming the running service\'s token store');
      storeEnv = { SOFTSKF_DIR: process.env.SOFTSKF_DIR };
      ports = opt.attach;
      pids = opt.pids;
    } else {
      token = makeSkfDemo();
      storeEnv = token.env;
      service = await startService({ env: token.env });
      ports = [service.port4, service.port6];
      pids = [service.pid4, service.pid6];
    }
    return await runLoad(opt, { ports, pids, storeEnv, work });
  } finally {
    await service?.stop();
    token?.remove();
    rmSync(work, { recursive: true, force: true });
  }
}

async function runLoad(opt, { ports, pids, storeEnv, work }) {
  const listeners = [
    { name: 'IPv4', host: '127.0.0.1', port: ports[0], pid: pids?.[0], latencies: [], done: 0 },
    { name: 'IPv6', host: '::1', port: ports[1], pid: pids?.[1], latencies: [], done: 0 },
  ];
  const runTag = crypto.randomBytes(4).toString('hex');
  const version = expectedVersionText();
  const faults = { wrong: [], connection: [] };
  const pendingSm2 = [];
  const rss = { first100: null, end: null, at: 0 };
  let sent = 0;
  let completed = 0;
  let stopping = false;
  const started = Date.now();
  const deadline = started + opt.duration * 1000;

  const noteWrong = (session, what, reply) => {
    if (faults.wrong.length < 20) faults.wrong.push(`${session.id}: ${what}: ${JSON.stringify(reply)?.slice(0, 300)}`);
    else faults.wrong.push(null);
  };

  // One request: counts it, times it, and turns transport failures into null.
  const request = async (session, envelope) => {
    const l = session.listener;
    const t0 = process.hrtime.bigint();
    try {
      const reply = await envelope();
      const ms = Number(process.hrtime.bigint() - t0) / 1e6;
      l.latencies.push(ms);
      l.done++;
      completed++;
      if (rss.first100 === null && completed >= 100) {
        rss.first100 = listeners.map((x) => (x.pid ? rssKiB(x.pid) : null));
      }
      return reply;
    } catch (err) {
      completed++;
      faults.connection.push(`${session.id}: ${err.code ?? ''} ${err.message}`.slice(0, 300));
      return undefined;
    }
  };
  const mayStart = () => {
    if (stopping || Date.now() >= deadline || (opt.requests && sent >= opt.requests)) {
      stopping = true;
      return false;
    }
    sent++;
    return true;
  };

  // The first listing (on one session) fixes the expected certificates.
  let certs = null;
  const certsReady = (async () => {
    const probe = new VaultlineClient({ host: '127.0.0.1', port: ports[0], ca: rootCa(), id: `load-${runTag}-probe` });
    const open = await probe.invoke({ pcode: 0, name: SOFTSKF_LIB, type: 3 });
    if (open?.code !== 0) throw new Error(`cannot open the software token: ${JSON.stringify(open)}`);
    certs = checkDemoCertificates(await probe.invoke({ pcode: 5, pid: 0, query: {} }), storeEnv, work);
    // The checkers must accept the service's signatures and refuse them
    // over another text, or a foreign reply would pass unnoticed.
    for (const [pos, flags] of [[1, 0x25], [2, 0x26]]) {
      const r = await probe.invoke({ pcode: 6, pid: 0, type: 1, certid: pos, ccode: 1, sign: Buffer.from('probe').toString('base64'), flags });
      const sig = Buffer.from(r?.signed ?? '', 'base64');
      const check = (t) => (pos === 1 ? verifySm2(certs[0], t, sig, work) : verifyRsa(certs[1], t, sig));
      if (r?.code !== 0 || !(await check('probe')) || (await check('probf'))) {
        throw new Error(`signature checker for certificate ${pos} does not work: ${JSON.stringify(r)}`);
      }
    }
  })();
  await certsReady;

  const sessionLoop = async (index) => {
    const listener = listeners[index % 2];
    const id = `load-${runTag}-${index}`;
    const client = new VaultlineClient({ host: listener.host, port: listener.port, ca: rootCa(), id });
    const session = { id, listener };
    const invoke = (data) => request(session, () => client.invoke(data));
    if (!mayStart()) return;
    const open = await invoke({ pcode: 0, name: SOFTSKF_LIB, type: 3 });
    if (open === undefined) return;
    if (open?.code !== 0 || open.pid !== 0) {
      noteWrong(session, 'open', open);
      return;
    }
    for (let n = 0; ; n++) {
      if (!mayStart()) return;
      const v = await request(session, () => client.version());
      if (v !== undefined && !(v?.code === 0 && v.data === version)) noteWrong(session, 'version', v);

      if (!mayStart()) return;
      const list = await invoke({ pcode: 5, pid: 0, query: {} });
      if (list !== undefined) {
        const ok = list?.code === 0 && list.pcode === 5 && list.pid === 0 && list.certnumber === 2
          && list.certlist.every((c, i) => c.certid === i && c.pub === certs[i].pub && c.name === certs[i].name);
        if (!ok) noteWrong(session, 'list', list);
      }

      // Alternate the two certificates, offset per session so both are in use.
      const pos = ((n + index) % 2) + 1;
      if (!mayStart()) return;
      const sel = await invoke({ pcode: 6, pid: 0, type: 1, certid: pos });
      if (sel !== undefined && JSON.stringify(sel) !== JSON.stringify({ certid: pos, code: 0, pcode: 6, pid: 0 })) {
        noteWrong(session, 'select', sel);
      }

      // Any session's listing ends every selection on the shared provider, so
      // with concurrent sessions the sign carries its own selection: both run
      // in one request, which the single-threaded process never interleaves.
      if (!mayStart()) return;
      const text = `load ${runTag} session ${index} request ${n} ${crypto.randomBytes(6).toString('hex')}`;
      const flags = pos === 1 ? 0x25 : 0x26;
      const signed = await invoke({
        pcode: 6, pid: 0, type: 1, certid: pos, ccode: 1, sign: Buffer.from(text).toString('base64'), flags,
      });
      if (signed !== undefined) {
        let ok = signed?.code === 0 && signed.ccode === 1 && signed.pid === 0 && typeof signed.signed === 'string';
        const sig = ok ? Buffer.from(signed.signed, 'base64') : null;
        if (ok && pos === 1) {
          // Checked after the run: a checker process per signature would take
          // the client's time the listeners wait for during their handshakes.
          pendingSm2.push({ session, text, sig, signed });
        } else if (!(ok && verifyRsa(certs[1], text, sig))) {
          noteWrong(session, `sign (${pos === 1 ? 'SM2' : 'RSA'}) does not verify over its own text`, signed);
        }
      }
    }
  };

  const t0 = Date.now();
  const cpu0 = listeners.map((x) => (x.pid ? cpuMs(x.pid) : null));
  await Promise.all(Array.from({ length: opt.sessions }, (_, i) => sessionLoop(i)));
  const elapsed = (Date.now() - t0) / 1000;
  rss.end = listeners.map((x) => (x.pid ? rssKiB(x.pid) : null));
  const cpu1 = listeners.map((x) => (x.pid ? cpuMs(x.pid) : null));
  for (let i = 0; i < pendingSm2.length; i += 2) {
    await Promise.all(pendingSm2.slice(i, i + 2).map(async ({ session, text, sig, signed }) => {
      if (!(await verifySm2(certs[0], text, sig, work))) {
        noteWrong(session, 'sign (SM2) does not verify over its own text', signed);
      }
    }));
  }
  const crashed = listeners.filter((x) => x.pid && !alive(x.pid)).map((x) => x.name);

  // The service must still answer correctly after the run.
  const after = [];
  for (const l of listeners) {
    try {
      const c = new VaultlineClient({ host: l.host, port: l.port, ca: rootCa(), id: `load-${runTag}-after` });
      const v = await c.version();
      after.push(v?.code === 0 && v.data === version ? null : `${l.name}: ${JSON.stringify(v)}`);
    } catch (err) {
      after.push(`${l.name}: ${err.message}`);
    }
  }

  const report = {
    sessions: opt.sessions,
    seconds: Number(elapsed.toFixed(1)),
    requests: completed,
    wrong: faults.wrong.length,
    connectionErrors: faults.connection.length,
    crashed,
    total: { rate: Number((completed / elapsed).toFixed(2)) },
    listeners: {},
  };
  const failures = [];
  for (const l of listeners) {
    const sorted = [...l.latencies].sort((a, b) => a - b);
    const rate = l.done / elapsed;
    report.listeners[l.name] = {
      requests: l.done,
      rate: Number(rate.toFixed(2)),
      latencyMs: Object.fromEntries([['p50', 50], ['p90', 90], ['p99', 99], ['max', 100]]
        .map(([k, p]) => [k, Number(percentile(sorted, p).toFixed(1))])),
      cpuMsPerRequest: cpu0[listeners.indexOf(l)] !== null && cpu1[listeners.indexOf(l)] !== null && l.done
        ? Number(((cpu1[listeners.indexOf(l)] - cpu0[listeners.indexOf(l)]) / l.done).toFixed(2)) : null,
      rssKiB: { first100: rss.first100?.[listeners.indexOf(l)] ?? null, end: rss.end[listeners.indexOf(l)] },
    };
    if (opt.minRate > 0 && rate < opt.minRate) failures.push(`${l.name} served ${rate.toFixed(2)} requests/s, below ${opt.minRate}`);
    const r = report.listeners[l.name].rssKiB;
    if (completed >= 10000 && r.first100 !== null && r.end !== null && r.end - r.first100 > opt.rssLimitKiB) {
      failures.push(`${l.name} resident memory grew ${r.end - r.first100} KiB (limit ${opt.rssLimitKiB})`);
    }
  }
  if (report.wrong) failures.push(`${report.wrong} wrong or foreign replies`);
  if (report.connectionErrors) failures.push(`${report.connectionErrors} requests without a reply`);
  if (crashed.length) failures.push(`service process gone: ${crashed.join(', ')}`);
  for (const a of after) if (a) failures.push(`no correct reply after the run: ${a}`);
  if (!pids) failures.push('no process ids: memory and crash checks not made (give --pids)');

  const lines = [
    `load: ${opt.sessions} sessions, ${report.seconds} s, ${completed} requests, ${report.total.rate} requests/s in total`,
  ];
  for (const [name, l] of Object.entries(report.listeners)) {
    lines.push(`load: ${name}: ${l.requests} requests, ${l.rate} requests/s; latency ms p50 ${l.latencyMs.p50} p90 ${l.latencyMs.p90} p99 ${l.latencyMs.p99} max ${l.latencyMs.max}; service CPU ms/request ${l.cpuMsPerRequest}; VmRSS KiB after 100 requests ${l.rssKiB.first100}, at the end ${l.rssKiB.end}`);
  }
  lines.push(`load: wrong or foreign replies ${report.wrong}, requests without a reply ${report.connectionErrors}, processes gone ${crashed.length}`);
  for (const w of faults.wrong.filter(Boolean)) lines.push(`load: wrong: ${w}`);
  for (const c of faults.connection.slice(0, 10)) lines.push(`load: no reply: ${c}`);
  for (const f of failures) lines.push(`load: FAIL: ${f}`);
  lines.push(failures.length ? 'load: FAILED' : 'load: PASSED');
  console.log(lines.join('\n'));
  if (opt.json) writeFileSync(opt.json, `${JSON.stringify({ ...report, failures }, null, 2)}\n`);
  return failures.length ? 1 : 0;
}

main().then((code) => { process.exitCode = code; }, (err) => {
  console.error(`load: ${err.stack ?? err}`);
  process.exitCode = 2;
});
