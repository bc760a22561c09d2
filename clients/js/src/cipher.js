// The encrypted form of the `str` parameter of a JSONP GET.
//
// AES comes from WebCrypto (crypto.subtle), present in Node 20 and in every
// browser secure context (a page served from 127.0.0.1 or over HTTPS is one),
// so the client ships no cipher code and has no dependencies. WebCrypto offers
// no ECB mode, which the service uses block by block; the two helpers below
// build it from AES-CBC:
//   - encrypting one block P under CBC with a zero IV gives E(P) as the first
//     16 bytes of output (the rest is the padding block, thrown away);
//   - decrypting C1..Cn under CBC with a zero IV gives D(Ci) XOR C(i-1); XOR
//     the previous cipher block back in and each block is D(Ci) alone. WebCrypto
//     insists on valid PKCS#7 padding at the end, so one extra block
//     E(Cn XOR 10 10 .. 10) is appended: it decrypts to a full padding block,
//     which WebCrypto strips.

import { VaultlineError } from './errors.js';

/** Key text shared with the service; its 32 ASCII bytes are the AES-256 key. */
export const K = 'E3A7190B2D5F4ac6B83C7D1E60F2A94B';

/** Mask shared with the service, as hexadecimal: key C is R XOR M. */
export const M = 'ad278c024977a8d05e081da262f0d96ca175a95f8182faaf1f860ebc38fa5455';

const BLOCK = 16;
const ZERO_IV = new Uint8Array(BLOCK);

function subtle() {
  const s = globalThis.crypto?.subtle;
  if (!s) {
    throw new VaultlineError('NO_WEBCRYPTO',
      'crypto.subtle is not available: the page must be a secure context (https or 127.0.0.1)');
  }
  return s;
}

/** @param {string} hex @returns {Uint8Array} */
export function hexToBytes(hex) {
  const out = new Uint8Array(hex.length / 2);
  for (let i = 0; i < out.length; i++) out[i] = parseInt(hex.substr(2 * i, 2), 16);
  return out;
}

/** Bytes of a text known to hold only ASCII characters. @param {string} text */
function asciiBytes(text) {
  const out = new Uint8Array(text.length);
  for (let i = 0; i < text.length; i++) out[i] = text.charCodeAt(i);
  return out;
}

/** Standard Base64 with "=" padding, no line breaks. @param {Uint8Array} bytes */
export function toBase64(bytes) {
  let binary = '';
  const CHUNK = 0x8000; // keeps String.fromCharCode's argument list short
  for (let i = 0; i < bytes.length; i += CHUNK) {
    binary += String.fromCharCode(...bytes.subarray(i, i + CHUNK));
  }
  return btoa(binary);
}

/** @param {Uint8Array} keyBytes @param {KeyUsage[]} usages */
function importAesKey(keyBytes, usages) {
  return subtle().importKey('raw', keyBytes, { name: 'AES-CBC' }, false, usages);
}

/** @param {CryptoKey} key @param {Uint8Array} data whole blocks */
async function ecbEncryptWithKey(key, data) {
  const out = new Uint8Array(data.length);
  const blocks = [];
  for (let off = 0; off < data.length; off += BLOCK) {
    blocks.push(subtle()
      .encrypt({ name: 'AES-CBC', iv: ZERO_IV }, key, data.subarray(off, off + BLOCK))
      .then((ct) => out.set(new Uint8Array(ct, 0, BLOCK), off)));
  }
  await Promise.all(blocks);
  return out;
}

function checkWholeBlocks(data) {
  if (data.length % BLOCK !== 0) {
    throw new VaultlineError('INVALID_ARGUMENT', `AES-ECB needs whole 16-byte blocks, got ${data.length} bytes`);
  }
}

/**
 * AES-ECB encryption without padding; the key length picks AES-128/192/256.
 * @param {Uint8Array} keyBytes
 * @param {Uint8Array} data length a multiple of 16
 * @returns {Promise<Uint8Array>}
 */
