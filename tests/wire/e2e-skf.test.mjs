// End to end over HTTPS with the page client against the software SKF demo
// token: opening the library, listing and selecting, signing in every form
// checked by the service and by OpenSSL, and enrolment.

import assert from 'node:assert/strict';
import { chmodSync, copyFileSync, mkdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { startService } from './service.mjs';
import {
  certPubPem, derChildren, issue, makeRsaCa, makeSkfDemo, openssl, opensslCmsVerify,
  opensslSm2Verify, pageClient, parseSignedData, rawSm2ToDer, runStatus, SM2_ID, SOFTSKF_LIB,
  rawInvoke, rawJsonString, SOFTSKF_TOOL, tempDir,
} from './tokens.mjs';

const b64 = (s) => Buffer.from(s).toString('base64');
const OID_GM_SIGNED = '2a811ccf550601040202'; // 1.2.156.10197.6.1.4.2.2
const OID_GM_DATA = '2a811ccf550601040201'; // 1.2.156.10197.6.1.4.2.1

let service;
let token;
let work;
let page;

before(async () => {
  token = makeSkfDemo();
  work = tempDir('skf-work');
  service = await startService({ env: token.env });
  page = pageClient(service);
});

after(async () => {
  try {
    await service?.stop();
  } finally {
    token?.remove();
    work?.remove();
  }
});

describe('SKF provider opening', () => {
  test('first open is 0, again in the session 6, another session numbers from 0', async () => {
    const open = { pcode: 0, name: SOFTSKF_LIB, type: 3 };
    assert.deepEqual(await page.invoke(open), { code: 0, pcode: 0, pid: 0 });
    assert.deepEqual(await page.invoke(open), { code: 6, pcode: 0, pid: 0 });
    const other = pageClient(service);
    assert.deepEqual(await other.invoke(open), { code: 0, pcode: 0, pid: 0 });
  });

  test('unusable libraries give 2', async () => {
    const open = pageClient(service);
    const writable = join(work.dir, 'open-to-all');
    mkdirSync(writable);
    chmodSync(writable, 0o777);
    const copy = join(writable, 'libsoftskf-copy.so');
    copyFileSync(SOFTSKF_LIB, copy);
    for (const name of [join(work.dir, 'no-such-lib.so'), copy]) {
      assert.deepEqual(await open.invoke({ pcode: 0, name, type: 3 }),
        { code: 2, pcode: 0, pid: -1 }, name);
    }
  });
});

/** The demo token's two signing certificates as the service lists them. */
async function listAll(client) {
  const r = await client.invoke({ pcode: 5, pid: 0, query: {} });
  assert.equal(r.code, 0);
  return r;
}

describe('SKF listing and selection', () => {
  let all;
  before(async () => {
    all = await listAll(page);
  });

  test('an empty query lists both signing certificates with their DER', () => {
    assert.equal(all.certnumber, 2);
    assert.deepEqual(all.certlist.map((c) => c.certid), [0, 1]);
    const subjects = all.certlist.map((c) => {
      const f = join(work.dir, `listed-${c.certid}.der`);
      writeFileSync(f, Buffer.from(c.pub, 'base64'));
      return openssl(['x509', '-inform', 'DER', '-in', f, '-noout', '-subject', '-nameopt', 'utf8,sep_comma_plus']).toString();
    });
    assert.match(subjects[0], /OU=SM2 Signing/);
    assert.match(subjects[1], /OU=RSA Signing/);
    assert.equal(all.certlist[0].name, '测试用户');
    assert.equal(all.certlist[1].name, 'Vaultline Demo User');
  });

  const serialOf = (c) => {
    const f = join(work.dir, `serial-${c.certid}.der`);
    writeFileSync(f, Buffer.from(c.pub, 'base64'));
    return /serial=([0-9A-F]+)/.exec(openssl(['x509', '-inform', 'DER', '-in', f, '-noout', '-serial']).toString())[1];
  };

  const queries = [
    { name: 'cn in other case', query: () => ({ cn: 'vaultline demo USER' }), want: [1] },
    { name: 'upper CN wins over cn', query: () => ({ cn: 'Vaultline Demo User', CN: '测试用户' }), want: [0] },
    { name: 'CN prefix matches nothing', query: () => ({ CN: 'Vaultline Demo' }), want: [] },
    { name: 'serial in lower case with leading zeros', query: () => ({ sn: `000${serialOf(all.certlist[1]).toLowerCase()}` }), want: [1] },
    { name: 'a subject matches nothing', query: () => ({ subject: 'CN=测试用户' }), want: [] },
  ];
  for (const { name, query, want } of queries) {
    test(name, async () => {
      const r = await page.invoke({ pcode: 5, pid: 0, query: query() });
      assert.equal(r.certnumber, want.length);
      assert.deepEqual((r.certlist ?? []).map((c) => c.pub), want.map((i) => all.certlist[i].pub));
    });
  }

  test('selection by position from 1, certificate info, setPin', async () => {
    await listAll(page);
    for (const [pos, entry] of [[1, all.certlist[0]], [2, all.certlist[1]]]) {
      assert.equal((await page.invoke({ pcode: 6, pid: 0, type: 1, certid: pos })).code, 0);
      const info = await page.invoke({ ccode: 0, pid: 0 });
      assert.equal(info.code, 1);
      assert.deepEqual(Object.keys(info.certinfo).sort(), ['c', 'cn', 'e', 'o', 'ou', 'pub', 'sn', 'subject']);
      for (const v of Object.values(info.certinfo)) assert.equal(typeof v, 'string');
      assert.equal(info.certinfo.pub, entry.pub);
      assert.equal(info.certinfo.cn, entry.name);
      assert.equal(info.certinfo.sn, serialOf(entry));
    }
    assert.deepEqual(await page.invoke({ ccode: 5, pid: 0, pin: '1234' }), { ccode: 5, code: -2, pid: 0 });
  });

  test('another session\'s listing ends this session\'s selection', async () => {
    const other = pageClient(service);
    assert.equal((await other.invoke({ pcode: 0, name: SOFTSKF_LIB, type: 3 })).code, 0);
    await listAll(page);
    assert.equal((await page.invoke({ pcode: 6, pid: 0, type: 1, certid: 2 })).code, 0);
    assert.equal((await page.invoke({ ccode: 0, pid: 0 })).code, 1);
    await listAll(other);
    assert.deepEqual(await page.invoke({ ccode: 1, pid: 0, sign: b64('stale'), flags: 0x26 }),
      { ccode: 1, code: -2, pid: 0, signed: '' });
    assert.equal((await page.invoke({ ccode: 0, pid: 0 })).certinfo.pub, '');
  });

  test('positions outside the list select nothing and end the earlier selection', async () => {
    await listAll(page);
    for (const certid of [0, 3, -1]) {
      assert.equal((await page.invoke({ pcode: 6, pid: 0, type: 1, certid: 1 })).code, 0);
      assert.notEqual((await page.invoke({ pcode: 6, pid: 0, type: 1, certid })).code, 0, `position ${certid}`);
      const info = await page.invoke({ ccode: 0, pid: 0 });
      assert.equal(info.code, -2, `position ${certid}`);
      assert.equal(info.certinfo.pub, '');
    }
  });
});

/** Verifies with OpenSSL a bare RSA PKCS#1 signature with the given digest. */
function opensslRsaVerify(pubPem, digest, msg, sig) {
  const tag = Math.random().toString(36).slice(2);
  const pub = join(work.dir, `rsapub-${tag}.pem`);
  const m = join(work.dir, `rsamsg-${tag}`);
  const s = join(work.dir, `rsasig-${tag}`);
  writeFileSync(pub, pubPem);
  writeFileSync(m, msg);
  writeFileSync(s, sig);
  const r = runStatus('openssl', ['dgst', `-${digest}`, '-verify', pub, '-signature', s, m]);
  return r.status === 0 && /Verified OK/.test(r.out);
}

describe('SKF signing, checked by the service and by OpenSSL', () => {
  const message = Buffer.from('签名 wire message #1\n');
  const changed = Buffer.from('签名 wire message #2\n');
  // position: 1 the SM2 container, 2 the RSA container (container order).
  // 0x4006 comes before the other RSA flags: once the plain RSA signing has
  // run on the library binding, the WDC1 variant no longer digests on the
  // token and the software token refuses a signature without a digest.
  const cases = [
    { flags: 0x4006, pos: 2, form: 'attached', digest: 'sha256' },
    { flags: 0x05, pos: 1, form: 'attached' },
    { flags: 0x15, pos: 1, form: 'detached' },
    { flags: 0x25, pos: 1, form: 'raw' },
    { flags: 0x2025, pos: 1, form: 'raw' },
    { flags: 0x4005, pos: 1, form: 'attached' },
    { flags: 0x06, pos: 2, form: 'attached', digest: 'sha256' },
    { flags: 0x16, pos: 2, form: 'detached', digest: 'sha256' },
    { flags: 0x26, pos: 2, form: 'raw', digest: 'sha256' },
  ];
  for (const { flags, pos, form, digest } of cases) {
    const sm2 = pos === 1;
    test(`flags 0x${flags.toString(16)} on the ${sm2 ? 'SM2' : 'RSA'} certificate (${form})`, async () => {
      const list = await listAll(page);
      const certDer = Buffer.from(list.certlist[pos - 1].pub, 'base64');
      assert.equal((await page.invoke({ pcode: 6, pid: 0, type: 1, certid: pos })).code, 0);
      const r = await page.invoke({ ccode: 1, pid: 0, sign: b64(message), flags });
      assert.equal(r.code, 0, JSON.stringify(r));
      const signed = Buffer.from(r.signed, 'base64');

      const withMsg = form === 'attached' ? {} : { msg: b64(message) };
      assert.deepEqual(await page.invoke({ ccode: 2, pid: 0, signed: r.signed, flags, ...withMsg }),
        { ccode: 2, code: 0, pid: 0, verify: 1 });
      if (form !== 'attached') {
        const bad = await page.invoke({ ccode: 2, pid: 0, signed: r.signed, flags, msg: b64(changed) });
        assert.equal(bad.verify, 0);
        assert.notEqual(bad.code, 0);
      }

      const pubPem = certPubPem(work.dir, certDer);
      if (sm2) {
        let sig;
        if (form === 'raw') {
          assert.equal(signed.length, 64);
          sig = rawSm2ToDer(signed);
        } else {
          const p = parseSignedData(signed);
          assert.equal(p.contentTypeOid, OID_GM_SIGNED);
          if (form === 'attached') {
            assert.equal(p.innerOid, OID_GM_DATA);
            assert.deepEqual(p.content, message);
          } else {
            assert.equal(p.content, null);
          }
          assert.equal(p.signature.length, 64, 'the signer carries r||s');
          sig = rawSm2ToDer(p.signature);
        }
        assert.ok(opensslSm2Verify(work.dir, pubPem, message, sig), 'OpenSSL SM2 verifies');
        assert.ok(!opensslSm2Verify(work.dir, pubPem, changed, sig), 'OpenSSL SM2 rejects a changed message');
      } else if (form === 'raw') {
        assert.ok(opensslRsaVerify(pubPem, digest, message, signed), 'OpenSSL RSA verifies');
        assert.ok(!opensslRsaVerify(pubPem, digest, changed, signed));
      } else {
        const content = form === 'detached' ? message : undefined;
        const v = opensslCmsVerify(work.dir, signed, content);
        assert.ok(v.ok, v.out);
        if (form === 'detached') assert.ok(!opensslCmsVerify(work.dir, signed, changed).ok);
        assert.equal(parseSignedData(signed).digestAlg, '608648016503040201'); // SHA-256
      }
    });
  }

  test('an attached message with its content changed verifies as 0', async () => {
    await listAll(page);
    for (const [pos, flags] of [[1, 0x05], [2, 0x06]]) {
      assert.equal((await page.invoke({ pcode: 6, pid: 0, type: 1, certid: pos })).code, 0);
      const r = await page.invoke({ ccode: 1, pid: 0, sign: b64(message), flags });
      const signed = Buffer.from(r.signed, 'base64');
      const at = signed.indexOf(message);
      assert.ok(at > 0);
      signed.set(changed, at);
      const v = await page.invoke({ ccode: 2, pid: 0, signed: signed.toString('base64'), flags });
      assert.equal(v.verify, 0, `position ${pos}`);
    }
  });

  test('encrypt and decrypt on an SKF certificate give 4 and 5', async () => {
    await listAll(page);
    assert.equal((await page.invoke({ pcode: 6, pid: 0, type: 1, certid: 1 })).code, 0);
    const enc = await page.invoke({ ccode: 3, pid: 0, plain: 'abc', type: 0 });
    assert.equal(enc.code, 4);
    assert.equal(enc.cipher, '');
    const dec = await page.invoke({ ccode: 4, pid: 0, cipher: b64('abc'), type: 0 });
    assert.equal(dec.code, 5);
    assert.equal(dec.plain, '');
  });
});

describe('SKF enrolment', () => {
  let ca;
  before(() => {
    const d = join(work.dir, 'ca');
    mkdirSync(d);
    ca = makeRsaCa(d);
  });

  /** The Base64 "csr" as PEM text, with OpenSSL's verdict on its self-signature. */
  function checkRequest(csr, sm2) {
    const pem = Buffer.from(csr, 'base64').toString('latin1');
    assert.match(pem, /^-----BEGIN CERTIFICATE REQUEST-----\n/);
    const f = join(work.dir, `req-${Math.random().toString(36).slice(2)}.pem`);
    writeFileSync(f, pem);
    const args = ['req', '-verify', '-noout', '-in', f, '-subject', '-pubkey'];
    if (sm2) args.push('-vfyopt', `distid:${SM2_ID}`);
    const r = runStatus('openssl', args);
    assert.match(r.out, /verify OK/, r.out);
    assert.doesNotMatch(r.out, /fail/i, r.out);
    const pubPem = /-----BEGIN PUBLIC KEY-----[\s\S]+?-----END PUBLIC KEY-----\n/.exec(r.out)[0];
    return { pem, pubPem, out: r.out };
  }

  const cases = [
    { name: 'SM2 request with SM3', csrinfo: { CN: 'Wire SM2 Enrol', O: 'Wire', hash: 6 }, sm2: true },
    { name: 'RSA 2048 request with SHA-256', csrinfo: { CN: 'Wire RSA Enrol', O: 'Wire', hash: 7, keySize: 2048 }, sm2: false },
  ];
  for (const { name, csrinfo, sm2 } of cases) {
    test(`${name}: request, issue, import, listed`, async () => {
      const r = await page.invoke({ pcode: 1, pid: 0, csrinfo });
      assert.equal(r.code, 0, JSON.stringify(r));
      const { pubPem, out } = checkRequest(r.csr, sm2);
      assert.match(out, new RegExp(`CN ?= ?${csrinfo.CN}`));
      const pubFile = join(work.dir, `enrol-pub-${csrinfo.hash}.pem`);
      writeFileSync(pubFile, pubPem);
      assert.match(openssl(['pkey', '-pubin', '-in', pubFile, '-noout', '-text']).toString(),
        sm2 ? /ASN1 OID: SM2/ : /Public-Key: \(2048 bit\)/);

      const der = issue(ca, { pubPem, subject: `/O=Wire/CN=${csrinfo.CN}` });
      assert.deepEqual(await page.invoke({ pcode: 2, pid: 0, data: der.toString('base64'), format: 0 }),
        { code: 0, pcode: 2, pid: 0 });
      const listed = await page.invoke({ pcode: 5, pid: 0, query: { CN: csrinfo.CN } });
      assert.equal(listed.certnumber, 1);
      assert.equal(listed.certlist[0].pub, der.toString('base64'));
    });
  }
});

/** A 32-byte big-endian value from a DER INTEGER body. */
function fixed32(intBody) {
  const v = intBody.length > 32 ? intBody.subarray(intBody.length - 32) : intBody;
  return Buffer.concat([Buffer.alloc(32 - v.length), v]);
}

/**
 * An encryption key pair wrapped for a container: an SM4 key SM2-encrypted to
 * the container's signing key (X|Y|hash|4 bytes|cipher), and the private key
 * SM4-ECB-encrypted with it. `keyPem` is the encryption key pair.
 */
function wrapEncryptionKey(signPubPem, keyPem) {
  const tag = Math.random().toString(36).slice(2);
  const f = (name, data) => {
    const p = join(work.dir, `${name}-${tag}`);
    writeFileSync(p, data);
    return p;
  };
  const sm4Key = Buffer.from(openssl(['rand', '16']));
  const cipherDer = openssl(['pkeyutl', '-encrypt', '-pubin', '-inkey', f('signpub.pem', signPubPem),
    '-in', f('sm4key', sm4Key)]);
  const [x, y, hash, cipher] = derChildren(cipherDer, 0).map((c) => c.body);
  const wrapped = Buffer.concat([fixed32(x), fixed32(y), hash, Buffer.alloc(4), cipher]);
  const sec1 = openssl(['pkey', '-in', f('enc.pem', keyPem), '-outform', 'DER']);
  const priv = fixed32(derChildren(sec1, 0)[1].body);
  const encPriv = openssl(['enc', '-sm4-ecb', '-nopad', '-K', sm4Key.toString('hex'), '-in', f('priv', priv)]);
  return { wrapped, encPriv };
}

describe('SKF enrolment of an encryption certificate with its key pair', () => {
  let ca;
  before(() => {
    const d = join(work.dir, 'enc-ca');
    mkdirSync(d);
    ca = makeRsaCa(d);
  });

  const containerOf = (cn, usage) => {
    const list = runStatus(SOFTSKF_TOOL, ['list'], { env: token.env }).out;
    const m = new RegExp(`container (\\S+) type=sm2\\n(?:      .*\\n)*?      ${usage} key=sm2 subject="[^"]*CN=${cn}"`).exec(list);
    return m?.[1];
  };

  const cases = [
    { name: 'the matching key pair imports with the certificate', matching: true },
    { name: 'a key pair that is not the certificate\'s is refused, and the certificate with it', matching: false },
  ];
  for (const { name, matching } of cases) {
    test(name, async () => {
      const cn = `Wire Enc ${matching ? 'Good' : 'Bad'}`;
      const r = await page.invoke({ pcode: 1, pid: 0, csrinfo: { CN: cn, hash: 6 } });
      assert.equal(r.code, 0, JSON.stringify(r));
      const f = join(work.dir, `enc-req-${matching}.pem`);
      writeFileSync(f, Buffer.from(r.csr, 'base64'));
      const signPub = openssl(['req', '-in', f, '-noout', '-pubkey']).toString();
      const signCert = issue(ca, { pubPem: signPub, subject: `/OU=Sign/CN=${cn}` });
      assert.equal((await page.invoke({ pcode: 2, pid: 0, data: signCert.toString('base64'), format: 0 })).code, 0);

      const encKey = openssl(['genpkey', '-algorithm', 'SM2']).toString();
      const otherKey = openssl(['genpkey', '-algorithm', 'SM2']).toString();
      const encPub = openssl(['pkey', '-pubout'], { input: encKey }).toString();
      const encCert = issue(ca, { pubPem: encPub, subject: `/OU=Encrypt/CN=${cn}` });
      const { wrapped, encPriv } = wrapEncryptionKey(signPub, matching ? encKey : otherKey);
      const data = [encCert, wrapped, encPriv].map((b) => b.toString('base64')).join(' ');
      const imp = await page.invoke({ pcode: 2, pid: 0, data, format: 0 });
      if (matching) assert.deepEqual(imp, { code: 0, pcode: 2, pid: 0 });
      else assert.notEqual(imp.code, 0, JSON.stringify(imp));

      const container = containerOf(cn, 'signing');
      assert.ok(container, 'the new container holds the signing certificate');
      assert.equal(containerOf(cn, 'encryption'), matching ? container : undefined);
      // Only the signing certificate is listed.
      const listed = await page.invoke({ pcode: 5, pid: 0, query: { CN: cn } });
      assert.equal(listed.certnumber, 1);
      assert.equal(listed.certlist[0].pub, signCert.toString('base64'));
    });
  }
});

describe('SKF export and delete', () => {
  test('expCert and deleteCert are -1', async () => {
    const before = await listAll(page);
    assert.deepEqual(await page.invoke({ pcode: 3, pid: 0, certid: 0 }), { certid: 0, code: -1, data: '', pcode: 3, pid: 0 });
    assert.deepEqual(await page.invoke({ pcode: 4, pid: 0, certid: 0 }), { certid: 0, code: -1, pcode: 4, pid: 0 });
    assert.deepEqual((await listAll(page)).certlist, before.certlist, 'nothing was deleted');
  });
});

// Last in this file: the code page belongs to the whole process and stays.
describe('SKF with code page 963 (GB2312)', () => {
  const gb = (bytes) => new TextDecoder('gbk').decode(bytes);

  test('names are listed and messages signed in GB2312', async () => {
    const body = await rawInvoke(service, page.id, { pcode: 5, pid: 0, codepage: 963, query: {} });
    const name = rawJsonString(body, 'name');
    assert.deepEqual(name, Buffer.from('b2e2cad4d3c3bba7', 'hex'));
    assert.equal(gb(name), '测试用户');

    assert.equal((await page.invoke({ pcode: 6, pid: 0, type: 1, certid: 1 })).code, 0);
    const cert = Buffer.from((await page.invoke({ ccode: 0, pid: 0 })).certinfo.pub, 'base64');
    const r = await page.invoke({ ccode: 1, pid: 0, sign: b64('中文'), flags: 0x05 });
    assert.equal(r.code, 0);
    const p = parseSignedData(Buffer.from(r.signed, 'base64'));
    assert.deepEqual(p.content, Buffer.from('d6d0cec4', 'hex'));
    const pubPem = certPubPem(work.dir, cert);
    assert.ok(opensslSm2Verify(work.dir, pubPem, Buffer.from('d6d0cec4', 'hex'), rawSm2ToDer(p.signature)));
    assert.deepEqual(await page.invoke({ ccode: 2, pid: 0, signed: r.signed, flags: 0x05 }),
      { ccode: 2, code: 0, pid: 0, verify: 1 });
  });
});
