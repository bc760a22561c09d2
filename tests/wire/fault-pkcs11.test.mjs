// A PKCS#11 module whose calls fail, one at a time: the forwarding module
// reads its fault list from a file at every call, so one running service
// meets each fault and, with the file emptied, must then list, select and
// sign correctly again in the same session.

import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { VaultlineClient } from '../../clients/js/src/index.js';
import { rootCa, startService } from './service.mjs';
import { issue, makeRsaCa, makeSoftHsm, openssl, P11FORWARD, tempDir } from './tokens.mjs';
import { expectedVersionText } from './wire.mjs';

const OPEN = { pcode: 0, name: P11FORWARD, type: 4 };
const CKR_DEVICE_ERROR = 0x30;
const CKR_GENERAL_ERROR = 0x05;

let service;
let hsm;
let work;
let certDer;
let faultFile;

before(async () => {
  hsm = makeSoftHsm({ label: 'faults' });
  work = tempDir('p11-faults');
  const ca = makeRsaCa(work.dir);
  const keyFile = join(work.dir, 'key.pem');
  openssl(['genpkey', '-algorithm', 'RSA', '-pkeyopt', 'rsa_keygen_bits:2048', '-out', keyFile]);
  openssl(['pkcs8', '-topk8', '-nocrypt', '-in', keyFile, '-outform', 'DER', '-out', join(work.dir, 'key.der')]);
  openssl(['pkey', '-in', keyFile, '-pubout', '-outform', 'DER', '-out', join(work.dir, 'pub.der')]);
  const pubPem = openssl(['pkey', '-in', keyFile, '-pubout']).toString();
  certDer = issue(ca, { pubPem, subject: '/O=Wire/CN=Fault User' });
  writeFileSync(join(work.dir, 'cert.der'), certDer);
  hsm.p11(['--write-object', join(work.dir, 'key.der'), '--type', 'privkey', '--id', '01', '--label', 'k1']);
  hsm.p11(['--write-object', join(work.dir, 'pub.der'), '--type', 'pubkey', '--id', '01', '--label', 'k1']);
  hsm.p11(['--write-object', join(work.dir, 'cert.der'), '--type', 'cert', '--id', '01', '--label', 'c1']);
  faultFile = join(work.dir, 'faults');
  writeFileSync(faultFile, '');
  service = await startService({ env: { ...hsm.env, P11FORWARD_FAIL_FILE: faultFile } });
});

after(async () => {
  try {
    await service?.stop();
  } finally {
    hsm?.remove();
    work?.remove();
  }
});

const setFault = (spec) => writeFileSync(faultFile, spec);
const page = (id) => new VaultlineClient({ port: service.port4, ca: rootCa(), id });
const certPem = () => `-----BEGIN CERTIFICATE-----\n${certDer.toString('base64')}\n-----END CERTIFICATE-----\n`;

/** List, select and sign in `client`'s session; the codes of each step. */
async function flow(client, text) {
  const list = await client.invoke({ pcode: 5, pid: 0, query: {} });
  const select = await client.invoke({ pcode: 6, pid: 0, type: 1, certid: 0 });
  const sign = await client.invoke({ ccode: 1, pid: 0, sign: Buffer.from(text).toString('base64'), flags: 0x26 });
  return { list, select, sign };
}

/** Everything works: the one certificate listed, selected, and a signature that verifies. */
async function assertServes(client, text) {
  assert.deepEqual(await client.version(), { code: 0, data: expectedVersionText() });
  const { list, select, sign } = await flow(client, text);
  assert.equal(list.code, 0, JSON.stringify(list));
  assert.deepEqual(list.certlist?.map((c) => c.pub), [certDer.toString('base64')]);
  assert.equal(select.code, 0, JSON.stringify(select));
  assert.equal(sign.code, 0, JSON.stringify(sign));
  assert.ok(crypto.verify('sha256', Buffer.from(text), certPem(), Buffer.from(sign.signed, 'base64')),
    'the signature verifies over this request\'s text');
}

describe('a module that fails while it is first opened', () => {
  // Only the first opening in a process initialises the module and picks
  // its slot, so each of these gets a service of its own.
  for (const fn of ['C_Initialize', 'C_GetSlotList', 'C_GetTokenInfo']) {
    test(`${fn} failing: 2, and the library opens once it works`, async (t) => {
      const file = join(work.dir, `open-fault-${fn}`);
      writeFileSync(file, `${fn}=0x${CKR_DEVICE_ERROR.toString(16)}`);
      const own = await startService({ env: { ...hsm.env, P11FORWARD_FAIL_FILE: file } });
      t.after(() => own.stop());
      const client = new VaultlineClient({ port: own.port4, ca: rootCa(), id: `open-${fn}` });
      assert.deepEqual(await client.invoke(OPEN), { code: 2, pcode: 0, pid: -1 });
      writeFileSync(file, '');
      assert.deepEqual(await client.invoke(OPEN), { code: 0, pcode: 0, pid: 0 });
      await assertServes(client, `after a failed ${fn}`);
    });
  }
});

describe('each module call failing in turn, then working again', () => {
  // A listing that meets a failure lists nothing (-2, the code of an empty
  // PKCS#11 listing) and a signature that meets one is -2.
  const nothingListed = { list: { certnumber: 0, code: -2, pcode: 5, pid: 0 }, select: -2, sign: -2 };
  const notSigned = { list: 'ok', select: 0, sign: -2 };
  const cases = [
    { fn: 'C_GetSlotInfo', rv: CKR_DEVICE_ERROR, want: nothingListed },
    { fn: 'C_OpenSession', rv: CKR_DEVICE_ERROR, want: nothingListed },
    { fn: 'C_FindObjectsInit', rv: CKR_GENERAL_ERROR, want: nothingListed },
    { fn: 'C_FindObjects', rv: CKR_DEVICE_ERROR, want: nothingListed },
    // The certificate object is found but its value cannot be read.
    { fn: 'C_GetAttributeValue', rv: CKR_DEVICE_ERROR, want: nothingListed },
    // Ending a search: the listing goes on without it, the key search for
    // signing takes it as the search's failure.
    { fn: 'C_FindObjectsFinal', rv: CKR_GENERAL_ERROR, want: notSigned },
    { fn: 'C_SignInit', rv: CKR_DEVICE_ERROR, want: notSigned },
    { fn: 'C_Sign', rv: CKR_GENERAL_ERROR, want: notSigned },
  ];
  for (const { fn, rv, want } of cases) {
    test(`${fn} returning 0x${rv.toString(16)}`, async () => {
      const client = page(`fault-${fn}`);
      assert.equal((await client.invoke(OPEN)).code, 0);
      setFault(`${fn}=0x${rv.toString(16)}`);
      let got;
      try {
        got = await flow(client, `under ${fn}`);
      } finally {
        setFault('');
      }
      if (want.list === 'ok') {
        assert.equal(got.list.code, 0, JSON.stringify(got.list));
        assert.deepEqual(got.list.certlist.map((c) => c.pub), [certDer.toString('base64')]);
      } else {
        assert.deepEqual(got.list, want.list);
      }
      assert.equal(got.select.code, want.select, JSON.stringify(got.select));
      assert.equal(got.sign.code, want.sign, JSON.stringify(got.sign));
      if (want.sign !== 0) assert.equal(got.sign.signed, '');
      // Fault cleared: the same session lists, selects and signs correctly.
      await assertServes(client, `after ${fn}`);
    });
  }
});
