'use strict';
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { test } = require('node:test');
const h = require('./helpers');
const { makeBacktrace } = require('../lib/backtrace');

// The program built by CMake, which ctest names; a real crash of it makes
// the minidump the page shows.
const kProgram = process.env.ZOR_PROGRAM;

async function page(url) {
  const reply = await h.request(url);
  assert.equal(reply.status, 200, `GET ${url}: ${reply.body}`);
  assert.match(reply.headers['content-type'], /^text\/html/);
  const text = reply.body.toString('utf8');
  assert.doesNotMatch(text, /<script/i, 'the page must not need scripts');
  return text;
}

// The cells of the index row of `crashId`, by column class, markup kept.
function cells(index, crashId) {
  const row = new RegExp(`<tr data-crash-id="${crashId}">(.*?)</tr>`, 's').exec(index);
  assert.ok(row, `no row for ${crashId}`);
  return Object.fromEntries([...row[1].matchAll(/<td class="c-([\w-]+)">(.*?)<\/td>/gs)].map((m) => [m[1], m[2]]));
}

const text = (markup) => markup.replace(/<[^>]*>/g, ' ').replace(/&amp;/g, '&').replace(/&lt;/g, '<').replace(/&gt;/g, '>').replace(/\s+/g, ' ').trim();

test('the page lists uploads newest first, as text, and says why a dump has no backtrace', async (t) => {
  const { dir, server, pem, keyId } = await h.serverWithKey(t);
  const manifest = JSON.stringify({ 'crash-correlation-id': '0123456789abcdef0123456789abcdef', application: '<b>app</b>', signal: 6, host: 'box' });
  const crash = await h.upload(server.base, {
    ...h.encryptPackage(h.makeZip(dir, { 'minidump.dmp': 'MDMP', 'app.manifest': manifest }), pem, keyId,
      { 'client-issue-id': '<script>document.title="owned"</script>' }),
    file: '2f1c',
  });
  const logs = await h.upload(server.base, {
    ...h.encryptPackage(h.makeZip(dir, { 'app.log': 'log line\n' }), pem, keyId,
      { 'client-product-build': '9.9.9' }, '{"email":"a@example.com"}'),
    type: 'logs', file: 'logs.zip',
  });
  await server.waitForLine(new RegExp(`^analysed ${crash.crashId}$`));

  const index = await page(`${server.base}/`);
  assert.deepEqual([...index.matchAll(/<tr data-crash-id="(\w+)">/g)].map((m) => m[1]), [logs.crashId, crash.crashId]);
  const c = cells(index, crash.crashId);
  assert.match(c.crash, />0123456789abcdef0123456789abcdef</);
  assert.match(c.application, /^&lt;b&gt;app&lt;\/b&gt;/);
  assert.equal(c.signal, 'SIGABRT (6)');
  assert.equal(text(c.build), '1.2.3 Linux 6.1 x86_64', 'what the manifest leaves out comes from the registration');
  assert.match(text(c.frames), /^no backtrace: lldb cannot read the minidump: \S/);
  assert.match(text(cells(index, logs.crashId).build), /^9\.9\.9 /);

  // Each package's own page, found by either id, with what the index leaves out.
  const crashPage = await page(`${server.base}/crashes/0123456789abcdef0123456789abcdef`);
  assert.match(crashPage, /&lt;script&gt;document\.title=&quot;owned&quot;&lt;\/script&gt;/);
  assert.doesNotMatch(crashPage, /<title>owned<\/title>/);
  assert.match(crashPage, /&quot;host&quot;: &quot;box&quot;/);
  const logsPage = await page(`${server.base}/crashes/${logs.crashId}`);
  assert.match(logsPage, /<td class="c-custom-data">\{&quot;email&quot;:&quot;a@example\.com&quot;\}<\/td>/);
  assert.deepEqual([...logsPage.matchAll(/<li><span class="mono">(\S+)<\/span> \(\d+ bytes\)<\/li>/g)].map((m) => m[1]), ['app.log']);
  assert.match(logsPage, new RegExp(`href="/api/packages/${logs.crashId}/zip"`));
  assert.equal((await h.request(`${server.base}/crashes/ffffffffffffffffffffffffffffffff`)).status, 404);

  const zip = await h.request(`${server.base}/api/packages/${crash.crashId}/zip`);
  assert.equal(zip.status, 200);
  assert.equal(zip.headers['content-type'], 'application/zip');
});

