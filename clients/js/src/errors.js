/**
 * Error raised by the client for anything that kept a request from producing
 * a result: the `code` member says which stage failed, the message says how.
 *
 * Codes:
 * - `TIMEOUT`            no complete reply within the request's time limit
 * - `CONNECTION_REFUSED` nothing listens on that host and port
 * - `CONNECTION_CLOSED`  the service closed the connection without a reply
 * - `TLS`                the handshake failed (most often: the service's root
 *                        certificate is not trusted)
 * - `NETWORK`            any other transport failure (in a browser every
 *                        failure to reach the service looks like this)
 * - `HTTP_400`           the service rejected the request as malformed
 * - `HTTP_STATUS`        any other status than 200
 * - `BAD_REPLY`          a 200 reply whose body is not a result
 * - `INVALID_ARGUMENT`   the caller's input cannot be sent as asked
 * - `NO_WEBCRYPTO`       crypto.subtle is missing (page not a secure context)
 */
export class VaultlineError extends Error {
  /**
   * @param {string} code
   * @param {string} message
   * @param {{cause?: unknown, status?: number, body?: string}} [details]
   */
  constructor(code, message, details = {}) {
    super(message, details.cause === undefined ? undefined : { cause: details.cause });
    this.name = 'VaultlineError';
    /** @type {string} */
    this.code = code;
    /** @type {number | undefined} HTTP status, when a status line arrived */
    this.status = details.status;
    /** @type {string | undefined} reply body, when one arrived */
    this.body = details.body;
  }
}
