// Base64 of text (as UTF-8) or bytes, the same in browsers and Node.

import { VaultlineError } from './errors.js';

/**
 * @param {string | Uint8Array | ArrayBuffer} value
 * @param {string} [name] argument name for the error message
 * @returns {string} standard Base64 with padding
 */
export function toBase64(value, name = 'value') {
  let bytes;
  if (typeof value === 'string') bytes = new TextEncoder().encode(value);
  else if (value instanceof Uint8Array) bytes = value;
  else if (value instanceof ArrayBuffer) bytes = new Uint8Array(value);
  else {
    throw new VaultlineError('INVALID_ARGUMENT', `${name} must be text or bytes, got ${typeof value}`);
  }
  let bin = '';
  for (let i = 0; i < bytes.length; i += 0x8000) {
    bin += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  }
  return btoa(bin);
}
