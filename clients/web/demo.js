// The demo page. Everything it asks of the service goes through the page
// client; the rest of this file only reads the form and fills in the page.

import {
  VaultlineClient, ProviderType, ResultCode, SignFlags, describeCode,
} from './client/index.js';

const $ = (id) => document.getElementById(id);

let vault = null; // the client of the listener that answered
let pid = -1; // the opened library's provider index
let kind = ProviderType.SKF;
let certs = []; // the last listing: [{ certid, pub, info }]

// ---- Talking to the service ---------------------------------------------

/** The service takes the first free port of 5426..5430: ask each in turn. */
async function connect() {
  let lastError;
  for (let port = 5426; port <= 5430; port++) {
    const client = new VaultlineClient({ port, timeout: 5000 });
    try {
      const { data } = await client.version();
      vault = client;
      $('version').textContent = data.trim();
      $('listener').textContent = `https://127.0.0.1:${port}/`;
      return ok('service-status', `the service answered on port ${port}`);
    } catch (err) {
      lastError = err;
    }
  }
  vault = null;
  throw Object.assign(new Error(`no port of 5426-5430 answered; last: ${lastError.message}`), { code: lastError.code });
}

async function openLibrary() {
  kind = Number($('lib-type').value);
  const r = await service().openProvider($('lib-path').value.trim(), kind);
  if (r.code !== ResultCode.OK && r.code !== ResultCode.PROVIDER_ALREADY_OPEN) {
    pid = -1;
    return failed('open-status', r);
  }
  pid = r.pid;
  ok('open-status', `opened as provider ${pid}`);
  await listCertificates();
}

// SKF tokens select by position (from 1), PKCS#11 modules by the listed certid.
const idOf = (entry, i) => (kind === ProviderType.SKF ? i + 1 : entry.certid);

async function listCertificates() {
  const list = await service().listCertificates(pid);
  if (list.code !== ResultCode.OK) return failed('list-status', list);
  certs = [];
  for (const [i, entry] of (list.certlist ?? []).entries()) {
    // The listing names each certificate; its details need a selection.
    const certid = idOf(entry, i);
    const sel = await vault.selectCertificate(pid, 1, certid);
    const info = sel.code === ResultCode.OK ? await vault.getCertificateInfo(pid) : sel;
    certs.push({ certid, pub: entry.pub, info: info.code === ResultCode.CERT_INFO_OK ? info.certinfo : null });
  }
  showCertificates();
  ok('list-status', `${certs.length} certificate(s)`);
  if (certs.length > 0) await selectCertificate(0);
}

async function selectCertificate(index) {
  const cert = certs[index];
  // Any listing, by any page, renumbers the shared list: list everything
  // again right before selecting, and check the position still holds it.
  const list = await service().listCertificates(pid);
  if (list.code !== ResultCode.OK) return failed('details-status', list);
  const now = (list.certlist ?? []).find((e, i) => idOf(e, i) === cert.certid);
  if (now?.pub !== cert.pub) return fail('details-status', 'the token\'s certificates changed: list them again');
  const sel = await vault.selectCertificate(pid, 1, cert.certid);
  if (sel.code !== ResultCode.OK) return failed('details-status', sel);
  const info = await vault.getCertificateInfo(pid);
  if (info.code !== ResultCode.CERT_INFO_OK) return failed('details-status', info);
  showDetails(info.certinfo);
  document.querySelectorAll('#cert-table input')[index].checked = true;
  // SM2 keys sign with SM3; RSA keys here with SHA-256.
  $('sign-hash').value = keyType(info.certinfo.pub) === 'SM2' ? SignFlags.SM3 : SignFlags.SHA256;
  showFlags();
  ok('details-status', `selected ${info.certinfo.cn || `certificate ${cert.certid}`}`);
}

/** The flags word: hash | form | token call. */
const flags = () => Number($('sign-hash').value) | Number($('sign-kind').value) | Number($('sign-call').value);

async function sign() {
  $('signed').value = '';
  $('verify-status').textContent = '';
  const r = await service().sign(pid, $('sign-text').value, flags());
  if (r.code !== ResultCode.OK) return failed('sign-status', r);
  $('signed').value = r.signed;
  ok('sign-status', `signed with flags ${$('flags').textContent}: ${r.signed.length} Base64 characters`);
}

