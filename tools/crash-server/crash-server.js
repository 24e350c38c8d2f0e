#!/usr/bin/env node
// The local crash server, for development, demos and tests.
//
//   node crash-server.js --port P --data DIR [--host 127.0.0.1] [--https]
//                        [--s3-endpoint URL --bucket NAME] [--symbols DIR]
//
// Port 0 takes any free port. The first line on standard output is
// "listening on http(s)://<host>:<port>" once requests are served; then one
// line per request. SIGTERM or SIGINT stops it (exit status 0); bad arguments
// exit 2. DIR keeps the RSA key pair, the HTTPS certificate (tls/cert.pem),
// the package records (packages/<crash_id>.json), the local store (s3/), the
// decrypted zips (decrypted/) and lldb's copy of a minidump (analysis/).
// Without --s3-endpoint the store is an s3rver on another loopback port,
// reached through this server's /store/... front; with it, the presigned URLs
// point at that store (AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_REGION).
//
// Each complete crash package is decrypted after its completion was answered
// and its minidump given to lldb (one at a time, with a time-out); the
// backtraces go into the package record. With --symbols, lldb looks for
// binaries and debug files in that folder, so frames get function names;
// without it frames it cannot place show as module + offset. A line
// "analysed <crash_id>" on standard output says one is stored.
//
// Protocol: GET /crash/key; POST /crash; POST /crash/<id>/<type>/<file>;
// GET /crash/<id>/<type>/<file>/<upload_id>[/<part>]. Pages (HTML, no
// scripts): GET / (every package, newest first), GET /crashes/<id> (one
// package, by the server's or the client's crash id). JSON: GET
// /api/packages; the decrypted zip: GET /api/packages/<id>/zip.
//
// Test routes (loopback clients only):
//   GET  /_test/requests  every request since start or reset, in order:
//        {kind, method, path, query, headers (lower-case names, values as
//        received), bodyLength, body (text under 64 KiB, "" for parts),
//        status (0 when nothing was answered)}; kind is one of key, register,
//        upload-id, part-url, complete-url, part, complete, page, other.
//   POST /_test/faults    {"kind", "nth", "action", "status", "body", "ms",
//        "times", "headers"}: the nth request of that kind from now on
//        (1-based) and the times-1 after it get the fault. Actions: "status"
//        answers the status with the body and the headers (an object of
//        strings, e.g. a key-id or a location), "drop" closes the connection unanswered, "hang" never
//        answers, "delay" waits ms and then serves, "hold" waits for the
//        next release and then serves. Faults add up.
//   POST /_test/release   lets every held request go on: {"released": n}.
//   POST /_test/reset     clears the faults and the request list, and
//        releases the held requests.
'use strict';
const http = require('http');
const https = require('https');
const fs = require('fs');
const path = require('path');

// Node 20 is what the project runs; the SDK's notice about later versions
// would only clutter the log.
process.env.AWS_SDK_JS_NODE_VERSION_SUPPORT_WARNING_DISABLED ??= 'true';

const kUsage = 'usage: crash-server.js --port P --data DIR [--host 127.0.0.1] [--https] [--s3-endpoint URL --bucket NAME] [--symbols DIR]';

function usageError(message) {
  console.error(`crash-server: ${message}\n${kUsage}`);
  process.exit(2);
}

function parseArgs(argv) {
  const options = { host: '127.0.0.1', https: false, port: null, data: null, s3Endpoint: null, bucket: null, symbols: null };
  const valued = { '--port': 'port', '--data': 'data', '--host': 'host', '--s3-endpoint': 's3Endpoint', '--bucket': 'bucket', '--symbols': 'symbols' };
  for (let i = 0; i < argv.length; ++i) {
    const arg = argv[i];
    if (arg === '--https') {
      options.https = true;
    } else if (arg in valued) {
      if (i + 1 >= argv.length) usageError(`${arg} needs a value`);
      options[valued[arg]] = argv[++i];
    } else {
      usageError(`unknown argument "${arg}"`);
    }
  }
  if (options.port === null) usageError('--port is required');
  if (!/^\d+$/.test(options.port) || Number(options.port) > 65535) usageError(`--port "${options.port}" is not a port number`);
  options.port = Number(options.port);
  if (!options.data) usageError('--data is required');
  if ((options.s3Endpoint === null) !== (options.bucket === null)) usageError('--s3-endpoint and --bucket go together');
  if (options.s3Endpoint !== null && !/^https?:\/\/[^/]+/.test(options.s3Endpoint)) {
    usageError(`--s3-endpoint "${options.s3Endpoint}" is not an http(s) URL`);
  }
  if (options.bucket !== null && !/^[a-z0-9][a-z0-9.-]{1,61}[a-z0-9]$/.test(options.bucket)) {
    usageError(`--bucket "${options.bucket}" is not a bucket name`);
  }
  if (options.symbols !== null) {
    let stat = null;
    try {
      stat = fs.statSync(options.symbols);
    } catch (e) {
      usageError(`--symbols "${options.symbols}": ${e.code === 'ENOENT' ? 'no such folder' : e.message}`);
    }
    if (!stat.isDirectory()) usageError(`--symbols "${options.symbols}" is not a folder`);
    options.symbols = path.resolve(options.symbols);
  }
  return options;
}

function isLoopback(address) {
  return address === '::1' || /^(::ffff:)?127\./.test(address || '');
}

