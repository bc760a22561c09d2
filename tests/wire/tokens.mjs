// Tokens and OpenSSL for the end-to-end tests: the software SKF demo token,
// a SoftHSM2 token behind the forwarding module, a throw-away test CA, and
// the OpenSSL command line as the independent checker of what the service
// signs, encrypts and requests.

import { execFileSync, spawnSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import tls from 'node:tls';
import { fileURLToPath } from 'node:url';
import { buildEnvelope, InterfaceType, VaultlineClient } from '../../clients/js/src/index.js';
import { rootCa } from './service.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const build = resolve(here, '../../build');

export const SOFTSKF_LIB = process.env.VAULTLINE_SOFTSKF_LIB ?? join(build, 'softskf/libsoftskf.so');
export const SOFTSKF_TOOL = process.env.VAULTLINE_SOFTSKF_TOOL ?? join(build, 'softskf/softskf');
export const P11FORWARD = process.env.VAULTLINE_P11FORWARD ?? join(build, 'tests/tokens/libp11forward.so');
export const SOFTHSM_LIB = process.env.P11FORWARD_MODULE ?? '/usr/lib/softhsm/libsofthsm2.so';

/** The SM2 user identity every SM2 signature here is made and checked with. */
export const SM2_ID = '1234567812345678';

/** A temporary directory removed by the returned function. */
export function tempDir(prefix) {
  const dir = mkdtempSync(join(tmpdir(), `vaultline-${prefix}-`));
  return { dir, remove: () => rmSync(dir, { recursive: true, force: true }) };
}

/** Runs a program; stdout as a Buffer. Throws with stderr on failure. */
export function run(cmd, args, { env, input } = {}) {
  try {
    return execFileSync(cmd, args, {
      env: env ? { ...process.env, ...env } : process.env, input, stdio: ['pipe', 'pipe', 'pipe'],
    });
  } catch (err) {
    throw new Error(`${cmd} ${args.join(' ')} failed: ${err.stderr?.toString() ?? err.message}`);
  }
}

/** Runs a program and returns {status, out} (stdout + stderr) without throwing. */
export function runStatus(cmd, args, { env, input } = {}) {
  const r = spawnSync(cmd, args, { env: env ? { ...process.env, ...env } : process.env, input });
  return { status: r.status ?? -1, out: `${r.stdout?.toString('latin1') ?? ''}${r.stderr?.toString('latin1') ?? ''}` };
}

export const openssl = (args, opts) => run('openssl', args, opts);

// --- SKF demo token -------------------------------------------------------

/** Builds the demo token in a fresh store; {dir, env, caDir, remove}. */
export function makeSkfDemo() {
  const t = tempDir('skf');
  const env = { SOFTSKF_DIR: t.dir };
  run(SOFTSKF_TOOL, ['demo'], { env });
  const caDir = join(t.dir, 'ca-out');
  mkdirSync(caDir);
  run(SOFTSKF_TOOL, ['export-ca', caDir], { env });
  return { ...t, env, caDir };
}

// --- SoftHSM2 token -------------------------------------------------------

/** A fresh SoftHSM2 token with its own config; {dir, env, pin, p11(args), remove}. */
export function makeSoftHsm({ label = 'wire', pin = '123456' } = {}) {
  const t = tempDir('hsm');
  const tokendir = join(t.dir, 'tokens');
  mkdirSync(tokendir);
  const conf = join(t.dir, 'softhsm2.conf');
  writeFileSync(conf, `directories.tokendir = ${tokendir}\nobjectstore.backend = file\nlog.level = ERROR\n`);
  const env = { SOFTHSM2_CONF: conf, P11FORWARD_PIN: pin };
  run('softhsm2-util', ['--init-token', '--free', '--label', label, '--so-pin', '87654321', '--pin', pin], { env });
  const p11 = (args) => run('pkcs11-tool', ['--module', SOFTHSM_LIB, '--login', '--pin', pin, ...args], { env });
  return { ...t, env, pin, p11 };
}

// --- Test CA --------------------------------------------------------------

/** An RSA test CA made with the OpenSSL command line in `dir`. */
export function makeRsaCa(dir) {
  const key = join(dir, 'ca.key');
  const cert = join(dir, 'ca.pem');
  openssl(['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', cert,
    '-subj', '/CN=Wire Test CA', '-days', '2', '-sha256']);
  return { key, cert, dir };
}

let serial = 0x1000;
/**
 * Issues a certificate for a public key (PEM) or request (PEM) with the CA.
 * @returns {Buffer} DER certificate
 */
export function issue(ca, { csrPem, pubPem, subject, sm2 = false }) {
  const out = join(ca.dir, `issued-${++serial}.der`);
  const args = ['x509', '-req', '-CA', ca.cert, '-CAkey', ca.key, '-days', '1', '-outform', 'DER',
    '-out', out, '-set_serial', String(serial)];
  if (sm2) args.push('-sm3');
  else args.push('-sha256');
  if (csrPem) {
    const f = join(ca.dir, `req-${serial}.pem`);
    writeFileSync(f, csrPem);
    args.push('-in', f);
    if (sm2) args.push('-vfyopt', `distid:${SM2_ID}`);
  } else {
    // x509 -req needs a request; make one signed by the CA key (-force_pubkey replaces its key).
    const f = join(ca.dir, `fake-${serial}.csr`);
    openssl(['req', '-new', '-key', ca.key, '-subj', subject, '-out', f]);
    const pub = join(ca.dir, `pub-${serial}.pem`);
    writeFileSync(pub, pubPem);
    args.push('-in', f, '-force_pubkey', pub);
  }
  openssl(args);
  return readFileSync(out);
}

// --- Certificates and signatures ------------------------------------------

export function derToPem(der, label = 'CERTIFICATE') {
  const b64 = Buffer.from(der).toString('base64').replace(/.{1,64}/g, '$&\n');
  return `-----BEGIN ${label}-----\n${b64}-----END ${label}-----\n`;
}

/** Subject public key of a certificate, PEM. */
export function certPubPem(dir, certDer) {
  const f = join(dir, `c-${Date.now()}-${Math.random()}.der`);
  writeFileSync(f, certDer);
  return openssl(['x509', '-inform', 'DER', '-in', f, '-noout', '-pubkey']).toString();
}

/** DER length + header size at `off`. */
function derHeader(buf, off) {
  const tag = buf[off];
  let len = buf[off + 1];
  let hdr = 2;
  if (len & 0x80) {
    const n = len & 0x7f;
    len = 0;
    for (let i = 0; i < n; i++) len = len * 256 + buf[off + 2 + i];
    hdr += n;
  }
  return { tag, len, hdr, end: off + hdr + len };
}

/** The children of the constructed DER element at `off`. */
export function derChildren(buf, off = 0) {
  const h = derHeader(buf, off);
  const kids = [];
  for (let p = off + h.hdr; p < h.end;) {
    const k = derHeader(buf, p);
    kids.push({ ...k, off: p, body: buf.subarray(p + k.hdr, k.end), whole: buf.subarray(p, k.end) });
    p = k.end;
  }
  return kids;
}

/**
 * The parts of a signed-data message (PKCS#7 or GM/T 0010): OIDs in hex,
 * the carried content (or null), and the one signer's signature bytes.
 */
export function parseSignedData(der) {
  const top = derChildren(der, 0);
  const contentTypeOid = top[0].body.toString('hex');
  const sd = derChildren(top[1].body, 0); // [0] EXPLICIT -> SignedData
  const encap = derChildren(sd[2].whole, 0);
  const innerOid = encap.length ? encap[0].body.toString('hex') : null;
  let content = null;
  if (encap.length > 1) {
    const octet = derChildren(encap[1].whole, 0)[0];
    content = octet ? Buffer.from(octet.body) : Buffer.alloc(0);
  }
  const signerInfos = sd[sd.length - 1];
  const signer = derChildren(signerInfos.whole, 0)[0];
  const fields = derChildren(signer.whole, 0);
  const sig = fields.find((f, i) => i > 2 && f.tag === 0x04);
  const digestAlg = derChildren(fields[2].whole, 0)[0].body.toString('hex');
  return { contentTypeOid, innerOid, content, signature: Buffer.from(sig.body), digestAlg };
}

/** 64-byte r||s as a DER ECDSA-Sig-Value. */
export function rawSm2ToDer(raw) {
  const int = (b) => {
    let v = Buffer.from(b);
    while (v.length > 1 && v[0] === 0 && !(v[1] & 0x80)) v = v.subarray(1);
    if (v[0] & 0x80) v = Buffer.concat([Buffer.from([0]), v]);
    return Buffer.concat([Buffer.from([0x02, v.length]), v]);
  };
  const body = Buffer.concat([int(raw.subarray(0, 32)), int(raw.subarray(32, 64))]);
  return Buffer.concat([Buffer.from([0x30, body.length]), body]);
}

/** OpenSSL's SM2 (with SM3 and the standard identity) checks a DER signature. */
export function opensslSm2Verify(dir, pubPem, msg, sigDer) {
  const tag = `${Date.now()}-${Math.random()}`;
  const pub = join(dir, `sm2pub-${tag}.pem`);
  const m = join(dir, `sm2msg-${tag}`);
  const s = join(dir, `sm2sig-${tag}`);
  writeFileSync(pub, pubPem);
  writeFileSync(m, msg);
  writeFileSync(s, sigDer);
  const r = runStatus('openssl', ['pkeyutl', '-verify', '-pubin', '-inkey', pub, '-rawin', '-in', m,
    '-sigfile', s, '-digest', 'sm3', '-pkeyopt', `distid:${SM2_ID}`]);
  return r.status === 0 && /Signature Verified Successfully/.test(r.out);
}

/** OpenSSL's CMS checks a PKCS#7 signed-data message (no chain check). */
export function opensslCmsVerify(dir, p7Der, detachedContent) {
  const tag = `${Date.now()}-${Math.random()}`;
  const f = join(dir, `p7-${tag}.der`);
  writeFileSync(f, p7Der);
  const args = ['cms', '-verify', '-noverify', '-binary', '-inform', 'DER', '-in', f];
  if (detachedContent !== undefined) {
    const c = join(dir, `p7content-${tag}`);
    writeFileSync(c, detachedContent);
    args.push('-content', c);
  }
  const r = runStatus('openssl', args);
  return { ok: r.status === 0 && /Verification successful/.test(r.out), out: r.out };
}

// --- Service access -------------------------------------------------------

/** A page client on the service's IPv4 listener. */
export function pageClient(service, id) {
  return new VaultlineClient({ port: service.port4, ca: rootCa(), ...(id ? { id } : {}) });
}

/**
 * The body bytes of a command's reply exactly as they arrived, for values
 * that a UTF-8 decoding would change.
 */
export function rawInvoke(service, id, data) {
  const body = buildEnvelope({ interfacetype: InterfaceType.RUN, id, data });
  return new Promise((resolveReply, reject) => {
    const socket = tls.connect({ host: '127.0.0.1', port: service.port4, ca: rootCa() }, () => {
      socket.write(`POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nContent-Length: ${Buffer.byteLength(body)}\r\n\r\n${body}`);
    });
    const chunks = [];
    socket.on('data', (c) => chunks.push(c));
    socket.on('error', reject);
    socket.on('close', () => {
      const all = Buffer.concat(chunks);
      const at = all.indexOf('\r\n\r\n');
      resolveReply(at < 0 ? all : all.subarray(at + 4));
    });
  });
}

/**
 * The bytes of a JSON string member in a raw reply, with JSON escapes undone
 * on bytes (so raw non-UTF-8 bytes stay as they are).
 */
export function rawJsonString(body, member) {
  const key = Buffer.from(`"${member}":"`);
  const start = body.indexOf(key);
  if (start < 0) throw new Error(`no string member ${member} in ${body.toString('latin1')}`);
  const out = [];
  for (let i = start + key.length; i < body.length; i++) {
    const b = body[i];
    if (b === 0x22) return Buffer.from(out);
    if (b !== 0x5c) { out.push(b); continue; }
    const e = String.fromCharCode(body[++i]);
    const simple = { '"': 0x22, '\\': 0x5c, '/': 0x2f, b: 8, f: 12, n: 10, r: 13, t: 9 };
    if (e in simple) out.push(simple[e]);
    else if (e === 'u') {
      const cp = parseInt(body.subarray(i + 1, i + 5).toString('latin1'), 16);
      i += 4;
      out.push(...Buffer.from(String.fromCharCode(cp), 'utf8'));
    } else throw new Error(`bad escape \\${e}`);
  }
  throw new Error('unterminated string');
}
