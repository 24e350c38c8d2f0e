'use strict';
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { test } = require('node:test');
const h = require('./helpers');

test('a package uploaded in parts decrypts to the same zip; a repeated completion succeeds', async (t) => {
  const { dir, data, server, pem, keyId } = await h.serverWithKey(t);
  const zip = h.makeZip(dir, { 'a.txt': 'hello\n', 'dump.dmp': Buffer.alloc(200000, 7) });
  const { encrypted, registrationJson, key: contentKey } = h.encryptPackage(zip, pem, keyId);
  const { crashId, completeUrl, xml } = await h.upload(server.base, { encrypted, registrationJson });
  await h.complete(completeUrl, xml);

  const out = path.join(dir, 'out.zip');
  const decrypted = await h.runDecrypt(['--data', data, crashId, '--zip', out]);
  assert.equal(decrypted.status, 0, decrypted.stderr);
  assert.ok(fs.readFileSync(out).equals(zip), 'decrypted zip differs from the uploaded one');
  const listing = await h.runDecrypt(['--data', data, crashId]);
  assert.match(listing.stdout, /"client-product-build": "1.2.3"/);
  assert.match(listing.stdout, /200000\tdump\.dmp/);
  const unwrapped = await h.runDecrypt(['--data', data, crashId, '--key']);
  assert.equal(unwrapped.stdout, `${contentKey.toString('hex')}\n`, unwrapped.stderr);

  const requests = await h.json(`${server.base}/_test/requests`);
  assert.deepEqual(requests.map((r) => r.kind), ['key', 'register', 'upload-id', 'part-url', 'part', 'part-url', 'part',
    'part-url', 'part', 'complete-url', 'complete', 'complete-url', 'complete']);
  assert.ok(requests.every((r) => r.status === 200), JSON.stringify(requests.map((r) => r.status)));
  const parts = requests.filter((r) => r.kind === 'part');
  assert.equal(parts.reduce((sum, r) => sum + r.bodyLength, 0), encrypted.length);
  assert.ok(parts.every((r) => r.body === ''), 'part bodies are not kept');
  const completion = requests.find((r) => r.kind === 'complete');
  assert.equal(completion.headers['content-type'], undefined);
  assert.equal(completion.body, xml);
  assert.deepEqual(requests[2].query, { customerId: 'cust' });
  assert.equal(requests[2].body, registrationJson);
  const etags = [...xml.matchAll(/<ETag>([^<]*)<\/ETag>/g)].map((m) => m[1]);
  assert.ok(etags.every((e) => /^"[0-9a-f]{32}"$/.test(e)), `ETags not quoted: ${etags}`);

  // A copy whose tag is wrong fails naming the package and leaves no zip.
  const packages = path.join(data, 'packages');
  const tampered = '0123456789abcdef0123456789abcdef';
  const record = JSON.parse(fs.readFileSync(path.join(packages, `${crashId}.json`)));
  record.crash_id = tampered;
  record.registration['enc-tag'] = Buffer.alloc(16).toString('base64');
  fs.writeFileSync(path.join(packages, `${tampered}.json`), JSON.stringify(record));
  const failed = await h.runDecrypt(['--data', data, tampered, '--zip', `${out}.bad`]);
  assert.equal(failed.status, 1);
  assert.match(failed.stderr, new RegExp(`package ${tampered}: the GCM tag does not verify`));
  assert.equal(fs.existsSync(`${out}.bad`), false);
});

test('a fault hits the nth request of its kind for its number of times; a faked part fails the completion', async (t) => {
  const { dir, server, pem, keyId } = await h.serverWithKey(t);
  const keyUrl = `${server.base}/crash/key`;
  const added = await h.request(`${server.base}/_test/faults`,
    { method: 'POST', body: '{"kind":"key","nth":2,"action":"status","status":503,"body":"{}","times":2}' });
  assert.equal(added.status, 200, added.body.toString());
  // Counted from the fault on: the helper's key request before it is not.
  for (const status of [200, 503, 503, 200]) assert.equal((await h.request(keyUrl)).status, status);
  const keys = (await h.json(`${server.base}/_test/requests`)).filter((r) => r.kind === 'key');
  assert.deepEqual(keys.map((r) => r.status), [200, 200, 503, 503, 200]);
  const bad = await h.request(`${server.base}/_test/faults`, { method: 'POST', body: '{"kind":"part","nth":0,"action":"drop"}' });
  assert.equal(bad.status, 400);
  assert.match(bad.body.toString(), /nth/);

  // A faked 200 for a part leaves the store without it: the completion is
  // refused as S3 refuses it, and the server lives on.
  const faked = await h.request(`${server.base}/_test/faults`,
    { method: 'POST', body: '{"kind":"part","nth":2,"action":"status","status":200,"body":""}' });
  assert.equal(faked.status, 200, faked.body.toString());
  const zip = h.makeZip(dir, { 'dump.dmp': Buffer.alloc(100000, 3) });
  const { encrypted, registrationJson } = h.encryptPackage(zip, pem, keyId);
  await assert.rejects(h.upload(server.base, { encrypted, registrationJson }), /completion: 400 .*InvalidPart/);
  assert.equal((await h.request(keyUrl)).status, 200);
});

