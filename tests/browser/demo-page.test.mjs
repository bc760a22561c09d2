// The demo page in Debian's Chromium, headless, against a real service and a
// fresh demo token: the browser trusts the service's root through its NSS
// database, as a user's browser would after tools/trust-root.sh, and the page
// does everything through the page client. Screenshots of each step go to
// $VAULTLINE_ARTIFACTS/browser, else test-artifacts/browser in the build
// directory ($VAULTLINE_BUILD_DIR, default build/).

import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { after, before, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { startService } from '../wire/service.mjs';
import {
  makeSkfDemo, opensslCmsVerify, parseSignedData, run, runStatus, SM2_ID, SOFTSKF_LIB, SOFTSKF_TOOL, tempDir,
} from '../wire/tokens.mjs';
import { startWebServer } from './webserver.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const repo = resolve(here, '../..');
const CHROMIUM = process.env.VAULTLINE_CHROMIUM ?? '/usr/bin/chromium';
const build = process.env.VAULTLINE_BUILD_DIR ?? join(repo, 'build');
const shots = join(process.env.VAULTLINE_ARTIFACTS || join(build, 'test-artifacts'), 'browser');

const OID_PKCS7_SIGNED = '2a864886f70d010702'; // 1.2.840.113549.1.7.2
const OID_GMT0010_SIGNED = '2a811ccf550601040202'; // 1.2.156.10197.6.1.4.2.2
const TEXT = 'Browser test: 签名 text from the demo page';

let token;
let home;
let service;
let web;
let context;
let page;
const pageErrors = [];
const serials = {}; // OU of each demo certificate -> serial number

before(async () => {
  // Missing playwright-core is a failure of this test, never a skip.
  let chromium;
  try {
    ({ chromium } = await import('playwright-core'));
  } catch (err) {
    throw new Error(`playwright-core is not installed in tests/browser (run tools/install-deps.sh): ${err.message}`);
  }
  token = makeSkfDemo();
  for (const m of run(SOFTSKF_TOOL, ['list'], { env: token.env }).toString().matchAll(/OU=([^,]+),.*serial=([0-9A-F]+)/g)) {
    serials[m[1]] = m[2];
  }
  home = tempDir('browser-home');
  mkdirSync(shots, { recursive: true });

  // Chromium on Linux reads the user's trust settings from $HOME/.pki/nssdb.
  run('sh', [join(repo, 'tools/trust-root.sh'), 'install', '--nssdb', join(home.dir, '.pki/nssdb')],
    { env: { HOME: home.dir } });

  service = await startService({ env: token.env });
  web = await startWebServer({ library: SOFTSKF_LIB });
  context = await chromium.launchPersistentContext(join(home.dir, 'profile'), {
    executablePath: CHROMIUM,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    env: { ...process.env, HOME: home.dir },
    viewport: { width: 1280, height: 900 },
  });
  page = context.pages()[0] ?? await context.newPage();
  page.on('pageerror', (err) => pageErrors.push(err.message));
});

after(async () => {
  try {
    await context?.close();
    await web?.stop();
    await service?.stop();
  } finally {
    token?.remove();
    home?.remove();
  }
});

const shot = (name) => page.screenshot({ path: join(shots, `${name}.png`), fullPage: true });

/** The status line of a step once it has settled: {text, ok}. */
async function status(id) {
  await page.waitForFunction((el) => el.textContent !== '' && el.textContent !== 'working…',
    await page.$(`#${id}`), { timeout: 30000 });
  return page.$eval(`#${id}`, (el) => ({ text: el.textContent, ok: el.classList.contains('ok') }));
}

/** Submits a form or clicks a button and waits for the step's status. */
async function act(selector, statusId) {
  await page.click(selector);
  return status(statusId);
}

test('the page shows the version and the listener that answered', async () => {
  await page.goto(web.url);
  const s = await status('service-status');
  assert.ok(s.ok, s.text);
  assert.match(await page.textContent('#version'), /^\d+\.\d+\.\d+\.\d+$/);
  assert.equal(await page.textContent('#listener'), `https://127.0.0.1:${service.port4}/`);
  // The run command's library is offered by default.
  assert.equal(await page.inputValue('#lib-path'), SOFTSKF_LIB);
  await shot('01-service');
});

test('a library that cannot be loaded is reported with its code in words', async () => {
  await page.fill('#lib-path', '/nonexistent/libnotatoken.so');
  const s = await act('#open', 'open-status');
  assert.deepEqual(s, { text: '2: the token library could not be loaded or used', ok: false });
  await shot('02-open-error');
});

test('opening the demo token lists its certificates with subject fields and serial numbers', async () => {
  await page.fill('#lib-path', SOFTSKF_LIB);
  const s = await act('#open', 'open-status');
  assert.ok(s.ok, s.text);
  const listed = await status('list-status');
  assert.deepEqual(listed, { text: '2 certificate(s)', ok: true });
  const rows = await page.$$eval('#cert-table tbody tr',
    (trs) => trs.map((tr) => [...tr.cells].slice(1).map((td) => td.textContent)));
  assert.deepEqual(rows, [
    ['测试用户', 'Vaultline Demo', 'SM2 Signing', 'CN', '', serials['SM2 Signing'], 'SM2'],
    ['Vaultline Demo User', 'Vaultline Demo', 'RSA Signing', 'CN', 'demo@vaultline.example', serials['RSA Signing'], 'RSA'],
  ]);
  assert.ok(serials['SM2 Signing'] && serials['RSA Signing'], JSON.stringify(serials));
  // The first one is selected after the listing.
  assert.deepEqual(await status('details-status'), { text: 'selected 测试用户', ok: true });
  await shot('03-certificates');
});

test('the SM2 certificate signs GM/T 0010 signed data that verifies', async () => {
  await page.check('#cert-table input[aria-label="select 测试用户"]');
  assert.deepEqual(await status('details-status'), { text: 'selected 测试用户', ok: true });
  assert.match(await page.textContent('#cert-details'), /Unit\s*SM2 Signing/);
  await page.fill('#sign-text', TEXT);
  await page.selectOption('#sign-kind', '0');
  assert.equal(await page.inputValue('#sign-hash'), '5', 'an SM2 certificate signs with SM3');
  assert.equal(await page.textContent('#flags'), '0x05');

  const signed = await act('#sign-button', 'sign-status');
  assert.ok(signed.ok, signed.text);
  const der = Buffer.from(await page.inputValue('#signed'), 'base64');
  const msg = parseSignedData(der);
  assert.equal(msg.contentTypeOid, OID_GMT0010_SIGNED);
  assert.equal(msg.content.toString('utf8'), TEXT);

  assert.deepEqual(await act('#verify', 'verify-status'), { text: 'the signature verifies', ok: true });
  await shot('04-sm2-gmt0010-signed');
});

test('the RSA certificate signs a detached PKCS#7 message that verifies, and not against other text', async () => {
  await page.check('#cert-table input[aria-label="select Vaultline Demo User"]');
  assert.deepEqual(await status('details-status'), { text: 'selected Vaultline Demo User', ok: true });
  await page.selectOption('#sign-kind', '16');
  assert.equal(await page.inputValue('#sign-hash'), '6', 'an RSA certificate signs with SHA-256');
  assert.equal(await page.textContent('#flags'), '0x16');

  const signed = await act('#sign-button', 'sign-status');
  assert.ok(signed.ok, signed.text);
  const der = Buffer.from(await page.inputValue('#signed'), 'base64');
  const msg = parseSignedData(der);
  assert.equal(msg.contentTypeOid, OID_PKCS7_SIGNED);
  assert.equal(msg.content, null, 'detached: no content inside');
  const cms = opensslCmsVerify(home.dir, der, Buffer.from(TEXT, 'utf8'));
  assert.ok(cms.ok, cms.out);

  assert.deepEqual(await act('#verify', 'verify-status'), { text: 'the signature verifies', ok: true });
  await shot('05-rsa-pkcs7-signed');

  await page.fill('#sign-text', `${TEXT}!`);
  assert.deepEqual(await act('#verify', 'verify-status'), { text: '3: the signature does not verify', ok: false });
  await shot('06-rsa-verify-other-text');
});

test('enrolment shows an SM2 certificate request as PEM', async () => {
  await page.fill('#enrol-cn', 'Browser Enrolment');
  await page.selectOption('#enrol-key', 'sm2');
  const s = await act('#enrol-button', 'enrol-status');
  assert.ok(s.ok, s.text);
  const pem = await page.textContent('#csr');
  assert.match(pem, /^-----BEGIN CERTIFICATE REQUEST-----\n[A-Za-z0-9+/=\n]+-----END CERTIFICATE REQUEST-----\n?$/);
  const check = runStatus('openssl', ['req', '-verify', '-noout', '-subject', '-vfyopt', `distid:${SM2_ID}`], { input: pem });
  assert.match(check.out, /verify OK/, check.out);
  assert.match(check.out, /CN ?= ?Browser Enrolment/, check.out);
  await shot('07-enrolment');

  // The new key pair has no certificate yet: the selected certificate still
  // signs, and listing still shows the two certificates without an error.
  assert.equal(await page.textContent('#flags'), '0x16');
  await page.fill('#sign-text', TEXT);
  const signed = await act('#sign-button', 'sign-status');
  assert.ok(signed.ok, signed.text);
  assert.deepEqual(await act('#verify', 'verify-status'), { text: 'the signature verifies', ok: true });
  assert.deepEqual(await act('#list', 'list-status'), { text: '2 certificate(s)', ok: true });
  await page.waitForSelector('#cert-table input:checked');  // the page selects the first again
  assert.deepEqual(await status('details-status'), { text: 'selected 测试用户', ok: true });
  await shot('08-signed-after-enrolment');
});

test('the page raised no script errors', () => {
  assert.deepEqual(pageErrors, []);
});
