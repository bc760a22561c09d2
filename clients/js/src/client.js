// A page's handle on the service: one session name, one address, one form.

import { buildEnvelope, InterfaceType } from './envelope.js';
import { VaultlineError } from './errors.js';
import { toBase64 } from './base64.js';
import {
  DEFAULT_HOST, DEFAULT_PORT, DEFAULT_TIMEOUT_MS, jsonpCommand, postCommand,
} from './transport.js';

/**
 * @typedef {object} ClientOptions
 * @property {string} [host] default 127.0.0.1. Keep to one address family: the
 *   IPv4 and the IPv6 listener are separate processes with separate sessions.
 * @property {number} [port] default 5426; the service moves to 5427..5430
 *   when 5426 is taken
 * @property {string} [id] session name; random by default
 * @property {'post' | 'jsonp'} [transport] default 'post'
 * @property {number} [timeout] milliseconds per request, default 15000
 * @property {import('./transport.js').TransportOptions['ca']} [ca] Node only:
 *   the service's root certificate
 */

function randomSessionId() {
  const bytes = globalThis.crypto.getRandomValues(new Uint8Array(12));
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
}

export class VaultlineClient {
  /** @param {ClientOptions} [options] */
  constructor({
    host = DEFAULT_HOST, port = DEFAULT_PORT, id = randomSessionId(),
    transport = 'post', timeout = DEFAULT_TIMEOUT_MS, ca,
  } = {}) {
    if (transport !== 'post' && transport !== 'jsonp') {
      throw new VaultlineError('INVALID_ARGUMENT', `transport must be 'post' or 'jsonp', got ${JSON.stringify(transport)}`);
    }
    this.host = host;
    this.port = port;
    this.id = id;
    this.transport = transport;
    this.timeout = timeout;
    this.ca = ca;
  }

  /**
   * Version query: {"code":0,"data":"1.0.0.2 ..."}.
   * @returns {Promise<import('./envelope.js').Result | null>}
   */
  version() {
    return this.send(buildEnvelope({ interfacetype: InterfaceType.VERSION, id: this.id }));
  }

  /**
   * Runs a command object ({"pcode":n,"pid":i,...} or {"ccode":n,...}) in this
   * session. Command failures come back in the result's "code"; only transport
   * and framing failures throw.
   * @param {object} data
   * @returns {Promise<import('./envelope.js').Result | null>}
   */
  invoke(data) {
    return this.send(buildEnvelope({ interfacetype: InterfaceType.RUN, id: this.id, data }));
  }

  // --- One function per command -------------------------------------------
  // Each resolves to the service's result object; check its `code`
  // (ResultCode, describeCode). Arguments of the wrong type throw a
  // VaultlineError('INVALID_ARGUMENT') before anything is sent.

  /**
   * Opens a token library for this session (pcode 0).
   * @param {string} name file name or path of the library
   * @param {number} type ProviderType.SKF (3) or ProviderType.PKCS11 (4)
   * @returns {Promise<{code: number, pcode: 0, pid: number}>} `pid` is the
   *   provider index to pass to the other functions (-1 when none); code 0
   *   new, 6 already open in this session (same pid), 2 library unusable
   */
  async openProvider(name, type) {
    return this.#run({ pcode: 0, name: str('name', name), type: int('type', type) });
  }

  /**
   * Lists the certificates on the provider's token (pcode 5).
   * @param {number} pid
   * @param {Record<string, string | number>} [query] filters: subject, sn,
   *   CN, C, E, O, OU, PUB (upper case wins over lower case), nkeys
   * @returns {Promise<{code: number, pcode: 5, pid: number, certnumber: number,
   *   certlist?: Array<{certid: number, name: string, pub: string}>}>}
   */
  async listCertificates(pid, query = {}) {
    return this.#run({ pcode: 5, pid: int('pid', pid), query: obj('query', query) });
  }

  /**
   * Selects the certificate the ccode commands work on (pcode 6).
   * @param {number} pid
   * @param {number} type selection kind; 1 selects by position
   * @param {number} [certid] SKF: position counted from 1; PKCS#11: listed certid
   * @returns {Promise<{code: number, pcode: 6, pid: number, certid?: number}>}
   */
  async selectCertificate(pid, type, certid) {
    const data = { pcode: 6, pid: int('pid', pid), type: int('type', type) };
    if (certid !== undefined) data.certid = int('certid', certid);
    return this.#run(data);
  }

  /**
   * Details of the selected certificate (ccode 0). Success is code 1.
   * @param {number} pid
   * @returns {Promise<{code: number, ccode: 0, pid: number, certinfo: {subject: string,
   *   sn: string, cn: string, c: string, e: string, o: string, ou: string, pub: string}}>}
   */
  async getCertificateInfo(pid) {
    return this.#run({ ccode: 0, pid: int('pid', pid) });
  }

  /**
   * Signs with the selected certificate (ccode 1).
   * @param {number} pid
   * @param {string | Uint8Array} data text (sent as UTF-8) or bytes; Base64 is done here
   * @param {number} flags SignFlags: hash | form | variant
   * @returns {Promise<{code: number, ccode: 1, pid: number, signed: string}>}
   *   `signed` is Base64
   */
  async sign(pid, data, flags) {
    return this.#run({ ccode: 1, pid: int('pid', pid), sign: toBase64(data, 'data'), flags: int('flags', flags) });
  }

