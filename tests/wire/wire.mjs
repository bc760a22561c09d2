// Byte-level access to the service for the wire tests: requests written
// exactly as given, replies read whole until the service closes.

import { execFileSync } from 'node:child_process';
import net from 'node:net';
import tls from 'node:tls';
import { setTimeout as sleep } from 'node:timers/promises';
import { rootCa } from './service.mjs';

export const POST_HEAD = 'HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAccess-Control-Allow-Origin: *\r\n\r\n';
export const JSONP_HEAD = 'HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAccess-Control-Allow-Origin: *\r\ncode: 1\r\n\r\n';
export const BAD_REQUEST = 'HTTP/1.1 400 Bad Request\r\n\r\nError';

/**
 * Opens a TLS connection trusting the service's root.
 * @param {{host?: string, port: number}} where
 * @returns {Promise<tls.TLSSocket>}
 */
export function tlsConnect({ host = '127.0.0.1', port }) {
  return new Promise((resolve, reject) => {
    const socket = tls.connect({ host, port, ca: rootCa() });
    socket.once('secureConnect', () => {
      socket.off('error', reject);
      resolve(socket);
    });
    socket.once('error', reject);
  });
}

/**
 * Everything the peer sends until it closes. Resolves with what arrived even
 * when the close is a reset; rejects on a reset before any byte, or on timeout.
 * @param {net.Socket} socket
 * @param {number} timeoutMs
 * @returns {Promise<Buffer>}
 */
export function readUntilClose(socket, timeoutMs) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    const timer = setTimeout(() => {
      socket.destroy();
      reject(new Error(`no close from the service within ${timeoutMs} ms; got ${JSON.stringify(Buffer.concat(chunks).toString('latin1').slice(0, 200))}`));
    }, timeoutMs);
    socket.on('data', (c) => chunks.push(c));
    socket.on('error', (err) => {
      if (chunks.length === 0) {
        clearTimeout(timer);
        reject(err);
      }
    });
    socket.on('close', () => {
      clearTimeout(timer);
      resolve(Buffer.concat(chunks));
    });
  });
}

/**
 * Sends a request over TLS and returns the whole reply as text. An array is
 * written piece by piece, each its own write and so its own TLS record, with
 * `pauseMs` between them.
 * @param {{host?: string, port: number}} where
 * @param {string | Buffer | Array<string | Buffer>} request
 * @param {{pauseMs?: number, timeoutMs?: number}} [options]
 */
export async function exchange(where, request, { pauseMs = 0, timeoutMs = 15000 } = {}) {
  const socket = await tlsConnect(where);
  const reply = readUntilClose(socket, timeoutMs);
  // The service may answer and close before all of an oversized request is in.
  socket.on('error', () => {});
  for (const piece of Array.isArray(request) ? request : [request]) {
    if (socket.destroyed) break;
    socket.write(piece);
    if (pauseMs) await sleep(pauseMs);
  }
  return (await reply).toString('utf8');
}

/** The request cut into pieces of `size` bytes. @param {string | Buffer} request */
export function inPieces(request, size) {
  const bytes = Buffer.from(request);
  const pieces = [];
  for (let off = 0; off < bytes.length; off += size) pieces.push(bytes.subarray(off, off + size));
  return pieces;
}

/** A POST request with the header name spelled as the service expects. */
export function postRequest(body, { contentLength = Buffer.byteLength(body) } = {}) {
  return `POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nContent-Length: ${contentLength}\r\n\r\n${body}`;
}

/** A GET request for the given target. */
export function getRequest(target) {
  return `GET ${target} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n`;
}

/**
 * The distribution code the service appends to its version, worked out from
 * the same source it reads: " 1" UOS, " 3" NeoKylin, " 2" Kylin, else empty.
 */
export function expectedVersionText() {
  let line = '';
  try {
    line = execFileSync('sh', ['-c', 'lsb_release -a 2>/dev/null | grep Distributor'], { encoding: 'utf8' }).toLowerCase();
  } catch { /* no lsb_release, or no match: no code */ }
  const code = line.includes('uos') ? ' 1' : line.includes('neokylin') ? ' 3' : line.includes('kylin') ? ' 2' : '';
  return `1.0.0.2 ${code}`;
}

/** A TCP port on 127.0.0.1 with nothing listening on it. */
export async function closedPort() {
  const server = net.createServer();
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  const { port } = server.address();
  await new Promise((r) => server.close(r));
  return port;
}
