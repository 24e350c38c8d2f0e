// Backtraces of a minidump, made by lldb in a child process.
//
// makeBacktrace(dumpPath, {symbolsDir, timeoutMs, signal}) resolves, never rejects,
// with either {threads} or {error}:
//   threads: [{id, crashed, reason, frames: [text]}] in lldb's order; a frame
//            is "module`function at file:line" where lldb knows the symbol,
//            "module + 0xoffset" where it only knows the module, else the
//            bare address;
//   error:   why there is no backtrace (lldb missing, timed out, the dump
//            unreadable), in words for the page.
// With symbolsDir lldb looks there for the binaries and debug files; without
// it, only at the paths the dump records. Aborting `signal` (an AbortSignal)
// kills lldb.
'use strict';
const { execFile } = require('child_process');

const kDefaultTimeoutMs = 60000;
const kMaxOutput = 32 * 1024 * 1024;

// [{base, name}] of lldb's "image list -h -f" lines, highest base first.
function parseModules(text) {
  const modules = [];
  for (const m of text.matchAll(/^\[\s*\d+\] 0x([0-9a-f]+) (\S.*)$/gm)) {
    modules.push({ base: BigInt(`0x${m[1]}`), name: m[2].slice(m[2].lastIndexOf('/') + 1) });
  }
  return modules.sort((a, b) => (a.base < b.base ? 1 : a.base > b.base ? -1 : 0));
}

// A frame without a symbol names its module with the offset into it, so that
// it can be symbolized later against the same build.
function frameText(address, rest, modules) {
  if (rest.includes('`')) return rest;
  const pc = BigInt(`0x${address}`);
  const module = modules.find((m) => m.base <= pc);
  // lldb names the module it found the address in; an address it does not
  // place (a stack word past the last good frame) stays bare.
  if (!module || rest !== module.name) return rest || `0x${address}`;
  return `${module.name} + 0x${(pc - module.base).toString(16)}`;
}

// The threads of lldb's "bt all" output (see the file comment).
function parseBacktrace(text) {
  const modules = parseModules(text);
  const threads = [];
  for (const line of text.split('\n')) {
    const thread = /^\s*(\*?)\s*thread #(\d+)(?:, (.*))?$/.exec(line);
    if (thread) {
      const reason = /stop reason = (.*)$/.exec(thread[3] || '');
      threads.push({ id: Number(thread[2]), crashed: thread[1] === '*', reason: reason ? reason[1] : '', frames: [] });
      continue;
    }
    const frame = /^\s*\*?\s*frame #\d+: 0x([0-9a-f]+)\s*(.*)$/.exec(line);
    if (frame && threads.length > 0) threads[threads.length - 1].frames.push(frameText(frame[1], frame[2].trim(), modules));
  }
  return threads;
}

// lldb's own words on why the core did not load, without its prompt echo.
function lldbComplaint(stdout, stderr) {
  const lines = `${stderr}\n${stdout}`.split('\n').map((l) => l.trim())
    .filter((l) => l !== '' && !l.startsWith('(lldb)') && !/Traceback|File "<string>"|Error: name|ModuleNotFoundError/.test(l));
  return lines.find((l) => /^error:/.test(l)) || lines[0] || 'lldb found no threads in it';
}

function makeBacktrace(dumpPath, { symbolsDir = null, timeoutMs = kDefaultTimeoutMs, signal } = {}) {
  const args = ['--batch', '--no-lldbinit'];
  if (symbolsDir) {
    // Set before the core is loaded: lldb resolves the modules while loading.
    args.push('-O', `settings set target.exec-search-paths '${symbolsDir}'`,
      '-O', `settings set target.debug-file-search-paths '${symbolsDir}'`);
  }
  args.push('-c', dumpPath, '-o', 'image list -h -f', '-o', 'bt all');
  return new Promise((resolve) => {
    execFile('lldb', args, { timeout: timeoutMs, killSignal: 'SIGKILL', maxBuffer: kMaxOutput, encoding: 'utf8', signal },
      (error, stdout, stderr) => {
        if (error && error.code === 'ENOENT') return resolve({ error: 'lldb is not installed' });
        if (error && error.name === 'AbortError') return resolve({ error: 'the server stopped before lldb finished' });
        if (error && error.killed) return resolve({ error: `lldb did not finish within ${timeoutMs / 1000} s` });
        const threads = parseBacktrace(stdout || '');
        if (threads.length === 0) return resolve({ error: `lldb cannot read the minidump: ${lldbComplaint(stdout || '', stderr || '')}` });
        return resolve({ threads });
      });
  });
}

module.exports = { makeBacktrace, parseBacktrace };
