// End to end over HTTPS with the page client against a SoftHSM2 token behind
// the PKCS#11 forwarding module: listing and selection, signing and
// encryption checked by OpenSSL with the same key, enrolment and export, and
// how two page sessions share a provider.

import assert from 'node:assert/strict';
import { mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { VaultlineClient } from '../../clients/js/src/index.js';
import { rootCa, startService } from './service.mjs';
import {
  issue, makeRsaCa, makeSoftHsm, openssl, opensslCmsVerify, P11FORWARD, pageClient,
  parseSignedData, rawInvoke, rawJsonString, runStatus, tempDir,
} from './tokens.mjs';

const b64 = (s) => Buffer.from(s).toString('base64');
const OPEN = { pcode: 0, name: P11FORWARD, type: 4 };
const SUBJECT_CN = 'Wire PKCS11 User';
const OID = { sha1: '2b0e03021a', md5: '2a864886f70d0205', sha256: '608648016503040201' };

let service;
let hsm;
let work;
let ca;
let keyPem;
let certDer;
let page;

before(async () => {
  hsm = makeSoftHsm();
  work = tempDir('p11-work');
  const caDir = join(work.dir, 'ca');
  mkdirSync(caDir);
  ca = makeRsaCa(caDir);
  // An RSA key OpenSSL also holds, put on the token with its certificate.
  const keyFile = join(work.dir, 'key.pem');
  openssl(['genpkey', '-algorithm', 'RSA', '-pkeyopt', 'rsa_keygen_bits:2048', '-out', keyFile]);
  keyPem = readFileSync(keyFile, 'utf8');
  openssl(['pkcs8', '-topk8', '-nocrypt', '-in', keyFile, '-outform', 'DER', '-out', join(work.dir, 'key.der')]);
  openssl(['pkey', '-in', keyFile, '-pubout', '-outform', 'DER', '-out', join(work.dir, 'pub.der')]);
  const pubPem = openssl(['pkey', '-in', keyFile, '-pubout']).toString();
  certDer = issue(ca, { pubPem, subject: `/O=Wire/CN=${SUBJECT_CN}` });
  writeFileSync(join(work.dir, 'cert.der'), certDer);
  hsm.p11(['--write-object', join(work.dir, 'key.der'), '--type', 'privkey', '--id', '01', '--label', 'k1']);
  hsm.p11(['--write-object', join(work.dir, 'pub.der'), '--type', 'pubkey', '--id', '01', '--label', 'k1']);
  hsm.p11(['--write-object', join(work.dir, 'cert.der'), '--type', 'cert', '--id', '01', '--label', 'c1']);

  service = await startService({ env: hsm.env });
  page = pageClient(service);
});

after(async () => {
  try {
    await service?.stop();
  } finally {
    hsm?.remove();
    work?.remove();
  }
});

/** The test certificate's serial number as OpenSSL prints it (upper-case hex). */
function serialHex() {
  return /serial=([0-9A-F]+)/.exec(openssl(['x509', '-inform', 'DER', '-noout', '-serial'], { input: certDer }).toString())[1];
}

function file(name, data) {
  const f = join(work.dir, `${name}-${Math.random().toString(36).slice(2)}`);
  writeFileSync(f, data);
  return f;
}

/** Lists with a query on the test certificate's CN and selects it. */
async function selectTestCert(client = page) {
  const list = await client.invoke({ pcode: 5, pid: 0, query: { CN: SUBJECT_CN } });
  assert.equal(list.code, 0, JSON.stringify(list));
  assert.equal(list.certnumber, 1);
  assert.equal(list.certlist[0].certid, 0);
  assert.equal((await client.invoke({ pcode: 6, pid: 0, type: 1, certid: 0 })).code, 0);
  return list;
}

describe('PKCS#11 provider before any listing', () => {
  test('opens with 0 and refuses a request with -2', async () => {
    assert.deepEqual(await page.invoke(OPEN), { code: 0, pcode: 0, pid: 0 });
    assert.deepEqual(await page.invoke({ pcode: 1, pid: 0, csrinfo: { CN: 'too early', hash: 7 } }),
      { code: -2, csr: '', pcode: 1, pid: 0 });
  });
});

describe('PKCS#11 listing and selection', () => {
  test('an empty query lists the certificate from 0 with its DER', async () => {
    const r = await page.invoke({ pcode: 5, pid: 0, query: {} });
    assert.equal(r.code, 0);
    assert.equal(r.certnumber, 1);
    assert.deepEqual(r.certlist, [{ certid: 0, name: SUBJECT_CN, pub: certDer.toString('base64') }]);
  });

  const queries = [
    { name: 'CN in other case', query: () => ({ cn: SUBJECT_CN.toUpperCase() }), n: 1 },
    { name: 'O and CN together', query: () => ({ O: 'wire', CN: SUBJECT_CN }), n: 1 },
    { name: 'a CN prefix', query: () => ({ CN: 'Wire PKCS11' }), n: 0 },
    { name: 'serial with leading zeros, lower case', query: () => ({ SN: `00${serialHex().toLowerCase()}` }), n: 1 },
    { name: 'another serial', query: () => ({ sn: `${serialHex()}0` }), n: 0 },
    { name: 'a subject', query: () => ({ subject: `CN=${SUBJECT_CN}` }), n: 0 },
  ];
  for (const { name, query, n } of queries) {
    test(`query: ${name}`, async () => {
      const r = await page.invoke({ pcode: 5, pid: 0, query: query() });
      assert.equal(r.certnumber, n);
      // PKCS#11 listing reports -2 when nothing is listed.
      assert.equal(r.code, n ? 0 : -2);
      if (n) assert.equal(r.certlist[0].pub, certDer.toString('base64'));
      else assert.equal(r.certlist, undefined);
    });
  }

  test('selection from 0; positions past the end give -2', async () => {
    await selectTestCert();
    const info = await page.invoke({ ccode: 0, pid: 0 });
    assert.equal(info.code, 1);
    assert.equal(info.certinfo.pub, certDer.toString('base64'));
    assert.equal(info.certinfo.cn, SUBJECT_CN);
    assert.equal(info.certinfo.o, 'Wire');
    for (const certid of [1, -1]) {
      assert.equal((await page.invoke({ pcode: 6, pid: 0, type: 1, certid })).code, -2, `certid ${certid}`);
    }
  });
});

describe('PKCS#11 signing, checked by the service and by OpenSSL', () => {
  const message = Buffer.from('PKCS#11 wire message ✓\n');
  const changed = Buffer.from('PKCS#11 wire message ✗\n');
  const cases = [
    { flags: 0x00, form: 'attached', digest: 'sha1' },
    { flags: 0x03, form: 'attached', digest: 'md5' },
    { flags: 0x06, form: 'attached', digest: 'sha256' },
    { flags: 0x16, form: 'detached', digest: 'sha256' },
    { flags: 0x26, form: 'raw', digest: 'sha256' },
  ];
  for (const { flags, form, digest } of cases) {
    test(`flags 0x${flags.toString(16)} (${form}, ${digest})`, async () => {
      await selectTestCert();
      const r = await page.invoke({ ccode: 1, pid: 0, sign: b64(message), flags });
      assert.equal(r.code, 0, JSON.stringify(r));
      const signed = Buffer.from(r.signed, 'base64');
      const withMsg = form === 'attached' ? {} : { msg: b64(message) };
      assert.deepEqual(await page.invoke({ ccode: 2, pid: 0, signed: r.signed, flags, ...withMsg }),
        { ccode: 2, code: 0, pid: 0, verify: 1 });
      if (form !== 'attached') {
        const bad = await page.invoke({ ccode: 2, pid: 0, signed: r.signed, flags, msg: b64(changed) });
        assert.equal(bad.verify, 0);
      }
      if (form === 'raw') {
        const pub = file('pub', openssl(['pkey', '-pubout'], { input: keyPem }));
        const check = (m) => runStatus('openssl', ['dgst', `-${digest}`, '-verify', pub,
          '-signature', file('sig', signed), file('msg', m)]).out;
        assert.match(check(message), /Verified OK/);
        assert.doesNotMatch(check(changed), /Verified OK/);
      } else {
        const p = parseSignedData(signed);
        assert.equal(p.digestAlg, OID[digest]);
        const v = opensslCmsVerify(work.dir, signed, form === 'detached' ? message : undefined);
        assert.ok(v.ok, v.out);
        if (form === 'attached') assert.deepEqual(p.content, message);
        else assert.ok(!opensslCmsVerify(work.dir, signed, changed).ok);
      }
    });
  }
});

describe('PKCS#11 flags 0x30', () => {
  test('sign attached with SHA-1 but verify as a bare signature', async () => {
    await selectTestCert();
    const message = Buffer.from('flags 0x30');
    const r = await page.invoke({ ccode: 1, pid: 0, sign: b64(message), flags: 0x30 });
    assert.equal(r.code, 0);
    const signed = Buffer.from(r.signed, 'base64');
    const p = parseSignedData(signed);
    assert.deepEqual(p.content, message);
    assert.equal(p.digestAlg, OID.sha1);
    const v = opensslCmsVerify(work.dir, signed);
    assert.ok(v.ok, v.out);
    assert.equal((await page.invoke({ ccode: 2, pid: 0, signed: r.signed, flags: 0x30, msg: b64(message) })).verify, 0);
    assert.equal((await page.invoke({ ccode: 2, pid: 0, signed: r.signed, flags: 0x00 })).verify, 1);
  });
});

describe('PKCS#11 encryption', () => {
  const opensslDecrypt = (cipher) => openssl(['pkeyutl', '-decrypt', '-inkey', file('key', keyPem),
    '-in', file('cipher', cipher)]);
  const opensslEncrypt = (plain) => openssl(['pkeyutl', '-encrypt', '-pubin', '-inkey',
    file('pub', openssl(['pkey', '-pubout'], { input: keyPem })), '-in', file('plain', plain)]);

  test('"abc" encrypted by the service decrypts in the service and in OpenSSL', async () => {
    await selectTestCert();
    const enc = await page.invoke({ ccode: 3, pid: 0, plain: 'abc', type: 0 });
    assert.equal(enc.code, 0, JSON.stringify(enc));
    const cipher = Buffer.from(enc.cipher, 'base64');
    assert.equal(cipher.length, 256);
    assert.deepEqual(opensslDecrypt(cipher), Buffer.from('abc'));
    assert.deepEqual(await page.invoke({ ccode: 4, pid: 0, cipher: enc.cipher, type: 0 }),
      { ccode: 4, code: 0, pid: 0, plain: 'abc' });
  });

  const plains = [
    { name: 'UTF-8 text', bytes: Buffer.from('签名 "quoted" \\ back') },
    { name: 'bytes that are not UTF-8', bytes: Buffer.from([0xff, 0x80, 0xc3, 0x28, 0x41, 0xfe, 0xe2, 0x82]) },
    { name: 'control bytes', bytes: Buffer.from([0x01, 0x0a, 0x1f, 0x7f, 0x09, 0x22]) },
  ];
  for (const { name, bytes } of plains) {
    test(`OpenSSL's encryption of ${name} reaches the page byte for byte`, async () => {
      await selectTestCert();
      const cipher = opensslEncrypt(bytes);
      const body = await rawInvoke(service, page.id, { ccode: 4, pid: 0, cipher: cipher.toString('base64'), type: 0 });
      assert.match(body.toString('latin1'), /"code":0/);
      assert.deepEqual(rawJsonString(body, 'plain'), bytes);
    });
  }
});

describe('PKCS#11 enrolment and export', () => {
  test('the default hash (MD5) gives code 0 and no request', async () => {
    await selectTestCert();
    assert.deepEqual(await page.invoke({ pcode: 1, pid: 0, csrinfo: { CN: 'Wire MD5' } }),
      { code: 0, csr: '', pcode: 1, pid: 0 });
  });

  const requests = [
    { name: 'hash 0 is taken as SHA-1', csrinfo: { CN: 'Wire Hash Zero', hash: 0 }, subject: /CN ?= ?Wire Hash Zero/ },
    { name: 'hash 9 is taken as SHA-1', csrinfo: { CN: 'Wire Hash Nine', hash: 9 }, subject: /CN ?= ?Wire Hash Nine/ },
    { name: 'a lower-case cn is not read', csrinfo: { cn: 'Wire Lower', O: 'Wire', hash: 4 }, subject: /^subject=O ?= ?Wire$/m },
  ];
  for (const { name, csrinfo, subject } of requests) {
    test(`request: ${name}`, async () => {
      await selectTestCert();
      const r = await page.invoke({ pcode: 1, pid: 0, csrinfo });
      assert.equal(r.code, 0, JSON.stringify(r));
      const v = runStatus('openssl', ['req', '-verify', '-noout', '-inform', 'DER', '-in',
        file('csr', Buffer.from(r.csr, 'base64')), '-subject', '-text']);
      assert.match(v.out, /verify OK/, v.out);
      assert.match(v.out, /Signature Algorithm: sha1WithRSAEncryption/);
      assert.match(v.out, subject);
    });
  }

  test('SHA-256 request, issued, imported, listed and exported', async () => {
    await selectTestCert();
    const cn = 'Wire PKCS11 Enrol';
    const r = await page.invoke({ pcode: 1, pid: 0, csrinfo: { CN: cn, O: 'Wire', hash: 7 } });
    assert.equal(r.code, 0, JSON.stringify(r));
    const der = Buffer.from(r.csr, 'base64');
    assert.equal(der[0], 0x30, 'a DER request, not PEM');
    const v = runStatus('openssl', ['req', '-verify', '-noout', '-inform', 'DER', '-in', file('csr', der),
      '-subject', '-pubkey', '-text']);
    assert.match(v.out, /verify OK/, v.out);
    assert.doesNotMatch(v.out, /fail/i, v.out);
    assert.match(v.out, new RegExp(`CN ?= ?${cn}`));
    // The token's request key always signs with SHA-1, and the request names what was signed.
    assert.match(v.out, /Signature Algorithm: sha1WithRSAEncryption/);
    assert.match(v.out, /Public-Key: \(2048 bit\)/);
    const pubPem = /-----BEGIN PUBLIC KEY-----[\s\S]+?-----END PUBLIC KEY-----\n/.exec(v.out)[0];

    const issued = issue(ca, { pubPem, subject: `/O=Wire/CN=${cn}` });
    assert.deepEqual(await page.invoke({ pcode: 2, pid: 0, data: issued.toString('base64'), format: 0 }),
      { code: 0, pcode: 2, pid: 0 });
    const all = await page.invoke({ pcode: 5, pid: 0, query: {} });
    assert.equal(all.certnumber, 2);
    const at = all.certlist.findIndex((c) => c.pub === issued.toString('base64'));
    assert.ok(at >= 0, 'the imported certificate is listed');
    assert.equal(all.certlist[at].name, cn);

    for (const [certid, want] of [[at, issued], [1 - at, certDer]]) {
      const e = await page.invoke({ pcode: 3, pid: 0, certid });
      assert.equal(e.code, 0);
      const once = Buffer.from(e.data, 'base64').toString('latin1');
      assert.deepEqual(Buffer.from(once, 'base64'), want);
    }
    assert.equal((await page.invoke({ pcode: 3, pid: 0, certid: 2 })).code, -2);

    // The new key signs: the certificate OpenSSL issued checks its signature.
    assert.equal((await page.invoke({ pcode: 6, pid: 0, type: 1, certid: at })).code, 0);
    const s = await page.invoke({ ccode: 1, pid: 0, sign: b64('enrolled'), flags: 0x06 });
    assert.equal(s.code, 0);
    assert.ok(opensslCmsVerify(work.dir, Buffer.from(s.signed, 'base64')).ok);
  });

  test('a certificate whose key is not on the token is not imported', async () => {
    await selectTestCert();
    const other = openssl(['genpkey', '-algorithm', 'RSA', '-pkeyopt', 'rsa_keygen_bits:2048']);
    const pubPem = openssl(['pkey', '-pubout'], { input: other }).toString();
    const der = issue(ca, { pubPem, subject: '/CN=Wire Stranger' });
    assert.equal((await page.invoke({ pcode: 2, pid: 0, data: der.toString('base64'), format: 0 })).code, -2);
    assert.equal((await page.invoke({ pcode: 5, pid: 0, query: { CN: 'Wire Stranger' } })).certnumber, 0);
  });

  test('deleteCert is -1', async () => {
    await selectTestCert();
    assert.deepEqual(await page.invoke({ pcode: 4, pid: 0, certid: 0 }), { certid: 0, code: -1, pcode: 4, pid: 0 });
    assert.equal((await page.invoke({ pcode: 5, pid: 0, query: { CN: SUBJECT_CN } })).certnumber, 1);
  });
});

describe('two page sessions on one provider', () => {
  test('the provider and its list are shared, selections are not', async () => {
    const a = pageClient(service);
    const b = pageClient(service);
    // The provider exists in the process already: each new session gets it as its own 0.
    for (const c of [a, b]) assert.deepEqual(await c.invoke(OPEN), { code: 0, pcode: 0, pid: 0 });
    const list = await a.invoke({ pcode: 5, pid: 0, query: { CN: SUBJECT_CN } });
    assert.equal(list.certnumber, 1);

    // No selection in either session yet: every certificate command gives -2 and empty fields.
    const none = [
      [{ ccode: 0, pid: 0 }, { ccode: 0, code: -2, pid: 0, certinfo: { subject: '', sn: '', cn: '', c: '', e: '', o: '', ou: '', pub: '' } }],
      [{ ccode: 1, pid: 0, sign: b64('x'), flags: 0 }, { ccode: 1, code: -2, pid: 0, signed: '' }],
      [{ ccode: 2, pid: 0, signed: b64('x'), flags: 0x26, msg: b64('x') }, { ccode: 2, code: -2, pid: 0, verify: 0 }],
      [{ ccode: 3, pid: 0, plain: 'abc', type: 0 }, { ccode: 3, code: -2, pid: 0, cipher: '' }],
      [{ ccode: 4, pid: 0, cipher: b64('x'), type: 0 }, { ccode: 4, code: -2, pid: 0, plain: '' }],
    ];
    for (const [cmd, want] of none) assert.deepEqual(await b.invoke(cmd), want, JSON.stringify(cmd));

    // b selects from the list a made, without listing itself.
    assert.equal((await b.invoke({ pcode: 6, pid: 0, type: 1, certid: 0 })).code, 0);
    const info = await b.invoke({ ccode: 0, pid: 0 });
    assert.equal(info.code, 1);
    assert.equal(info.certinfo.pub, list.certlist[0].pub);
    // ... which is still no selection for a.
    for (const [cmd, want] of none) assert.deepEqual(await a.invoke(cmd), want, JSON.stringify(cmd));
    const s = await b.invoke({ ccode: 1, pid: 0, sign: b64('by b'), flags: 0x06 });
    assert.equal(s.code, 0);
    // A provider index the session does not have: no signature, selection or not.
    assert.deepEqual(await b.invoke({ ccode: 1, pid: 1, sign: b64('by b'), flags: 0x06 }),
      { ccode: 1, code: -2, pid: 1, signed: '' });

    // A new listing by a replaces the shared list: b's selection is gone with it.
    assert.equal((await a.invoke({ pcode: 5, pid: 0, query: {} })).code, 0);
    for (const [cmd, want] of none) assert.deepEqual(await b.invoke(cmd), want, JSON.stringify(cmd));
  });

  test('the IPv6 listener is another process with sessions of its own', async () => {
    const v4 = pageClient(service);
    assert.deepEqual(await v4.invoke(OPEN), { code: 0, pcode: 0, pid: 0 });
    await selectTestCert(v4);
    const v6 = new VaultlineClient({ host: '::1', port: service.port6, ca: rootCa(), id: v4.id });
    assert.equal((await v6.invoke({ ccode: 0, pid: 0 })).code, -2);
    assert.equal((await v6.invoke({ pcode: 5, pid: 0, query: {} })).code, -2);
    // That process opens the library for this session on its own.
    assert.deepEqual(await v6.invoke(OPEN), { code: 0, pcode: 0, pid: 0 });
    await selectTestCert(v6);
    assert.equal((await v4.invoke({ ccode: 0, pid: 0 })).code, 1);
  });

  test('a page using JSONP gets the same provider, list and signatures', async () => {
    const j = new VaultlineClient({ port: service.port4, ca: rootCa(), transport: 'jsonp' });
    assert.deepEqual(await j.invoke(OPEN), { code: 0, pcode: 0, pid: 0 });
    await selectTestCert(j);
    const s = await j.invoke({ ccode: 1, pid: 0, sign: b64('über JSONP'), flags: 0x16 });
    assert.equal(s.code, 0);
    const v = opensslCmsVerify(work.dir, Buffer.from(s.signed, 'base64'), Buffer.from('über JSONP'));
    assert.ok(v.ok, v.out);
    assert.deepEqual(await j.invoke({ ccode: 2, pid: 0, signed: s.signed, flags: 0x16, msg: b64('über JSONP') }),
      { ccode: 2, code: 0, pid: 0, verify: 1 });
  });
});