export async function aesEcbEncrypt(keyBytes, data) {
  checkWholeBlocks(data);
  return ecbEncryptWithKey(await importAesKey(keyBytes, ['encrypt']), data);
}

/**
 * AES-ECB decryption without padding removal.
 * @param {Uint8Array} keyBytes
 * @param {Uint8Array} data length a multiple of 16
 * @returns {Promise<Uint8Array>}
 */
export async function aesEcbDecrypt(keyBytes, data) {
  checkWholeBlocks(data);
  if (data.length === 0) return new Uint8Array(0);
  const key = await importAesKey(keyBytes, ['encrypt', 'decrypt']);
  const last = data.subarray(data.length - BLOCK);
  const padMask = last.map((b) => b ^ BLOCK);
  const input = new Uint8Array(data.length + BLOCK);
  input.set(data);
  input.set(await ecbEncryptWithKey(key, padMask), data.length);
  const out = new Uint8Array(await subtle().decrypt({ name: 'AES-CBC', iv: ZERO_IV }, key, input));
  // Undo the chaining from the back, while the cipher blocks are still intact.
  for (let i = BLOCK; i < out.length; i++) out[i] ^= data[i - BLOCK];
  return out;
}

/**
 * A fresh rankey: 32 hexadecimal characters from the platform's secure
 * random source (128 bits).
 */
export function randomRankey() {
  const bytes = globalThis.crypto.getRandomValues(new Uint8Array(16));
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
}

/**
 * Throws unless R can travel: printable ASCII (so its characters are its bytes,
 * as the service reads them), no "&" (it would split the query string even
 * percent-encoded, because the service decodes before it splits), at least 32
 * characters (key C takes the first 32) and whole AES blocks (the check block
 * encrypts all of R).
 * @param {string} rankey
 */
function checkRankey(rankey) {
  if (typeof rankey !== 'string' || !/^[\x20-\x25\x27-\x7e]*$/.test(rankey)) {
    throw new VaultlineError('INVALID_ARGUMENT', 'rankey must be printable ASCII text without "&"');
  }
  if (rankey.length < 32 || rankey.length % BLOCK !== 0) {
    throw new VaultlineError('INVALID_ARGUMENT',
      `rankey must be a multiple of 16 characters and at least 32, got ${rankey.length}`);
  }
}

/**
 * Encrypts a command text into the value of the `str` parameter of a GET:
 * the JSON text {"rankey":R,"datab":...,"datac":...}.
 *
 * - key B = AES-256-ECB-decrypt(R, K), first 32 bytes;
 * - datab = Base64(AES-256-ECB-encrypt(R, key = first 32 characters of Base64(key B)));
 * - key C = first 32 bytes of R XOR M;
 * - datac = Base64(AES-256-ECB-encrypt(UTF-8 command, zero-padded to whole blocks, key C)).
 *
 * @param {string} commandText the envelope JSON text
 * @param {{rankey?: string}} [options] rankey: R; a random one by default
 * @returns {Promise<string>}
 */
export async function encryptCommand(commandText, { rankey = randomRankey() } = {}) {
  if (typeof commandText !== 'string') {
    throw new VaultlineError('INVALID_ARGUMENT', 'the command must be JSON text (a string)');
  }
  checkRankey(rankey);
  const r = asciiBytes(rankey);

  const keyB = (await aesEcbDecrypt(asciiBytes(K), r)).subarray(0, 32);
  const keyBPrime = asciiBytes(toBase64(keyB).slice(0, 32));
  const datab = toBase64(await aesEcbEncrypt(keyBPrime, r));

  const mask = hexToBytes(M);
  const keyC = mask.map((m, i) => m ^ r[i]);
  const command = new TextEncoder().encode(commandText);
  const padded = new Uint8Array(Math.ceil(command.length / BLOCK) * BLOCK); // zero-filled
  padded.set(command);
  const datac = toBase64(await aesEcbEncrypt(keyC, padded));

  return JSON.stringify({ rankey, datab, datac });
}
