// The page client's one-function-per-command interface, end to end against
// the software SKF demo token: a page's usual flow without hand-built command
// objects, plus the argument checks and the wording of result codes.

import assert from 'node:assert/strict';
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import {
  describeCode, ProviderType, ResultCode, SignFlags, VaultlineClient, VaultlineError,
} from '../../clients/js/src/index.js';
import { startService, rootCa } from './service.mjs';
import { makeSkfDemo, runStatus, SM2_ID, SOFTSKF_LIB, tempDir } from './tokens.mjs';

let service;
let token;
let work;
let page;
let pid;

before(async () => {
  token = makeSkfDemo();
  work = tempDir('client-api');
  service = await startService({ env: token.env });
  page = new VaultlineClient({ port: service.port4, ca: rootCa() });
});

after(async () => {
  try {
    await service?.stop();
  } finally {
    token?.remove();
    work?.remove();
  }
});

describe('a page flow through the command functions', () => {
  let list;

  test('version, open, list, select and certificate details', async () => {
    assert.match((await page.version()).data, /^\d+\.\d+\.\d+\.\d+ /);

    const opened = await page.openProvider(SOFTSKF_LIB, ProviderType.SKF);
    assert.equal(opened.code, ResultCode.OK, describeCode(opened));
    pid = opened.pid;
    const again = await page.openProvider(SOFTSKF_LIB, ProviderType.SKF);
    assert.deepEqual(again, { code: ResultCode.PROVIDER_ALREADY_OPEN, pcode: 0, pid });

    list = await page.listCertificates(pid);
    assert.equal(list.code, ResultCode.OK);
    assert.ok(list.certnumber >= 2, JSON.stringify(list));
    assert.equal(list.certlist.length, list.certnumber);

    // SKF positions count from 1 in list order.
    for (const [i, cert] of list.certlist.entries()) {
      const sel = await page.selectCertificate(pid, 1, i + 1);
      assert.equal(sel.code, ResultCode.OK, describeCode(sel));
      const info = await page.getCertificateInfo(pid);
      assert.equal(info.code, ResultCode.CERT_INFO_OK, describeCode(info));
      assert.equal(info.certinfo.pub, cert.pub);
    }
  });

  test('a query narrows the listing to one common name', async () => {
    assert.equal((await page.selectCertificate(pid, 1, 1)).code, ResultCode.OK);
    const { cn } = (await page.getCertificateInfo(pid)).certinfo;
    assert.ok(cn);
    const one = await page.listCertificates(pid, { CN: cn });
    assert.equal(one.code, ResultCode.OK);
    assert.ok(one.certnumber >= 1 && one.certnumber < list.certnumber, JSON.stringify(one));
    // The listing is the provider's certificate list: list everything again.
    assert.equal((await page.listCertificates(pid)).certnumber, list.certnumber);
  });

  // position 1 holds the SM2 container, position 2 the RSA one.
  const signing = [
    { name: 'SM2 GM/T 0010 attached', pos: 1, flags: SignFlags.SM3 | SignFlags.ATTACHED, withMsg: false },
    { name: 'SM2 bare signature through the sign-data variant', pos: 1, flags: SignFlags.SM3 | SignFlags.RAW | SignFlags.SKF_SIGN_DATA, withMsg: true },
    { name: 'RSA PKCS#7 detached', pos: 2, flags: SignFlags.SHA256 | SignFlags.DETACHED, withMsg: true },
  ];
  for (const { name, pos, flags, withMsg } of signing) {
    test(`sign and verify: ${name} (flags 0x${flags.toString(16)})`, async () => {
      const message = '签名 client api message';
      assert.equal((await page.selectCertificate(pid, 1, pos)).code, ResultCode.OK);
      const signed = await page.sign(pid, message, flags);
      assert.equal(signed.code, ResultCode.OK, describeCode(signed));
      assert.notEqual(signed.signed, '');

      // Text and its UTF-8 bytes are the same message.
      const bytes = new TextEncoder().encode(message);
      const good = await page.verify(pid, signed.signed, flags, withMsg ? bytes : undefined);
      assert.deepEqual(good, { ccode: 2, code: ResultCode.OK, pid, verify: 1 });
      if (withMsg) {
        const bad = await page.verify(pid, signed.signed, flags, `${message}!`);
        assert.equal(bad.code, ResultCode.VERIFY_FAILED, JSON.stringify(bad));
        assert.equal(bad.verify, 0);
        assert.equal(describeCode(bad), 'the signature does not verify');
      }
    });
  }

  test('encrypt and decrypt report that the SKF token cannot', async () => {
    assert.equal((await page.selectCertificate(pid, 1, 1)).code, ResultCode.OK);
    const enc = await page.encrypt(pid, 'abc');
    assert.equal(enc.code, ResultCode.ENCRYPT_UNSUPPORTED);
    assert.match(describeCode(enc), /encryption is not possible/);
    const dec = await page.decrypt(pid, Buffer.from('abc').toString('base64'));
    assert.equal(dec.code, ResultCode.DECRYPT_UNSUPPORTED);
    assert.match(describeCode(dec), /decryption is not possible/);
  });

  test('generateRequest gives an SM2 request that OpenSSL verifies', async () => {
    const r = await page.generateRequest(pid, { CN: 'Client Api Enrol', O: 'Wire', hash: 6 });
    assert.equal(r.code, ResultCode.OK, describeCode(r));
    const pem = Buffer.from(r.csr, 'base64').toString('latin1');
    assert.match(pem, /^-----BEGIN CERTIFICATE REQUEST-----\n/);
    const f = join(work.dir, 'req.pem');
    writeFileSync(f, pem);
    const check = runStatus('openssl', ['req', '-verify', '-noout', '-subject', '-in', f, '-vfyopt', `distid:${SM2_ID}`]);
    assert.match(check.out, /verify OK/, check.out);
    assert.match(check.out, /CN ?= ?Client Api Enrol/, check.out);
  });

  test('setPin is answered -2, setCodePage with the key-count default result', async () => {
    assert.deepEqual(await page.setPin(pid, '1234'), { ccode: 5, code: ResultCode.BAD_COMMAND, pid });
    assert.deepEqual(await page.setCodePage(65001), { code: ResultCode.ERROR, pid: 7 });
  });
});

