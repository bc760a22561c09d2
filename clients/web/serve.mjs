#!/usr/bin/env node
// Serves the demo page on loopback: the files of clients/web at /, the page
// client (clients/js/src) at /client/, and /config.json, which tells the
// page which token library to offer. Nothing else is reachable.
//
// Usage: node clients/web/serve.mjs [--port N] [--library PATH] [--library-type 3|4]
//   --port N        0 takes any free port. Default: the first free of 5480..5489.
//   --library PATH  library the page offers to open (default: the demo software
//                   token built in build/softskf, when it is there)
// Prints "Demo page: http://127.0.0.1:PORT/" once it listens.

import { createServer } from 'node:http';
import { existsSync } from 'node:fs';
import { readFile, stat } from 'node:fs/promises';
import { dirname, extname, join, resolve, sep } from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';

const here = dirname(fileURLToPath(import.meta.url));
const roots = [
  // Longest prefix first.
  { prefix: '/client/', dir: resolve(here, '../js/src') },
  { prefix: '/', dir: here },
];
// Only the page's own kinds of file; serve.mjs itself is not one of them.
const types = {
  '.html': 'text/html; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.svg': 'image/svg+xml',
  '.png': 'image/png',
};
const DEFAULT_PORTS = [5480, 5481, 5482, 5483, 5484, 5485, 5486, 5487, 5488, 5489];

const { values: opts } = parseArgs({
  options: {
    port: { type: 'string' },
    library: { type: 'string', default: resolve(here, '../../build/softskf/libsoftskf.so') },
    'library-type': { type: 'string', default: '3' },
  },
});
const config = JSON.stringify({
  library: existsSync(opts.library) ? resolve(opts.library) : '',
  libraryType: Number(opts['library-type']),
});

const headers = (type) => ({
  'Content-Type': type,
  'Cache-Control': 'no-store',
  'X-Content-Type-Options': 'nosniff',
  // The page talks to the service (any of its ports) and to nothing else.
  'Content-Security-Policy': "default-src 'self'; connect-src 'self' https://127.0.0.1:*; "
    + "script-src 'self' https://127.0.0.1:*; img-src 'self' data:; frame-ancestors 'none'",
});

/** The file a URL path names, or null when it names none we serve. */
function fileFor(urlPath) {
  let path;
  try {
    path = decodeURIComponent(urlPath);
  } catch {
    return null;
  }
  if (path.includes('\0') || path.includes('\\') || path.split('/').some((s) => s === '..' || s === '.')) {
    return null;
  }
  if (path.endsWith('/')) path += 'index.html';
  if (!(extname(path) in types)) return null;
  const root = roots.find((r) => path.startsWith(r.prefix));
  const file = resolve(root.dir, `.${path.slice(root.prefix.length - 1)}`);
  return file.startsWith(root.dir + sep) ? file : null;
}

function reply(res, status, type, body, head) {
  res.writeHead(status, { ...headers(type), 'Content-Length': Buffer.byteLength(body) });
  res.end(head ? undefined : body);
}

const server = createServer(async (req, res) => {
  const head = req.method === 'HEAD';
  if (req.method !== 'GET' && !head) {
    res.setHeader('Allow', 'GET, HEAD');
    reply(res, 405, 'text/plain', 'method not allowed\n');
    return;
  }
  const urlPath = (req.url ?? '/').split('?')[0];
  if (urlPath === '/config.json') {
    reply(res, 200, 'application/json', config, head);
    return;
  }
  const file = fileFor(urlPath);
  if (!file) {
    reply(res, 404, 'text/plain', 'not found\n', head);
    return;
  }
  try {
    if (!(await stat(file)).isFile()) throw new Error('not a file');
    reply(res, 200, types[extname(file)], await readFile(file), head);
  } catch {
    reply(res, 404, 'text/plain', 'not found\n', head);
  }
});

function listen(port) {
  return new Promise((ok, fail) => {
    server.once('error', fail);
    server.listen(port, '127.0.0.1', () => {
      server.off('error', fail);
      ok(server.address().port);
    });
  });
}

async function start() {
  if (opts.port !== undefined) {
    const port = Number(opts.port);
    if (!Number.isInteger(port) || port < 0 || port > 65535) throw new Error(`bad --port ${opts.port}`);
    return listen(port);
  }
  for (const port of DEFAULT_PORTS) {
    try {
      return await listen(port);
    } catch (err) {
      if (err.code !== 'EADDRINUSE') throw err;
    }
  }
  throw new Error(`ports ${DEFAULT_PORTS[0]}-${DEFAULT_PORTS.at(-1)} are all taken; pass --port`);
}

try {
  const port = await start();
  console.log(`Demo page: http://127.0.0.1:${port}/`);
} catch (err) {
  console.error(`serve.mjs: ${err.message}`);
  process.exit(1);
}
// Browsers keep connections open, so do not wait for them to close.
for (const sig of ['SIGINT', 'SIGTERM']) process.on(sig, () => process.exit(0));
