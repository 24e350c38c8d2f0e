// Test helpers: the server as a child process, a small HTTP client, and an
// upload done the way the program does it (AES-256-GCM package, content key
// wrapped with RSA-OAEP SHA-1, registration JSON, parts, completion XML sent
// without Content-Type).
'use strict';
const { execFile, spawn, spawnSync } = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const https = require('https');
const os = require('os');
const path = require('path');
const readline = require('readline');

const kServerDir = path.join(__dirname, '..');

function tempDir(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zor-crash-server-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// Starts crash-server.js on port 0 and resolves once it listens; stop()
// sends SIGTERM and resolves with the exit code, or with null when the
// server did not stop within 20 s and was killed. waitForLine(pattern)
// resolves with the first line of its standard output, seen or to come,
// that matches.
function startServer(dataDir, extraArgs = []) {
  const child = spawn(process.execPath, [path.join(kServerDir, 'crash-server.js'), '--port', '0', '--data', dataDir, ...extraArgs],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  const seen = [];
  const waiting = [];
  const waitForLine = (pattern) => new Promise((resolve, reject) => {
    const line = seen.find((l) => pattern.test(l));
    if (line !== undefined) return resolve(line);
    exited.then((code) => reject(new Error(`crash-server.js exited with ${code} before printing ${pattern}`)));
    return waiting.push({ pattern, resolve });
  });
  return new Promise((resolve, reject) => {
    const lines = readline.createInterface({ input: child.stdout });
    lines.on('line', (line) => {
      seen.push(line);
      for (const w of waiting.filter((x) => x.pattern.test(line))) w.resolve(line);
    });
    lines.once('line', (line) => {
      const m = /^listening on (https?:\/\/127\.0\.0\.1:\d+)$/.exec(line);
      if (!m) return reject(new Error(`unexpected first line "${line}"`));
      const stop = () => {
        child.kill('SIGTERM');
        const deadline = setTimeout(() => child.kill('SIGKILL'), 20000);
        return exited.then((code) => (clearTimeout(deadline), code));
      };
      return resolve({ base: m[1], stop, waitForLine });
    });
    exited.then((code) => reject(new Error(`crash-server.js exited with ${code} before listening`)));
  });
}

// A server on a fresh temporary folder's "data", stopped after the test,
// and the public key it hands out ({dir, data, server, pem, keyId}).
async function serverWithKey(t, extraArgs = []) {
  const dir = tempDir(t);
  const server = await startServer(path.join(dir, 'data'), extraArgs);
  t.after(server.stop);
  const key = await request(`${server.base}/crash/key`);
  return { dir, data: path.join(dir, 'data'), server, pem: key.body.toString(), keyId: key.headers['key-id'] };
}

// One request; resolves {status, headers, body (Buffer)}. `headers` go out
// exactly as given (Node adds no Content-Type of its own).
function request(url, { method = 'GET', headers = {}, body = null, ca, signal } = {}) {
  return new Promise((resolve, reject) => {
    const u = new URL(url);
    // No keep-alive: a reused connection may meet the server closing it.
    const req = (u.protocol === 'https:' ? https : http).request(u, { method, headers, ca, signal, agent: false }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(chunks) }));
      res.on('error', reject);
    });
    req.on('error', reject);
    req.end(body === null ? undefined : body);
  });
}

async function json(url, options) {
  const reply = await request(url, options);
  if (reply.status !== 200) throw new Error(`${options && options.method || 'GET'} ${url}: ${reply.status} ${reply.body}`);
  return JSON.parse(reply.body.toString('utf8'));
}

// A zip made by the zip command from {name: content}.
function makeZip(dir, files) {
  const src = fs.mkdtempSync(path.join(dir, 'zip-'));
  for (const [name, content] of Object.entries(files)) fs.writeFileSync(path.join(src, name), content);
  const result = spawnSync('zip', ['-q', '-X', 'package.zip', ...Object.keys(files)], { cwd: src });
  if (result.status !== 0) throw new Error(`zip failed: ${result.stderr || result.error}`);
  return fs.readFileSync(path.join(src, 'package.zip'));
}

