// A page's handle on the service: one session name, one address, one form.

import { buildEnvelope, InterfaceType } from './envelope.js';
import { VaultlineError } from './errors.js';
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
