// The software SKF token failing: each library call the page's commands use
// returns an error in turn (the token's SOFTSKF_FAIL hook, which the library
// reads from the environment, so each fault gets its own service), and the
// token's store directory vanishing in the middle of a session. Each failure
// must come back as the documented code, and the service must go on serving.

import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import { existsSync, rmSync } from 'node:fs';
import { after, before, describe, test } from 'node:test';
import { VaultlineClient } from '../../clients/js/src/index.js';
import { rootCa, startService } from './service.mjs';
import {
  makeSkfDemo, opensslSm2Verify, rawSm2ToDer, run, SOFTSKF_LIB, SOFTSKF_TOOL, tempDir,
} from './tokens.mjs';
import { expectedVersionText } from './wire.mjs';

const OPEN = { pcode: 0, name: SOFTSKF_LIB, type: 3 };
const VERSION = { code: 0, data: expectedVersionText() };
const SAR_DEVICE_REMOVED = 0x0A000023;
const b64 = (s) => Buffer.from(s).toString('base64');

let token;
let work;
before(() => {
  token = makeSkfDemo();
  work = tempDir('skf-faults');
});
after(() => {
  token?.remove();
  work?.remove();
});

const pem = (b64der) => `-----BEGIN CERTIFICATE-----\n${b64der}\n-----END CERTIFICATE-----\n`;

/** Open, list, then select and sign with each certificate: every reply. */
async function flow(client) {
  const r = { open: await client.invoke(OPEN) };
  r.list = await client.invoke({ pcode: 5, pid: 0, query: {} });
  r.selectSm2 = await client.invoke({ pcode: 6, pid: 0, type: 1, certid: 1 });
  r.signSm2 = await client.invoke({ ccode: 1, pid: 0, sign: b64('sm2 text'), flags: 0x25 });
  r.selectRsa = await client.invoke({ pcode: 6, pid: 0, type: 1, certid: 2 });
  r.signRsa = await client.invoke({ ccode: 1, pid: 0, sign: b64('rsa text'), flags: 0x26 });
  return r;
}

/** The signatures in a flow's replies verify over their texts, when made. */
function signaturesOk(r, listed, dir) {
  const ok = {};
  if (r.signSm2.code === 0) {
    const der = rawSm2ToDer(Buffer.from(r.signSm2.signed, 'base64'));
    const pub = crypto.createPublicKey(pem(listed[0].pub)).export({ type: 'spki', format: 'pem' });
    ok.sm2 = opensslSm2Verify(dir, pub, Buffer.from('sm2 text'), der);
  }
  if (r.signRsa.code === 0) {
    ok.rsa = crypto.verify('sha256', Buffer.from('rsa text'), pem(listed[1].pub), Buffer.from(r.signRsa.signed, 'base64'));
  }
  return ok;
}