function gcm(key, iv, data) {
  const c = crypto.createCipheriv('aes-256-gcm', key, iv);
  const out = Buffer.concat([c.update(data), c.final()]);
  return { out, tag: c.getAuthTag() };
}

// The encrypted package, the registration JSON text (members in the
// program's order) and the content key.
function encryptPackage(zip, publicKeyPem, keyId, metadata = {}, customData = null) {
  const key = crypto.randomBytes(32);
  const iv = crypto.randomBytes(12);
  const { out, tag } = gcm(key, iv, zip);
  const registration = {
    'client-issue-id': 'issue-1', 'client-product-build': '1.2.3', 'client-product-type': 'Pro',
    'client-channel': 'External', 'system-os': 'Linux', 'system-os-version': '6.1', 'system-os-arch': 'x86_64',
    'client-product-beta': false, ...metadata,
    'enc-key-id': keyId, 'enc-cek-alg': 'AES/GCM/NoPadding', 'enc-wrap-alg': 'RSAES-OAEP',
    'enc-unencrypted-content-length': zip.length,
    'enc-key': crypto.publicEncrypt({ key: publicKeyPem, padding: crypto.constants.RSA_PKCS1_OAEP_PADDING, oaepHash: 'sha1' },
      key).toString('base64'),
    'enc-iv': iv.toString('base64'), 'enc-tag': tag.toString('base64'),
  };
  if (customData !== null) {
    const customIv = crypto.randomBytes(12);
    const custom = gcm(key, customIv, Buffer.from(customData));
    registration['client-custom-data'] = custom.out.toString('base64');
    registration['client-custom-data-iv'] = customIv.toString('base64');
    registration['client-custom-data-tag'] = custom.tag.toString('base64');
  }
  return { encrypted: out, registrationJson: JSON.stringify(registration), key };
}

// Uploads `encrypted` in `partCount` parts; resolves {crashId, completeUrl, xml}.
async function upload(base, { encrypted, registrationJson, type = 'crash', file = 'package', customerId = 'cust', partCount = 3 }) {
  const q = `?customerId=${customerId}`;
  const { crash_id: crashId } = await json(`${base}/crash${q}`, { method: 'POST', headers: { 'Content-Type': 'application/json' } });
  const { upload_id: uploadId } = await json(`${base}/crash/${crashId}/${type}/${file}${q}`,
    { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: registrationJson });
  const partSize = Math.ceil(encrypted.length / partCount);
  let xml = '<CompleteMultipartUpload>';
  for (let n = 1; n <= partCount; ++n) {
    const { location } = await json(`${base}/crash/${crashId}/${type}/${file}/${uploadId}/${n}${q}`);
    const put = await request(location, { method: 'PUT', body: encrypted.subarray((n - 1) * partSize, n * partSize) });
    if (put.status !== 200) throw new Error(`PUT part ${n}: ${put.status} ${put.body}`);
    xml += `<Part><PartNumber>${n}</PartNumber><ETag>${put.headers.etag}</ETag></Part>`;
  }
  xml += '</CompleteMultipartUpload>';
  const completeUrl = `${base}/crash/${crashId}/${type}/${file}/${uploadId}${q}`;
  await complete(completeUrl, xml);
  return { crashId, completeUrl, xml };
}

// Asks for the completion URL and posts `xml` there without Content-Type.
async function complete(completeUrl, xml) {
  const { location } = await json(completeUrl);
  const reply = await request(location, { method: 'POST', body: xml });
  if (reply.status !== 200) throw new Error(`completion: ${reply.status} ${reply.body}`);
  return reply;
}

// Resolves {status, stdout, stderr} of decrypt.js; asynchronous, so that a
// store served by this process keeps answering meanwhile.
function runDecrypt(args) {
  return new Promise((resolve) => {
    execFile(process.execPath, [path.join(kServerDir, 'decrypt.js'), ...args], (error, stdout, stderr) =>
      resolve({ status: error ? error.code : 0, stdout, stderr }));
  });
}

module.exports = { tempDir, startServer, serverWithKey, request, json, makeZip, encryptPackage, upload, complete, runDecrypt, kServerDir };
