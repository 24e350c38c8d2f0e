'use strict';
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { test } = require('node:test');
const h = require('./helpers');

// The page as a browser renders it. The virtual time budget lets the page's
// fetch finish before the DOM is dumped (headless waits for pending loads).
function renderedPage(url, dir) {
  const result = spawnSync('chromium', ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync', `--user-data-dir=${path.join(dir, 'chromium')}`,
    '--virtual-time-budget=30000', '--dump-dom', url], { encoding: 'utf8' });
  if (result.error && result.error.code === 'ENOENT') assert.fail('chromium is missing: run scripts/setup.sh');
  assert.equal(result.status, 0, result.stderr);
  return result.stdout;
}

function cells(dom, crashId) {
  const row = new RegExp(`<tr data-crash-id="${crashId}">(.*?)</tr>`).exec(dom);
  assert.ok(row, `no row for ${crashId}`);
  return Object.fromEntries([...row[1].matchAll(/<td class="c-([\w-]+)[^"]*">(.*?)<\/td>/g)].map((m) => [m[1], m[2]]));
}

test('the page lists uploads newest first, with metadata shown as text', async (t) => {
  const dir = h.tempDir(t);
  const server = await h.startServer(path.join(dir, 'data'));
  t.after(server.stop);
  const key = await h.request(`${server.base}/crash/key`);
  const pem = key.body.toString();
  const crash = await h.upload(server.base, {
    ...h.encryptPackage(h.makeZip(dir, { 'minidump.dmp': 'MDMP', 'manifest.json': '{}' }), pem, key.headers['key-id'],
      { 'client-issue-id': '<script>document.title="owned"</script>' }),
    file: '2f1c',
  });
  const logs = await h.upload(server.base, {
    ...h.encryptPackage(h.makeZip(dir, { 'app.log': 'log line\n' }), pem, key.headers['key-id'],
      { 'client-product-build': '9.9.9' }, '{"email":"a@example.com"}'),
    type: 'logs', file: 'logs.zip',
  });

  const dom = renderedPage(`${server.base}/`, dir);
  assert.match(dom, /<body data-state="loaded">/, 'the page did not finish loading its data');
  const order = [...dom.matchAll(/<tr data-crash-id="(\w+)">/g)].map((m) => m[1]);
  assert.deepEqual(order, [logs.crashId, crash.crashId]);
  const rows = [
    { id: logs.crashId, kind: 'logs', build: '9.9.9', entries: ['app.log'], custom: '{"email":"a@example.com"}' },
    { id: crash.crashId, kind: 'crash', build: '1.2.3', entries: ['minidump.dmp', 'manifest.json'], custom: '' },
  ];
  for (const row of rows) {
    const c = cells(dom, row.id);
    assert.equal(c['crash-id'], row.id);
    assert.equal(c.kind, row.kind);
    assert.equal(c.state, 'complete');
    assert.equal(c.build, row.build);
    assert.equal(c.system, 'Linux 6.1 x86_64');
    assert.deepEqual([...c.entries.matchAll(/<li>(\S+) \(\d+ bytes\)<\/li>/g)].map((m) => m[1]), row.entries);
    assert.equal(c['custom-data'], row.custom);
  }
  assert.match(cells(dom, crash.crashId).metadata, /&lt;script&gt;document\.title="owned"&lt;\/script&gt;/);
  assert.doesNotMatch(dom, /<title>owned<\/title>/);

  const zip = await h.request(`${server.base}/api/packages/${crash.crashId}/zip`);
  assert.equal(zip.status, 200);
  assert.equal(zip.headers['content-type'], 'application/zip');
});
