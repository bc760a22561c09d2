// Named values for the signing flags word, the provider types, and the
// result codes, with a helper that puts a result code into words.

import { ResultCode } from './envelope.js';

/**
 * Bits of the `flags` word of sign() and verify(). Combine one hash value,
 * one form value and at most one SKF variant bit with `|`:
 * `SignFlags.SM3 | SignFlags.DETACHED` (0x15).
 *
 * Which hash goes with which key:
 * - SM2 certificates: `SM3` (5). On an SKF token the hash value alone decides
 *   SM2 against RSA signing: 5 signs with SM2, every other value with RSA.
 * - RSA certificates: `SHA256` (6), `SHA1` (0, or 4), `MD5` (3).
 * - PKCS#11 tokens: the same values; the token's signing mechanism follows
 *   the hash (0 and 4 give SHA-1 with RSA).
 *
 * Forms: `ATTACHED` (0x00) gives PKCS#7 signed data carrying the content
 * (GM/T 0010 signed data for SM2), `DETACHED` (0x10) the same without the
 * content, `RAW` (0x20) the bare signature. Verify a detached or raw
 * signature with the message (verify's `msg`).
 */
export const SignFlags = Object.freeze({
  /** hash: SHA-1 (the default when no hash is given) */
  SHA1: 0x00,
  /** hash: MD2 (RSA; a raw MD2 signature is never verified) */
  MD2: 0x01,
  /** hash: MD4 (signed as SHA-1 on PKCS#11, as SHA-256 with RSA on SKF) */
  MD4: 0x02,
  /** hash: MD5 (RSA) */
  MD5: 0x03,
  /** hash: SHA-1 for RSA (as 0 on PKCS#11; on SKF sha256WithRSA) */
  SHA1_RSA: 0x04,
  /** hash: SM3 — SM2 signing */
  SM3: 0x05,
  /** hash: SHA-256 (RSA) */
  SHA256: 0x06,
  /** mask of the hash bits */
  HASH_MASK: 0x0f,
  /** form: PKCS#7 / GM/T 0010 signed data with the content inside */
  ATTACHED: 0x00,
  /** form: PKCS#7 / GM/T 0010 signed data without the content */
  DETACHED: 0x10,
  /** form: the bare signature (SM2: r||s, 64 bytes; RSA: PKCS#1 v1.5) */
  RAW: 0x20,
  /** mask of the form bits. Any other form value signs attached but verifies as raw. */
  FORM_MASK: 0xf0,
  /** SKF tokens, SM2 only: the token hashes and signs the data in one call */
  SKF_SIGN_DATA: 0x2000,
  /** SKF tokens: the variant that digests on the token first, then signs the hash (SM2 and RSA) */
  SKF_SIGN_HASH: 0x4000,
});

/** The `type` of openProvider(): what kind of token library `name` is. */
export const ProviderType = Object.freeze({
  /** an SKF device library */
  SKF: 3,
  /** a PKCS#11 module */
  PKCS11: 4,
});

/** Names of the SKF status values a token library may pass through. */
const SKF_STATUS = new Map([
  [0x0a000001, 'SAR_FAIL: the token library failed'],
  [0x0a000002, 'SAR_UNKNOWNERR: unknown token error'],
  [0x0a000003, 'SAR_NOTSUPPORTYETERR: not supported by this token'],
  [0x0a000005, 'SAR_INVALIDHANDLEERR: invalid handle'],
  [0x0a000006, 'SAR_INVALIDPARAMERR: invalid parameter'],
  [0x0a00001b, 'SAR_KEYNOTFOUNTERR: key not found'],
  [0x0a00001c, 'SAR_CERTNOTFOUNTERR: certificate not found'],
  [0x0a000010, 'SAR_INDATALENERR: input data length wrong'],
  [0x0a000020, 'SAR_BUFFER_TOO_SMALL: buffer too small'],
  [0x0a000023, 'SAR_DEVICE_REMOVED: the token was removed'],
  [0x0a000024, 'SAR_PIN_INCORRECT: wrong PIN'],
  [0x0a000025, 'SAR_PIN_LOCKED: the PIN is locked'],
  [0x0a00002d, 'SAR_USER_NOT_LOGGED_IN: the user is not logged in'],
  [0x0a00002e, 'SAR_APPLICATION_NOT_EXISTS: no such application on the token'],
  [0x0a000031, 'SAR_FILE_NOT_EXIST: no such file on the token'],
]);