// Headless chromium's screenshot of `url` at 1280 x 800 with scripts off,
// and where that frame draws the first characters of each selector's text;
// over its DevTools pipe (commands on fd 3, replies on fd 4, each message
// ended by a NUL).
async function screenshot(url, selectors, profile) {
  const child = spawn('chromium', ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', `--user-data-dir=${profile}`, '--window-size=1280,800', '--remote-debugging-pipe',
    '--disable-breakpad', 'about:blank'], { stdio: ['ignore', 'ignore', 'ignore', 'pipe', 'pipe'], detached: true });
  const replies = new Map();
  let onEvent = () => {};
  let onExit = () => {};
  // A browser that dies fails what waits on it rather than hanging the test.
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => {
    const error = { message: `chromium exited (${code ?? signal})` };
    for (const reply of replies.values()) reply({ error });
    onExit(new Error(error.message));
    resolve();
  }));
  let buffer = '';
  child.stdio[4].setEncoding('utf8').on('data', (chunk) => {
    buffer += chunk;
    for (let end; (end = buffer.indexOf('\0')) >= 0; buffer = buffer.slice(end + 1)) {
      const message = JSON.parse(buffer.slice(0, end));
      if (replies.has(message.id)) replies.get(message.id)(message);
      else onEvent(message);
    }
  });
  let lastId = 0;
  const send = (method, params = {}, sessionId = undefined) => new Promise((resolve, reject) => {
    const id = ++lastId;
    replies.set(id, (m) => (m.error ? reject(new Error(`${method}: ${m.error.message}`)) : resolve(m.result)));
    child.stdio[3].write(`${JSON.stringify({ id, method, params, sessionId })}\0`);
  });
  try {
    const { targetInfos } = await send('Target.getTargets');
    const { sessionId } = await send('Target.attachToTarget', { targetId: targetInfos.find((t) => t.type === 'page').targetId, flatten: true });
    await send('Emulation.setScriptExecutionDisabled', { value: true }, sessionId);
    await send('Emulation.setDeviceMetricsOverride', { width: 1280, height: 800, deviceScaleFactor: 1, mobile: false }, sessionId);
    await send('Page.enable', {}, sessionId);
    const loaded = new Promise((resolve, reject) => {
      onEvent = (m) => m.method === 'Page.loadEventFired' && resolve();
      onExit = reject;
    });
    await send('Page.navigate', { url }, sessionId);
    await loaded;
    const measure = (sels) => sels.map((sel) => {
      const cell = document.querySelector(sel);
      if (!cell) return { sel, text: null };
      // The element's own text, not a label inside it (a frame's "#0").
      const node = [...cell.childNodes].find((n) => n.nodeType === Node.TEXT_NODE && n.textContent.trim());
      const start = node.textContent.search(/\S/);
      const range = document.createRange();
      range.setStart(node, start);
      range.setEnd(node, Math.min(node.length, start + 24));
      const r = range.getBoundingClientRect();
      const hit = document.elementFromPoint(r.left + 1, r.top + r.height / 2);
      const inView = r.left >= 0 && r.top >= 0 && r.right <= innerWidth && r.bottom <= innerHeight;
      return { sel, text: range.toString(), visible: inView && Boolean(hit && node.parentElement.contains(hit)) };
    });
    const { result, exceptionDetails } = await send('Runtime.evaluate', { expression: `(${measure})(${JSON.stringify(selectors)})`, returnByValue: true }, sessionId);
    if (exceptionDetails) throw new Error(exceptionDetails.exception.description);
    const { data } = await send('Page.captureScreenshot', { format: 'png' }, sessionId);
    return { png: Buffer.from(data, 'base64'), drawn: result.value };
  } finally {
    // The whole group: a renderer or helper left behind keeps writing into
    // the profile, which then cannot be removed, and holds the test open.
    try { process.kill(-child.pid, 'SIGKILL'); } catch { child.kill('SIGKILL'); }
    await exited;
  }
}

function run(program, args, options) {
  const result = spawnSync(program, args, { encoding: 'utf8', ...options });
  return { status: result.status, signal: result.signal, out: `${result.stdout}${result.stderr}` };
}

