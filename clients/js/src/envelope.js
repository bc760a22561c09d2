// Request envelopes, reply bodies and the JSONP request target.

import { VaultlineError } from './errors.js';

/** interfacetype values the service knows. */
export const InterfaceType = Object.freeze({ RUN: 0, VERSION: 1 });

/**
 * Result codes. Handlers for tokens pass further codes through unchanged
 * (token library and PKCS#11 status values), so treat any other non-zero
 * code as a failure too.
 */
export const ResultCode = Object.freeze({
  /** success */
  OK: 0,
  /** getCertificateInfo: success (that command's own success value) */
  CERT_INFO_OK: 1,
  /** command text not JSON, member of the wrong type, or command failed */
  ERROR: -1,
  /** missing or mistyped members, unknown provider index, no selected certificate, unknown command */
  BAD_COMMAND: -2,
  /** openProvider: the token library could not be loaded or used */
  LIBRARY_UNUSABLE: 2,
  /** verify: the signature does not verify */
  VERIFY_FAILED: 3,
  /** encrypt: not possible with this token or certificate */
  ENCRYPT_UNSUPPORTED: 4,
  /** decrypt: not possible with this token or certificate */
  DECRYPT_UNSUPPORTED: 5,
  /** openProvider: the library was already open in this session (the same pid is returned) */
  PROVIDER_ALREADY_OPEN: 6,
});

/**
 * @typedef {object} Envelope
 * @property {number} [interfacetype] 0 run `data`, 1 version query; missing counts as 0
 * @property {string} [id] session name; the service keeps state per name
 * @property {object} [data] command object, e.g. {"pcode":7,"pid":0}
 */

/**
 * The JSON text of a request envelope.
 * @param {Envelope} envelope
 * @returns {string}
 */
export function buildEnvelope({ interfacetype = InterfaceType.RUN, id = '', data } = {}) {
  if (!Number.isInteger(interfacetype)) {
    throw new VaultlineError('INVALID_ARGUMENT', 'interfacetype must be an integer');
  }
  if (typeof id !== 'string') {
    throw new VaultlineError('INVALID_ARGUMENT', 'id must be a string');
  }
  if (data !== undefined && (data === null || typeof data !== 'object' || Array.isArray(data))) {
    throw new VaultlineError('INVALID_ARGUMENT', 'data must be a command object');
  }
  return JSON.stringify(data === undefined ? { interfacetype, id } : { interfacetype, id, data });
}

const CALLBACK_NAME = /^[A-Za-z_$][\w$]*$/;

/**
 * Request target of a JSONP GET. encodeURIComponent writes upper-case hex
 * and encodes "+", "/" and "=", which the service needs: it decodes only
 * upper-case escapes and turns a bare "+" into a space.
 * @param {string} callback a JavaScript identifier
 * @param {string} str the encrypted command (see encryptCommand)
 */
export function jsonpPath(callback, str) {
  if (!CALLBACK_NAME.test(callback)) {
    throw new VaultlineError('INVALID_ARGUMENT', `callback must be a plain identifier, got ${JSON.stringify(callback)}`);
  }
  return `/?jsoncallback=${encodeURIComponent(callback)}&str=${encodeURIComponent(str)}`;
}

/**
 * @typedef {{code: number, [member: string]: unknown}} Result
 */

/**
 * The result carried by a 200 reply body, or null for the empty result the
 * service gives to an envelope with an unknown interfacetype.
 * @param {string} body reply body
 * @param {{callback?: string}} [options] callback: the body is a JSONP call of this name
 * @returns {Result | null}
 */
export function parseReply(body, { callback } = {}) {
  let text = body;
  if (callback !== undefined) {
    if (!body.startsWith(`${callback}(`) || !body.endsWith(')')) {
      throw new VaultlineError('BAD_REPLY',
        `expected a call of ${callback}(...), got ${JSON.stringify(body.slice(0, 80))}`, { body });
    }
    text = body.slice(callback.length + 1, -1);
  }
  if (text === '') return null;
  let result;
  try {
    result = JSON.parse(text);
  } catch (err) {
    throw new VaultlineError('BAD_REPLY', `reply is not JSON: ${JSON.stringify(text.slice(0, 80))}`, { cause: err, body });
  }
  return checkResult(result, body);
}

/**
 * @param {unknown} result
 * @param {string} [body]
 * @returns {Result}
 */
export function checkResult(result, body) {
  if (result === null || typeof result !== 'object' || Array.isArray(result)
      || typeof (/** @type {any} */ (result).code) !== 'number') {
    throw new VaultlineError('BAD_REPLY', 'reply is not a result object with a numeric "code"', { body });
  }
  return /** @type {Result} */ (result);
}