async function main() {
  const options = parseArgs(process.argv.slice(2));
  try {
    require.resolve('s3rver');
    require.resolve('@aws-sdk/client-s3');
  } catch (e) {
    console.error(`crash-server: its packages are missing (${e.message.split('\n')[0]}); run scripts/setup.sh or npm ci in ${__dirname}`);
    process.exit(1);
  }
  const { loadOrCreateKeyPair, loadOrCreateCertificate } = require('./lib/keys');
  const { startLocalStore, externalStore } = require('./lib/store');
  const { PackageRecords } = require('./lib/packages');
  const { Recorder } = require('./lib/recorder');
  const { Routes, classify, sendJson } = require('./lib/routes');

  const dataDir = path.resolve(options.data);
  fs.mkdirSync(dataDir, { recursive: true });
  const keys = loadOrCreateKeyPair(dataDir);
  const records = new PackageRecords(dataDir);
  const recorder = new Recorder();
  const store = options.s3Endpoint ? externalStore(options.s3Endpoint, options.bucket, dataDir) : await startLocalStore(dataDir);
  const routes = new Routes({ dataDir, keys, store, records, recorder, symbolsDir: options.symbols });

  const testRoutes = async (req, res, url) => {
    if (!isLoopback(req.socket.remoteAddress)) return sendJson(res, 403, { error: 'test routes serve loopback clients only' });
    if (req.method === 'GET' && url.pathname === '/_test/requests') return sendJson(res, 200, recorder.requests);
    if (req.method === 'POST' && url.pathname === '/_test/reset') {
      recorder.reset();
      return sendJson(res, 200, {});
    }
    if (req.method === 'POST' && url.pathname === '/_test/release') return sendJson(res, 200, { released: recorder.release() });
    if (req.method === 'POST' && url.pathname === '/_test/faults') {
      const chunks = [];
      for await (const c of req) chunks.push(c);
      let spec;
      try {
        spec = JSON.parse(Buffer.concat(chunks).toString('utf8'));
      } catch (e) {
        return sendJson(res, 400, { error: `fault is not JSON: ${e.message}` });
      }
      const error = recorder.addFault(spec);
      return sendJson(res, error ? 400 : 200, error ? { error } : {});
    }
    return sendJson(res, 404, { error: `no test route ${req.method} ${url.pathname}` });
  };

  const handle = async (req, res) => {
    const url = new URL(req.url, 'http://local');
    if (url.pathname.startsWith('/_test/')) return testRoutes(req, res, url);
    const kind = classify(req.method, url);
    const entry = recorder.begin(req, url, kind);
    res.on('finish', () => {
      entry.status = res.statusCode;
      console.log(`${req.method} ${url.pathname} ${kind} -> ${res.statusCode}`);
    });
    const fault = recorder.takeFault(kind);
    if (fault && fault.action === 'delay') {
      await new Promise((resolve) => setTimeout(resolve, fault.ms));
    } else if (fault && fault.action === 'hold') {
      console.log(`${req.method} ${url.pathname} ${kind} -> held`);
      await recorder.hold();
    } else if (fault) {
      // The body is taken first, so the client has sent everything and the
      // entry shows it, as with a server that fails after reading.
      recorder.tap(req, entry);
      for await (const c of req) void c;
      console.log(`${req.method} ${url.pathname} ${kind} -> fault ${fault.action}`);
      if (fault.action === 'drop') return req.socket.destroy();
      if (fault.action === 'hang') return undefined;
      let type = 'text/plain';
      try {
        JSON.parse(fault.body);
        type = 'application/json';
      } catch (e) { /* not JSON: plain text */ }
      res.writeHead(fault.status, { 'content-type': type, ...fault.headers });
      return res.end(fault.body);
    }
    return routes.handle(req, res, url, entry);
  };

  const listener = (req, res) => {
    handle(req, res).catch((e) => {
      // Without the query: a presigned URL's signature is a credential.
      const path = (req.url || '').split('?')[0];
      console.error(`crash-server: ${req.method} ${path}: ${e.stack || e.message}`);
      if (!res.headersSent) sendJson(res, 500, { error: `${req.method} ${path}: ${e.message}` });
      else res.destroy();
    });
  };
  let server;
  if (options.https) {
    const { certPath, keyPath } = loadOrCreateCertificate(dataDir);
    server = https.createServer({ cert: fs.readFileSync(certPath), key: fs.readFileSync(keyPath) }, listener);
  } else {
    server = http.createServer(listener);
  }
  // Large parts at a limited bandwidth take long; the client owns the time-outs.
  server.requestTimeout = 0;
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(options.port, options.host, resolve);
  });
  const scheme = options.https ? 'https' : 'http';
  const host = options.host.includes(':') ? `[${options.host}]` : options.host;
  const base = `${scheme}://${host}:${server.address().port}`;
  store.publicBase = base;
  console.log(`listening on ${base}`);
  // Packages that completed while no server ran for them, or before a crash.
  for (const record of records.list()) void routes.analyses.request(record.crash_id);

  let stopping = false;
  const stop = async () => {
    if (stopping) return;
    stopping = true;
    routes.analyses.stop();
    server.close();
    server.closeAllConnections();  // hanging requests would keep it open
    await store.close();
    process.exit(0);
  };
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
}

main().catch((e) => {
  console.error(`crash-server: ${e.message}`);
  process.exit(1);
});