async function verify() {
  const f = flags();
  // Attached signed data carries the text; detached and bare signatures need it.
  const text = (f & SignFlags.FORM_MASK) === SignFlags.ATTACHED ? undefined : $('sign-text').value;
  const r = await service().verify(pid, $('signed').value.trim(), f, text);
  if (r.code !== ResultCode.OK) return failed('verify-status', r);
  ok('verify-status', 'the signature verifies');
}

async function enrol() {
  const sm2 = $('enrol-key').value === 'sm2';
  const r = await service().generateRequest(pid, {
    CN: $('enrol-cn').value, O: $('enrol-o').value, ...(sm2 ? { hash: 6 } : { hash: 7, keySize: 2048 }),
  });
  if (r.code !== ResultCode.OK) return failed('enrol-status', r);
  $('csr').textContent = atob(r.csr); // Base64 of the PEM text
  ok('enrol-status', 'key pair made; the request is below');
}

// ---- Showing results -----------------------------------------------------

function service() {
  if (!vault) throw new Error('the service did not answer: start it, then press "Look again"');
  return vault;
}

function show(id, text, good) {
  $(id).textContent = text;
  $(id).className = `status ${good ? 'ok' : 'error'}`;
}
const ok = (id, text) => show(id, text, true);
const fail = (id, text) => show(id, text, false);
/** A result that is not the command's success: its code and what it means. */
const failed = (id, result) => fail(id, `${result.code}: ${describeCode(result)}`);

// One step at a time: the service keeps one selection per page, so two
// steps of the same page must not interleave (a click during a listing).
let queue = Promise.resolve();

/** Queues a step; an error that comes instead of a result is shown too. */
function run(statusId, action) {
  show(statusId, 'working…', true);
  queue = queue.then(action).catch((err) => fail(statusId, `${err.code ?? 'ERROR'}: ${err.message}`));
}

function onAction(id, statusId, action) {
  $(id).addEventListener(id.endsWith('form') ? 'submit' : 'click', (event) => {
    event.preventDefault();
    run(statusId, action);
  });
}

function showCertificates() {
  const rows = certs.map(({ info, pub }, i) => {
    const tr = document.createElement('tr');
    const pick = Object.assign(document.createElement('input'), { type: 'radio', name: 'cert', value: i });
    pick.setAttribute('aria-label', `select ${info?.cn ?? i + 1}`);
    pick.addEventListener('change', () => run('details-status', () => selectCertificate(i)));
    tr.append(cell(pick));
    const fields = info ? [info.cn, info.o, info.ou, info.c, info.e, info.sn] : ['(details not readable)', '', '', '', '', ''];
    for (const text of [...fields, keyType(pub)]) tr.append(cell(text));
    return tr;
  });
  $('cert-table').tBodies[0].replaceChildren(...rows);
}

function cell(content) {
  const td = document.createElement('td');
  td.append(content ?? '');
  return td;
}

function showDetails(info) {
  const names = [['Common name', info.cn], ['Organisation', info.o], ['Unit', info.ou], ['Country', info.c],
    ['E-mail', info.e], ['Serial number', info.sn], ['Key', keyType(info.pub)]];
  $('cert-details').replaceChildren(...names.flatMap(([name, value]) => {
    const dt = document.createElement('dt');
    const dd = document.createElement('dd');
    dt.textContent = name;
    dd.textContent = value || '—';
    return [dt, dd];
  }));
  const lines = info.pub.match(/.{1,64}/g) ?? [];
  $('cert-pem').textContent = `-----BEGIN CERTIFICATE-----\n${lines.join('\n')}\n-----END CERTIFICATE-----\n`;
}

/** RSA when the certificate's key is rsaEncryption (1.2.840.113549.1.1.1), else SM2. */
function keyType(certBase64) {
  const der = atob(certBase64 ?? '');
  return der.includes('\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x01\x01') ? 'RSA' : 'SM2';
}

function showFlags() {
  $('flags').textContent = `0x${flags().toString(16).padStart(2, '0')}`;
}

// ---- Wiring --------------------------------------------------------------

onAction('connect', 'service-status', connect);
onAction('open-form', 'open-status', openLibrary);
onAction('list', 'list-status', listCertificates);
onAction('sign-form', 'sign-status', sign);
onAction('verify', 'verify-status', verify);
onAction('enrol-form', 'enrol-status', enrol);
$('sign-form').addEventListener('change', showFlags);

const config = await fetch('config.json').then((r) => r.json()).catch(() => ({}));
$('lib-path').value = new URLSearchParams(location.search).get('lib') ?? config.library ?? '';
$('lib-type').value = String(config.libraryType ?? ProviderType.SKF);
showFlags();
run('service-status', connect);
