// The two request forms. In Node they go through node:https (imported only
// when first needed, so this module loads in a browser); in a browser POST
// uses fetch and JSONP a <script> element.
//
// Node's fetch is not used: it writes header names in lower case, and the
// service only recognises "Content-Length" spelled exactly so. node:https
// keeps the case it is given; browsers send "Content-Length" themselves.

import { encryptCommand } from './cipher.js';
import { checkResult, jsonpPath, parseReply } from './envelope.js';
import { VaultlineError } from './errors.js';

export const DEFAULT_HOST = '127.0.0.1';
export const DEFAULT_PORT = 5426;
/**
 * A process serves one connection at a time and waits up to 10 s for a
 * stalled client, so a request may queue behind one for that long.
 */
export const DEFAULT_TIMEOUT_MS = 15000;

/**
 * @typedef {object} TransportOptions
 * @property {string} [host] default 127.0.0.1; an IPv6 address without brackets
 * @property {number} [port] default 5426
 * @property {number} [timeout] milliseconds for the whole request, default 15000
 * @property {string | Buffer | Array<string | Buffer>} [ca] Node only: the
 *   service's root certificate (PEM); browsers use their own trust store
 * @property {string} [callback] JSONP only: callback name, random by default
 * @property {string} [rankey] JSONP only: R for the encryption, random by default
 */

const inNode = typeof process !== 'undefined' && Boolean(process.versions?.node)
  && typeof document === 'undefined';

/** @param {string} host */
function hostForUrl(host) {
  return host.includes(':') ? `[${host}]` : host;
}

/** @param {string} host @param {number} port */
function serviceUrl(host, port) {
  return `https://${hostForUrl(host)}:${port}`;
}

function randomName() {
  const bytes = globalThis.crypto.getRandomValues(new Uint8Array(8));
  return `vaultline_cb_${Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('')}`;
}

/**
 * @param {number} status
 * @param {string} body
 * @param {string} where
 */
function checkStatus(status, body, where) {
  if (status === 400) {
    throw new VaultlineError('HTTP_400', `${where} rejected the request as malformed (HTTP 400)`, { status, body });
  }
  if (status !== 200) {
    throw new VaultlineError('HTTP_STATUS', `${where} answered HTTP ${status}`, { status, body });
  }
}

/**
 * Sends the envelope text as the body of a POST.
 * @param {string} envelopeText
 * @param {TransportOptions} [options]
 * @returns {Promise<import('./envelope.js').Result | null>}
 */
export async function postCommand(envelopeText, options = {}) {
  const { host = DEFAULT_HOST, port = DEFAULT_PORT, timeout = DEFAULT_TIMEOUT_MS, ca } = options;
  if (typeof envelopeText !== 'string' || envelopeText === '') {
    // The service answers an empty body with 400; say why here instead.
    throw new VaultlineError('INVALID_ARGUMENT', 'the envelope must be non-empty JSON text');
  }
  const where = serviceUrl(host, port);
  const reply = inNode
    ? await nodeExchange({ host, port, ca, timeout, method: 'POST', path: '/', body: envelopeText })
    : await browserPost(where, envelopeText, timeout);
  checkStatus(reply.status, reply.body, where);
  return parseReply(reply.body);
}

/**
 * Encrypts the envelope text and sends it as a JSONP GET.
 * @param {string} envelopeText
 * @param {TransportOptions} [options]
 * @returns {Promise<import('./envelope.js').Result | null>}
 */
export async function jsonpCommand(envelopeText, options = {}) {
  const {
    host = DEFAULT_HOST, port = DEFAULT_PORT, timeout = DEFAULT_TIMEOUT_MS, ca,
    callback = randomName(), rankey,
  } = options;
  const str = await encryptCommand(envelopeText, rankey === undefined ? {} : { rankey });
  const path = jsonpPath(callback, str);
  const where = serviceUrl(host, port);
  if (!inNode) return browserJsonp(where + path, callback, timeout, where);
  const reply = await nodeExchange({ host, port, ca, timeout, method: 'GET', path });
  checkStatus(reply.status, reply.body, where);
  return parseReply(reply.body, { callback });
}

/**
 * @param {{host: string, port: number, ca?: TransportOptions['ca'], timeout: number,
 *   method: string, path: string, body?: string}} request
 * @returns {Promise<{status: number, body: string}>}
 */