describe('each library call failing in turn', () => {
  const S = SAR_DEVICE_REMOVED;
  // The codes each step answers while the call fails. Opening fails with 2
  // when the library cannot reach a container; a listing passes the token's
  // status on; a failed signature is -2; a failed close changes nothing.
  const unusable = { open: 2, list: -2, selectSm2: -2, signSm2: -2, selectRsa: -2, signRsa: -2 };
  const unlisted = { open: 0, list: S, selectSm2: -2, signSm2: -2, selectRsa: -2, signRsa: -2 };
  const allWork = { open: 0, list: 0, selectSm2: 0, signSm2: 0, selectRsa: 0, signRsa: 0 };
  const cases = [
    { fn: 'SKF_EnumDev', want: unusable },
    { fn: 'SKF_ConnectDev', want: unusable },
    { fn: 'SKF_EnumApplication', want: unusable },
    { fn: 'SKF_OpenApplication', want: unusable },
    { fn: 'SKF_EnumContainer', want: unusable },
    { fn: 'SKF_OpenContainer', want: unusable },
    { fn: 'SKF_GetContainerType', want: unlisted },
    { fn: 'SKF_ExportCertificate', want: unlisted },
    { fn: 'SKF_ECCSignData', want: { ...allWork, signSm2: -2 } },
    // The SM2 signature hashes the public key in with the data.
    { fn: 'SKF_ExportPublicKey', want: { ...allWork, signSm2: -2 } },
    { fn: 'SKF_RSASignData', want: { ...allWork, signRsa: -2 } },
    { fn: 'SKF_CloseContainer', want: allWork },
    { fn: 'SKF_CloseApplication', want: allWork },
    { fn: 'SKF_DisConnectDev', want: allWork },
  ];
  for (const { fn, want } of cases) {
    test(fn, async (t) => {
      const s = await startService({ env: { ...token.env, SOFTSKF_FAIL: `${fn}=${SAR_DEVICE_REMOVED}` } });
      t.after(() => s.stop());
      const client = new VaultlineClient({ port: s.port4, ca: rootCa(), id: `fault-${fn}` });
      const r = await flow(client);
      assert.deepEqual(Object.fromEntries(Object.entries(r).map(([k, v]) => [k, v.code])), want);
      if (want.list !== 0) assert.equal(r.list.certnumber, 0);
      else assert.equal(r.list.certnumber, 2);
      // Whatever was signed verifies; whatever failed carries no signature.
      const made = signaturesOk(r, r.list.certlist ?? [], work.dir);
      assert.deepEqual(made, {
        ...(want.signSm2 === 0 ? { sm2: true } : {}), ...(want.signRsa === 0 ? { rsa: true } : {}),
      });
      for (const k of ['signSm2', 'signRsa']) if (want[k] !== 0) assert.equal(r[k].signed, '');
      // The service goes on: both listeners answer.
      assert.deepEqual(await client.version(), VERSION);
      const v6 = new VaultlineClient({ host: '::1', port: s.port6, ca: rootCa(), id: `fault-${fn}` });
      assert.deepEqual(await v6.version(), VERSION);
    });
  }
});

describe('the token store removed in the middle of a session', () => {
  let service;
  let store;
  before(async () => {
    store = makeSkfDemo();
    service = await startService({ env: store.env });
  });
  after(async () => {
    try {
      await service?.stop();
    } finally {
      store?.remove();
    }
  });

  test('selected, then the store disappears: clear codes, then it serves the rebuilt token', async () => {
    const client = new VaultlineClient({ port: service.port4, ca: rootCa(), id: 'vanishing-store' });
    assert.equal((await client.invoke(OPEN)).code, 0);
    const before = await client.invoke({ pcode: 5, pid: 0, query: {} });
    assert.equal(before.certnumber, 2);
    assert.equal((await client.invoke({ pcode: 6, pid: 0, type: 1, certid: 2 })).code, 0);
    rmSync(store.dir, { recursive: true, force: true });
    assert.ok(!existsSync(store.dir));
    const gone = {
      sign: await client.invoke({ ccode: 1, pid: 0, sign: b64('gone'), flags: 0x26 }),
      list: await client.invoke({ pcode: 5, pid: 0, query: {} }),
      select: await client.invoke({ pcode: 6, pid: 0, type: 1, certid: 1 }),
      signSm2: await client.invoke({ ccode: 1, pid: 0, sign: b64('gone'), flags: 0x25 }),
    };
    assert.deepEqual(gone, {
      sign: { ccode: 1, code: -2, pid: 0, signed: '' },
      // SAR_FAIL: the library finds no device to open.
      list: { certnumber: 0, code: 0x0A000001, pcode: 5, pid: 0 },
      select: { certid: 1, code: -2, pcode: 6, pid: 0 },
      signSm2: { ccode: 1, code: -2, pid: 0, signed: '' },
    });
    assert.deepEqual(await client.version(), VERSION);
    run(SOFTSKF_TOOL, ['demo'], { env: store.env });
    const r = await flow(client);
    assert.deepEqual(Object.fromEntries(Object.entries(r).map(([k, v]) => [k, v.code])),
      { open: 6, list: 0, selectSm2: 0, signSm2: 0, selectRsa: 0, signRsa: 0 });
    // The listing shows the rebuilt token's certificates, and the signatures verify with them.
    assert.notDeepEqual(r.list.certlist.map((c) => c.pub), before.certlist.map((c) => c.pub));
    assert.deepEqual(signaturesOk(r, r.list.certlist, work.dir), { sm2: true, rsa: true });
  });
});
