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
  tempDir,
} from './tokens.mjs';

const b64 = (s) => Buffer.from(s).toString('base64');
const OID_GM_SIGNED = '2a811ccf550602'; // 1.2.156.10197.6.1.4.2.2
const OID_GM_DATA = '2a811ccf550601';

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
  await service?.stop();
  token?.remove();
  work?.remove();
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