/** Names of PKCS#11 return values a module may pass through. */
const CKR_STATUS = new Map([
  [0x05, 'CKR_GENERAL_ERROR'],
  [0x06, 'CKR_FUNCTION_FAILED'],
  [0x07, 'CKR_ARGUMENTS_BAD'],
  [0x30, 'CKR_DEVICE_ERROR'],
  [0x32, 'CKR_DEVICE_REMOVED'],
  [0x63, 'CKR_KEY_TYPE_INCONSISTENT'],
  [0x70, 'CKR_MECHANISM_INVALID'],
  [0xa0, 'CKR_PIN_INCORRECT: wrong PIN'],
  [0xa4, 'CKR_PIN_LOCKED: the PIN is locked'],
  [0xb3, 'CKR_SESSION_HANDLE_INVALID'],
  [0xe0, 'CKR_TOKEN_NOT_PRESENT: no token in the slot'],
  [0x101, 'CKR_USER_NOT_LOGGED_IN: the user is not logged in'],
  [0x150, 'CKR_BUFFER_TOO_SMALL'],
]);

const hex = (n) => `0x${(n >>> 0).toString(16).toUpperCase().padStart(8, '0')}`;

/**
 * Puts a result code into words. Some codes mean different things for
 * different commands (1 is success for getCertificateInfo, 4 and 5 are
 * "not possible" for encrypt and decrypt), so pass the result object, or the
 * code with the result as the second argument, for the exact wording.
 * @param {number | {code: number, pcode?: number, ccode?: number}} codeOrResult
 * @param {{pcode?: number, ccode?: number}} [result]
 * @returns {string}
 */
export function describeCode(codeOrResult, result) {
  const r = typeof codeOrResult === 'object' && codeOrResult !== null ? codeOrResult : (result ?? {});
  const code = typeof codeOrResult === 'object' && codeOrResult !== null ? codeOrResult.code : codeOrResult;
  if (!Number.isInteger(code)) return `not a result code: ${JSON.stringify(code)}`;
  const ccode = Number.isInteger(r.ccode) ? r.ccode : undefined;
  const pcode = ccode === undefined && Number.isInteger(r.pcode) ? r.pcode : undefined;
  switch (code) {
    case ResultCode.OK:
      return 'success';
    case ResultCode.ERROR:
      return 'error: the command was not valid JSON, had a member of the wrong type, or failed';
    case ResultCode.BAD_COMMAND:
      return 'rejected: a member is missing or of the wrong type, the provider index or the selected certificate does not exist, or the command is unknown';
    default: break;
  }
  if (code === 1 && (ccode === 0 || (ccode === undefined && pcode === undefined))) {
    return 'success (getCertificateInfo)';
  }
  if (code === 2 && (pcode === 0 || (ccode === undefined && pcode === undefined))) {
    return 'the token library could not be loaded or used';
  }
  if (code === 3 && (ccode === 2 || (ccode === undefined && pcode === undefined))) {
    return 'the signature does not verify';
  }
  if (code === 4 && (ccode === 3 || (ccode === undefined && pcode === undefined))) {
    return 'encryption is not possible with this token';
  }
  if (code === 5 && (ccode === 4 || (ccode === undefined && pcode === undefined))) {
    return 'decryption is not possible with this token';
  }
  if (code === 6 && (pcode === 0 || (ccode === undefined && pcode === undefined))) {
    return 'the token library is already open in this session';
  }
  const skf = SKF_STATUS.get(code >>> 0);
  if (skf) return `token status ${hex(code)} (${skf})`;
  if (code >= 0x0a000000 && code <= 0x0a0000ff) return `token status ${hex(code)} (SKF SAR_ code)`;
  const ckr = CKR_STATUS.get(code);
  if (ckr) return `token status ${hex(code)} (${ckr})`;
  return `token status ${hex(code)}`;
}