describe('arguments the service could not use are refused before sending', () => {
  // A client on a port where nothing listens: a request that were sent would
  // fail with CONNECTION_REFUSED, not INVALID_ARGUMENT.
  const offline = new VaultlineClient({ port: 1, timeout: 2000 });
  const cases = [
    ['openProvider without a type', (c) => c.openProvider('lib.so'), /type must be an integer/],
    ['openProvider with a numeric name', (c) => c.openProvider(3, 3), /name must be a string/],
    ['listCertificates with a string pid', (c) => c.listCertificates('0'), /pid must be an integer/],
    ['listCertificates with an array query', (c) => c.listCertificates(0, []), /query must be an object/],
    ['selectCertificate with a fractional certid', (c) => c.selectCertificate(0, 1, 1.5), /certid must be an integer/],
    ['sign with a number as data', (c) => c.sign(0, 42, 5), /data must be text or bytes/],
    ['sign without flags', (c) => c.sign(0, 'x'), /flags must be an integer/],
    ['verify with bytes as the signature', (c) => c.verify(0, new Uint8Array(2), 5), /signed must be a string/],
    ['generateRequest without csrinfo', (c) => c.generateRequest(0), /csrinfo must be an object/],
    ['exportCertificate with a numeric pin', (c) => c.exportCertificate(0, 1, 1234), /pin must be a string/],
    ['setCodePage 0', (c) => c.setCodePage(0), /codepage 0 changes nothing/],
  ];
  for (const [name, call, message] of cases) {
    test(name, async () => {
      await assert.rejects(call(offline), (err) => {
        assert.ok(err instanceof VaultlineError);
        assert.equal(err.code, 'INVALID_ARGUMENT');
        assert.match(err.message, message);
        return true;
      });
    });
  }
});

describe('describeCode', () => {
  const cases = [
    [0, {}, /^success$/],
    [1, { ccode: 0 }, /success \(getCertificateInfo\)/],
    [-1, {}, /not valid JSON.*or failed/],
    [-2, { ccode: 1 }, /missing or of the wrong type/],
    [2, { pcode: 0 }, /library could not be loaded/],
    [3, { ccode: 2 }, /does not verify/],
    [4, { ccode: 3 }, /encryption is not possible/],
    [5, { ccode: 4 }, /decryption is not possible/],
    [6, { pcode: 0 }, /already open/],
    // Small codes from other commands are token status values, not ours.
    [6, { pcode: 5 }, /token status 0x00000006 \(CKR_FUNCTION_FAILED\)/],
    [3, { ccode: 1 }, /token status 0x00000003/],
    [0x0a000024, { pcode: 5 }, /0x0A000024 \(SAR_PIN_INCORRECT/],
    [0x0a0000fe, {}, /0x0A0000FE \(SKF SAR_ code\)/],
    [0xa0, { ccode: 1 }, /CKR_PIN_INCORRECT/],
    [0x101, {}, /CKR_USER_NOT_LOGGED_IN/],
    [0x7777, {}, /^token status 0x00007777$/],
  ];
  for (const [code, ctx, words] of cases) {
    test(`${code} after ${JSON.stringify(ctx)}`, () => {
      assert.match(describeCode(code, ctx), words);
      assert.equal(describeCode({ code, ...ctx }), describeCode(code, ctx));
    });
  }

  test('a value that is not a code says so', () => {
    assert.match(describeCode('0'), /not a result code/);
    assert.match(describeCode(null), /not a result code/);
  });
});
