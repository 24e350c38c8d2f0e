#!/usr/bin/env node
// A crash server for benchmarks that stores nothing: it answers the key
// download, the registration, the upload id, the generated URLs, the part
// PUTs and the completion as the local crash server does, but reads each part
// only to count its bytes and answers the completion at once. So a benchmark
// against it times the client alone, beside the real local store.
//
// Usage: node bench/discard_store.js [--port P]   (loopback only; port 0 picks one)
// Prints "listening on <base URL>" first. GET /_stats gives the counts so far
// as JSON: {"parts", "partBytes", "completions", "registrations"}.
'use strict';
const crypto = require('crypto');
const http = require('http');

const portArg = process.argv.indexOf('--port');
const port = portArg > 0 ? Number(process.argv[portArg + 1]) : 0;
const { publicKey } = crypto.generateKeyPairSync('rsa', { modulusLength: 2048 });
const pem = publicKey.export({ type: 'spki', format: 'pem' });
const stats = { parts: 0, partBytes: 0, completions: 0, registrations: 0 };
let base = '';

function json(res, value) {
  res.writeHead(200, { 'content-type': 'application/json' });
  res.end(JSON.stringify(value));
}

// Reads and drops a request's body; calls done with its length.
function drain(req, done) {
  let length = 0;
  req.on('data', (c) => { length += c.length; });
  req.on('end', () => done(length));
}

const server = http.createServer((req, res) => {
  const url = new URL(req.url, 'http://local');
  const s = url.pathname.split('/').slice(1);
  if (req.method === 'GET' && url.pathname === '/_stats') return json(res, stats);
  if (s[0] === 'crash') {
    if (req.method === 'GET' && s[1] === 'key' && s.length === 2) {
      res.writeHead(200, { 'content-type': 'application/x-pem-file', 'key-id': 'discard-key' });
      return res.end(pem);
    }
    if (req.method === 'POST' && s.length === 1) {
      return drain(req, () => {
        stats.registrations += 1;
        json(res, { crash_id: crypto.randomBytes(8).toString('hex') });
      });
    }
    if (req.method === 'POST' && s.length === 4) {
      return drain(req, () => json(res, { upload_id: crypto.randomBytes(8).toString('hex') }));
    }
    // The completion URL (5 segments) and a part's URL (6).
    if (req.method === 'GET' && s.length === 5) return json(res, { location: `${base}/store/${s[4]}` });
    if (req.method === 'GET' && s.length === 6) return json(res, { location: `${base}/store/${s[4]}/${s[5]}` });
  }
  if (s[0] === 'store' && req.method === 'PUT' && s.length === 3) {
    return drain(req, (length) => {
      stats.parts += 1;
      stats.partBytes += length;
      res.writeHead(200, { etag: `"${s[2]}-${length}"` });
      res.end();
    });
  }
  if (s[0] === 'store' && req.method === 'POST' && s.length === 2) {
    return drain(req, () => {
      stats.completions += 1;
      res.writeHead(200, { 'content-type': 'application/xml' });
      res.end('<CompleteMultipartUploadResult></CompleteMultipartUploadResult>');
    });
  }
  res.writeHead(404, { 'content-type': 'application/json' });
  return res.end(JSON.stringify({ error: `no route ${req.method} ${url.pathname}` }));
});
server.requestTimeout = 0;
server.listen(port, '127.0.0.1', () => {
  base = `http://127.0.0.1:${server.address().port}`;
  console.log(`listening on ${base}`);
});