test('a real crash of the program is shown with its threads, symbolized from --symbols', { skip: !kProgram && 'ZOR_PROGRAM names no built program' }, async (t) => {
  const dir = h.tempDir(t);
  // The dump names the program where it ran; moved away from there, only
  // the --symbols folder can symbolize it.
  for (const sub of ['bin', 'symbols', 'home']) fs.mkdirSync(path.join(dir, sub));
  const program = path.join(dir, 'bin', 'zorcrashreporter');
  fs.copyFileSync(kProgram, program);
  fs.chmodSync(program, 0o755);
  const server = await h.startServer(path.join(dir, 'data'), ['--symbols', path.join(dir, 'symbols')]);
  t.after(server.stop);
  const config = path.join(dir, 'config.yml');
  fs.writeFileSync(config, `servercrashupload.data.dir: ${dir}/client\nservercrashupload.upload_endpoint: ${server.base}\n` +
    `servercrashupload.rsa_endpoint: ${server.base}/crash/key\nservercrashupload.dump.dirs: ${dir}/logs\nservercrashupload.log.dir: ${dir}/logs\n`);
  const options = { cwd: dir, env: { ...process.env, HOME: path.join(dir, 'home') } };
  const crash = run(program, ['--command', 'simulate-crash', '--type', 'MultipleCrashes', '--config-file', config,
    '--enable-features', 'crash-handler', '-M', '0'], options);
  assert.equal(crash.signal, 'SIGSEGV', crash.out);
  const crashDir = fs.readdirSync(path.join(dir, 'logs', 'crashdumps')).find((n) => n.endsWith('.crash'));
  const clientId = /^zorcrashreporter_([0-9a-f]{32})\.crash$/.exec(crashDir)[1];
  fs.renameSync(program, path.join(dir, 'symbols', 'zorcrashreporter'));
  const send = run(path.join(dir, 'symbols', 'zorcrashreporter'), ['--command', 'send-crashes', '--config-file', config, '--no-full-dumps'], options);
  assert.equal(send.status, 0, send.out);
  await server.waitForLine(/^analysed /);

  const c = cells(await page(`${server.base}/`), '\\w+');
  assert.match(c.crash, new RegExp(`>${clientId}<`));
  assert.match(text(c.application), /^zorcrashreporter crash/);
  assert.equal(c.signal, 'SIGSEGV (11)');
  assert.match(text(c.frames), /^#0 zorcrashreporter`ZorErrorReporting::\S/, 'the top frame is a named function of the program');

  // Every thread that lldb finds in the dump, on the crash page, the crashed one marked.
  const extracted = path.join(dir, 'extracted');
  const decrypt = await h.runDecrypt(['--data', path.join(dir, 'data'), clientId, '--extract', extracted]);
  assert.equal(decrypt.status, 0, decrypt.stderr);
  const dump = path.join(extracted, fs.readdirSync(extracted).find((n) => /\d\.dmp$/.test(n)));
  const direct = await makeBacktrace(dump);
  assert.ok(direct.threads, direct.error);
  const crashPage = await page(`${server.base}/crashes/${clientId}`);
  const shown = [...crashPage.matchAll(/<section class="thread( crashed)?" data-thread="(\d+)">/g)].map((m) => [Number(m[2]), Boolean(m[1])]);
  assert.deepEqual(shown, direct.threads.map((th) => [th.id, th.crashed]));
  assert.ok(shown.some(([, crashed]) => crashed));
  // Without the symbols folder the program's frames are module + offset.
  assert.match(direct.threads.find((th) => th.crashed).frames[0], /^zorcrashreporter \+ 0x[0-9a-f]+$/);

  // The page as a browser without scripts draws it, at 1280 px: what the
  // index says of the crash, up to the last column, is inside the frame.
  const row = 'tr[data-crash-id]';
  const shot = await screenshot(`${server.base}/`, ['application', 'signal', 'frames li', 'received'].map((c) => `${row} .c-${c}`), path.join(dir, 'chromium'));
  const [application, signal, frame] = shot.drawn;
  assert.equal(application.text, 'zorcrashreporter');
  assert.equal(signal.text, 'SIGSEGV (11)');
  assert.match(frame.text, /^zorcrashreporter`ZorErro/);
  assert.ok(shot.drawn.every((d) => d.visible), `cut off or covered at 1280 px: ${JSON.stringify(shot.drawn)}`);
  assert.equal(shot.png.subarray(0, 8).toString('hex'), '89504e470d0a1a0a', 'not a PNG');
  assert.deepEqual([shot.png.readUInt32BE(16), shot.png.readUInt32BE(20)], [1280, 800]);
});
