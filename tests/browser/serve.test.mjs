// The demo page's static server: it serves the page, the page client and
// the generated config, and nothing outside those two directories, whatever
// the request line says.

import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import { dirname, resolve } from 'node:path';
import { after, before, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { startWebServer } from './webserver.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const repo = resolve(here, '../..');
let web;

before(async () => {
  // The test file itself stands in for a library: it only has to exist.
  web = await startWebServer({ library: fileURLToPath(import.meta.url) });
});
after(() => web?.stop());

/** Sends the target as written (node:http does not normalise it): {status, type, body}. */
function raw(method, target) {
  return new Promise((ok, fail) => {
    const req = http.request({ host: '127.0.0.1', port: web.port, method, path: target, agent: false }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => ok({
        status: res.statusCode, type: res.headers['content-type'] ?? '', body: Buffer.concat(chunks).toString('utf8'),
      }));
    });
    req.on('error', fail);
    req.end();
  });
}

test('the page, its files, the client and the config are served with their types', async () => {
  const cases = [
    ['/', 'clients/web/index.html', 'text/html'],
    ['/demo.js', 'clients/web/demo.js', 'text/javascript'],
    ['/style.css', 'clients/web/style.css', 'text/css'],
    ['/client/index.js', 'clients/js/src/index.js', 'text/javascript'],
    ['/client/client.js?v=1', 'clients/js/src/client.js', 'text/javascript'],
  ];
  for (const [target, file, type] of cases) {
    const r = await raw('GET', target);
    assert.equal(r.status, 200, target);
    assert.match(r.type, new RegExp(`^${type}`), target);
    assert.equal(r.body, readFileSync(resolve(repo, file), 'utf8'), target);
  }
  const config = await raw('GET', '/config.json');
  assert.equal(config.status, 200);
  assert.ok(config.body.includes(JSON.stringify(fileURLToPath(import.meta.url))), config.body);
});

test('nothing outside the two directories is reachable', async () => {
  const refused = [
    '/../js/src/index.js',
    '/client/../../../README.md',
    '/client/../../js/package.json',
    '/%2e%2e/js/src/index.js',
    '/client/%2E%2E/%2E%2E/%2E%2E/CMakeLists.txt',
    '/client/..%2F..%2F..%2Fsrc%2Fmain.cpp',
    '/..%5c..%5cREADME.md',
    '/./index.html',
    '/serve.mjs',
    '/index.html%00.js',
    '/%E0%A4%A.js',
    '//etc/passwd',
    '/client/',
    '/nothing-here.js',
  ];
  for (const target of refused) {
    const r = await raw('GET', target);
    assert.equal(r.status, 404, target);
    assert.equal(r.body, 'not found\n', target);
  }
});

test('only GET and HEAD', async () => {
  for (const method of ['POST', 'PUT', 'DELETE', 'OPTIONS']) {
    const r = await raw(method, '/');
    assert.equal(r.status, 405, method);
  }
  const head = await raw('HEAD', '/');
  assert.equal(head.status, 200);
  assert.equal(head.body, '');
});

test('it listens on loopback only', async () => {
  // Another loopback address reaches every socket bound to 0.0.0.0, but not this one.
  await assert.rejects(new Promise((ok, fail) => {
    const s = net.connect(web.port, '127.0.0.2', () => { s.destroy(); ok(); });
    s.on('error', fail);
  }), /ECONNREFUSED/);
});