  /**
   * Verifies a signature with the selected certificate (ccode 2).
   * @param {number} pid
   * @param {string} signed Base64 signature, as sign() returned it
   * @param {number} flags the flags it was made with
   * @param {string | Uint8Array} [msg] the message, for detached and raw signatures
   * @returns {Promise<{code: number, ccode: 2, pid: number, verify: 0 | 1}>}
   *   code 0 and verify 1 when it verifies, code 3 when not
   */
  async verify(pid, signed, flags, msg) {
    const data = { ccode: 2, pid: int('pid', pid), signed: str('signed', signed), flags: int('flags', flags) };
    if (msg !== undefined) data.msg = toBase64(msg, 'msg');
    return this.#run(data);
  }

  /**
   * Encrypts text to the selected certificate (ccode 3). Code 4: not possible on this token.
   * @param {number} pid
   * @param {string} plain text, sent as it is (not Base64)
   * @param {number} [type] 0
   * @returns {Promise<{code: number, ccode: 3, pid: number, cipher: string}>}
   */
  async encrypt(pid, plain, type = 0) {
    return this.#run({ ccode: 3, pid: int('pid', pid), plain: str('plain', plain), type: int('type', type) });
  }

  /**
   * Decrypts with the selected certificate's key (ccode 4). Code 5: not possible on this token.
   * @param {number} pid
   * @param {string} cipher Base64
   * @param {number} [type] 0
   * @returns {Promise<{code: number, ccode: 4, pid: number, plain: string}>}
   */
  async decrypt(pid, cipher, type = 0) {
    return this.#run({ ccode: 4, pid: int('pid', pid), cipher: str('cipher', cipher), type: int('type', type) });
  }

  /**
   * Makes a key pair on the token and a PKCS#10 request for it (pcode 1).
   * @param {number} pid
   * @param {{CN?: string, O?: string, OU?: string, C?: string, E?: string, hash?: number,
   *   keySize?: number, keyLabel?: string, bExportable?: number, keySerial?: number,
   *   notAfter?: number}} csrinfo names are case-sensitive; hash 6 SM3 (SM2 key),
   *   7 SHA-256 (RSA key); default 3
   * @returns {Promise<{code: number, pcode: 1, pid: number, csr: string}>} `csr`
   *   is Base64 of the PEM request
   */
  async generateRequest(pid, csrinfo) {
    return this.#run({ pcode: 1, pid: int('pid', pid), csrinfo: obj('csrinfo', csrinfo) });
  }

  /**
   * Imports an issued certificate onto the token (pcode 2).
   * @param {number} pid
   * @param {string} data the certificate, Base64 of DER, sent as it is
   * @param {number} [format] 0
   * @returns {Promise<{code: number, pcode: 2, pid: number}>}
   */
  async importCertificate(pid, data, format = 0) {
    return this.#run({ pcode: 2, pid: int('pid', pid), data: str('data', data), format: int('format', format) });
  }

  /**
   * Exports a listed certificate (pcode 3). `data` is Base64 of the
   * certificate's Base64 text: decode it twice for the DER.
   * @param {number} pid
   * @param {number} certid
   * @param {string} [pin]
   * @returns {Promise<{code: number, pcode: 3, pid: number, certid: number, data: string}>}
   */
  async exportCertificate(pid, certid, pin) {
    const data = { pcode: 3, pid: int('pid', pid), certid: int('certid', certid) };
    if (pin !== undefined) data.pin = str('pin', pin);
    return this.#run(data);
  }

  /**
   * Deletes a listed certificate from the token (pcode 4).
   * @param {number} pid
   * @param {number} certid
   * @returns {Promise<{code: number, pcode: 4, pid: number, certid: number}>}
   */
  async deleteCertificate(pid, certid) {
    return this.#run({ pcode: 4, pid: int('pid', pid), certid: int('certid', certid) });
  }

  /**
   * The PIN command (ccode 5). The service keeps no PIN from the page and
   * always answers code -2; the token library presents its own PIN.
   * @param {number} pid
   * @param {string} pin
   * @returns {Promise<{code: number, ccode: 5, pid: number}>}
   */
  async setPin(pid, pin) {
    return this.#run({ ccode: 5, pid: int('pid', pid), pin: str('pin', pin) });
  }

  /**
   * Sets the code page that text is translated to before it is signed and
   * that certificate names are listed in, for the whole service process from
   * then on. Sent as `codepage` on the key-count command (pcode 7), which
   * itself does nothing, so the result is always {"code":-1,"pid":7}.
   * @param {number} codepage non-zero code page number, e.g. 936
   * @returns {Promise<{code: number, pid: number}>}
   */
  async setCodePage(codepage) {
    const cp = int('codepage', codepage);
    if (cp === 0) throw new VaultlineError('INVALID_ARGUMENT', 'codepage 0 changes nothing; give a code page number');
    return this.#run({ pcode: 7, codepage: cp });
  }

  async #run(data) {
    const result = await this.invoke(data);
    if (result === null) {
      throw new VaultlineError('BAD_REPLY', `empty result for command ${JSON.stringify(data.pcode ?? data.ccode)}`);
    }
    return result;
  }

  /**
   * Sends a ready envelope text with this client's address and form.
   * @param {string} envelopeText
   */
  send(envelopeText) {
    const options = { host: this.host, port: this.port, timeout: this.timeout, ca: this.ca };
    return this.transport === 'jsonp'
      ? jsonpCommand(envelopeText, options)
      : postCommand(envelopeText, options);
  }
}

function fail(name, want, got) {
  throw new VaultlineError('INVALID_ARGUMENT', `${name} must be ${want}, got ${JSON.stringify(got) ?? String(got)}`);
}
function int(name, v) {
  if (!Number.isInteger(v)) fail(name, 'an integer', v);
  return v;
}
function str(name, v) {
  if (typeof v !== 'string') fail(name, 'a string', v);
  return v;
}
function obj(name, v) {
  if (typeof v !== 'object' || v === null || Array.isArray(v)) fail(name, 'an object', v);
  return v;
}