async function nodeExchange({ host, port, ca, timeout, method, path, body }) {
  const https = await import('node:https');
  const where = serviceUrl(host, port);
  /** @type {Record<string, string | number>} */
  const headers = {};
  if (body !== undefined) {
    headers['Content-Type'] = 'text/plain';
    headers['Content-Length'] = Buffer.byteLength(body);
  }
  return new Promise((resolve, reject) => {
    let settled = false;
    const settle = (fn, value) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      fn(value);
    };
    // One request per connection: no agent, so no keep-alive pool.
    const req = https.request({ host, port, method, path, headers, ca, agent: false }, (res) => {
      const chunks = [];
      res.on('data', (chunk) => chunks.push(chunk));
      res.on('end', () => settle(resolve, {
        status: res.statusCode ?? 0,
        body: Buffer.concat(chunks).toString('utf8'),
      }));
      res.on('error', (err) => settle(reject, nodeError(err, where)));
    });
    const timer = setTimeout(() => {
      settle(reject, new VaultlineError('TIMEOUT', `${where} did not answer within ${timeout} ms`));
      req.destroy();
    }, timeout);
    req.on('error', (err) => settle(reject, nodeError(err, where)));
    req.end(body);
  });
}

/**
 * @param {any} err
 * @param {string} where
 */
function nodeError(err, where) {
  const code = err?.code ?? '';
  if (code === 'ECONNREFUSED') {
    return new VaultlineError('CONNECTION_REFUSED', `nothing listens on ${where} (connection refused)`, { cause: err });
  }
  if (code === 'ECONNRESET' || code === 'EPIPE') {
    return new VaultlineError('CONNECTION_CLOSED', `${where} closed the connection without a reply`, { cause: err });
  }
  if (/CERT|SSL|TLS|SELF_SIGNED|UNABLE_TO_|HOSTNAME|ALTNAME/.test(code)) {
    return new VaultlineError('TLS', `TLS handshake with ${where} failed (${code}): ${err.message}`, { cause: err });
  }
  return new VaultlineError('NETWORK', `request to ${where} failed: ${err?.message ?? err}`, { cause: err });
}

/**
 * @param {string} where
 * @param {string} body
 * @param {number} timeout
 */
async function browserPost(where, body, timeout) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), timeout);
  try {
    // text/plain keeps this a simple request: the service answers no
    // preflight (an OPTIONS request gets 400).
    const res = await fetch(`${where}/`, {
      method: 'POST',
      headers: { 'Content-Type': 'text/plain' },
      body,
      signal: abort.signal,
      cache: 'no-store',
    });
    return { status: res.status, body: await res.text() };
  } catch (err) {
    if (abort.signal.aborted) {
      throw new VaultlineError('TIMEOUT', `${where} did not answer within ${timeout} ms`, { cause: err });
    }
    throw new VaultlineError('NETWORK',
      `could not reach ${where} (service not running, or its certificate not trusted by the browser)`, { cause: err });
  } finally {
    clearTimeout(timer);
  }
}

/**
 * @param {string} url
 * @param {string} callback
 * @param {number} timeout
 * @param {string} where
 * @returns {Promise<import('./envelope.js').Result | null>}
 */
function browserJsonp(url, callback, timeout, where) {
  return new Promise((resolve, reject) => {
    const script = document.createElement('script');
    /** @type {Record<string, unknown>} */
    const global = /** @type {any} */ (globalThis);
    let settled = false;
    const settle = (fn, value) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      script.remove();
      fn(value);
    };
    global[callback] = (/** @type {unknown} */ result) => {
      delete global[callback];
      try {
        // cb() is the empty result.
        settle(resolve, result === undefined ? null : checkResult(result));
      } catch (err) {
        settle(reject, err);
      }
    };
    // Runs after the script did, so a reply that called back is settled by now.
    script.onload = () => {
      delete global[callback];
      settle(reject, new VaultlineError('BAD_REPLY',
        `${where} answered without calling ${callback} (not a JSONP reply)`));
    };
    script.onerror = () => {
      delete global[callback];
      // Browsers report a 400 reply to a script load as an error too.
      settle(reject, new VaultlineError('NETWORK',
        `could not load ${where} (service not running, its certificate not trusted by the browser, or the request rejected)`));
    };
    const timer = setTimeout(() => {
      // A late reply may still run; let it call a no-op instead of failing.
      global[callback] = () => { delete global[callback]; };
      settle(reject, new VaultlineError('TIMEOUT', `${where} did not answer within ${timeout} ms`));
    }, timeout);
    script.src = url;
    document.head.appendChild(script);
  });
}