// A part held by a delay fault whose client gave up meanwhile must not be
// passed on half-sent: s3rver would wait for the rest, and so would the
// server's stop. The second part's reply comes after the first one's delay.
test('a part whose client gave up during a delay does not keep the server from stopping', async (t) => {
  const dir = h.tempDir(t);
  const server = await h.startServer(path.join(dir, 'data'));
  const key = await h.request(`${server.base}/crash/key`);
  const { registrationJson } = h.encryptPackage(Buffer.from('zip'), key.body.toString(), key.headers['key-id']);
  const { crash_id: id } = await h.json(`${server.base}/crash`, { method: 'POST' });
  const { upload_id: uploadId } = await h.json(`${server.base}/crash/${id}/crash/f`, { method: 'POST', body: registrationJson });
  const partUrl = async (n) => (await h.json(`${server.base}/crash/${id}/crash/f/${uploadId}/${n}`)).location;
  const [first, second] = [await partUrl(1), await partUrl(2)];
  await h.json(`${server.base}/_test/faults`, { method: 'POST', body: '{"kind":"part","nth":1,"action":"delay","ms":500,"times":2}' });
  const gaveUp = new AbortController();
  const abandoned = h.request(first, { method: 'PUT', body: Buffer.alloc(32 << 10, 1), signal: gaveUp.signal });
  const parts = async () => (await h.json(`${server.base}/_test/requests`)).filter((r) => r.kind === 'part').length;
  while (await parts() === 0);  // the server holds the first part now
  const served = h.request(second, { method: 'PUT', body: Buffer.from('part two') });
  while (await parts() === 1);
  gaveUp.abort();
  await assert.rejects(abandoned);
  assert.equal((await served).status, 200);
  assert.equal(await server.stop(), 0);
});

// The second start serves HTTPS with the certificate it keeps in its data
// folder, which a client that trusts only that certificate accepts.
test('the key pair survives a restart, also into HTTPS', async (t) => {
  const data = path.join(h.tempDir(t), 'data');
  const first = await h.startServer(data);
  const before = await h.request(`${first.base}/crash/key`);
  assert.match(before.body.toString(), /^-----BEGIN PUBLIC KEY-----\n/);
  assert.equal(await first.stop(), 0);
  const second = await h.startServer(data, ['--https']);
  t.after(second.stop);
  assert.match(second.base, /^https:/);
  const after = await h.request(`${second.base}/crash/key`, { ca: fs.readFileSync(path.join(data, 'tls', 'cert.pem')) });
  assert.equal(after.body.toString(), before.body.toString());
  assert.equal(after.headers['key-id'], before.headers['key-id']);
  assert.match(after.headers['key-id'], /^zor-[0-9a-f]{16}$/);
});

test('with another S3 store the parts go there directly and the package still decrypts', async (t) => {
  const dir = h.tempDir(t);
  const S3rver = require('s3rver');
  const other = new S3rver({ address: '127.0.0.1', port: 0, silent: true, directory: path.join(dir, 'other'),
    configureBuckets: [{ name: 'other-bucket', configs: [] }] });
  const { port } = await other.run();
  t.after(() => other.close());
  Object.assign(process.env, { AWS_ACCESS_KEY_ID: 'S3RVER', AWS_SECRET_ACCESS_KEY: 'S3RVER' });
  const { data, server, pem, keyId } = await h.serverWithKey(t, ['--s3-endpoint', `http://127.0.0.1:${port}`, '--bucket', 'other-bucket']);
  const zip = h.makeZip(dir, { 'a.txt': 'elsewhere' });
  const { crashId } = await h.upload(server.base, h.encryptPackage(zip, pem, keyId));
  const kinds = (await h.json(`${server.base}/_test/requests`)).map((r) => r.kind);
  assert.deepEqual(kinds, ['key', 'register', 'upload-id', 'part-url', 'part-url', 'part-url', 'complete-url']);
  const [view] = await h.json(`${server.base}/api/packages`);
  assert.equal(view.state, 'complete');
  assert.deepEqual(view.entries, [{ name: 'a.txt', size: 9 }]);
  const out = path.join(dir, 'out.zip');
  const decrypted = await h.runDecrypt(['--data', data, crashId, '--zip', out]);
  assert.equal(decrypted.status, 0, decrypted.stderr);
  assert.ok(fs.readFileSync(out).equals(zip));
});

test('bad arguments exit 2 naming the argument', () => {
  const cases = [
    { args: ['--port', 'http', '--data', '/tmp/x'], error: /--port "http"/ },
    { args: ['--port', '0'], error: /--data is required/ },
    { args: ['--port', '0', '--data', '/tmp/x', '--colour'], error: /"--colour"/ },
    { args: ['--port', '0', '--data', '/tmp/x', '--bucket', 'b1b'], error: /--s3-endpoint and --bucket/ },
  ];
  for (const c of cases) {
    const result = spawnSync(process.execPath, [path.join(h.kServerDir, 'crash-server.js'), ...c.args], { encoding: 'utf8' });
    assert.equal(result.status, 2, c.args.join(' '));
    assert.match(result.stderr, c.error);
  }
});
