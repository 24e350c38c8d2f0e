// What crashed: made once per complete crash package, after the upload was
// answered. The package is decrypted, its manifest read and its minidump
// given to lldb; the result goes into the package record as "analysis":
//   {upload_id, made, client_crash_id, manifest (the parsed document, or
//    null), manifest_error, dumps_size (bytes of the .dmp entries),
//    backtrace: {threads} or {error}}  (threads as lib/backtrace.js makes them)
// An analysis belongs to the upload it was made from: a new registration of
// the same crash id makes it stale, and it is made again.
//
// One analysis runs at a time, so a burst of arrivals does not start a burst
// of debuggers. Nothing here throws into the request path: a failure becomes
// the analysis's error and a line on standard error.
'use strict';
const fs = require('fs');
const path = require('path');
const { listEntries, readEntry } = require('./zip');
const { makeBacktrace } = require('./backtrace');

function isManifest(name) {
  return /\.manifest$|(^|\/)manifest\.json$/i.test(name);
}

function isDump(name) {
  return /\.dmp$/i.test(name);
}

// The minidump of a package: a .dmp that is not the full dump, else the
// smallest .dmp (lldb reads a full dump too, only slower).
function pickMinidump(entries) {
  const dumps = entries.filter((e) => isDump(e.name)).sort((a, b) => a.size - b.size);
  return dumps.find((e) => !/-full\.dmp$/i.test(e.name)) || dumps[0] || null;
}

// {client_crash_id, manifest, manifest_error, dumps_size} of the decrypted zip.
function readPackage(zipPath) {
  const entries = listEntries(zipPath);
  const out = { client_crash_id: null, manifest: null, manifest_error: null, dumps_size: 0 };
  for (const e of entries) if (isDump(e.name)) out.dumps_size += e.size;
  const entry = entries.find((e) => isManifest(e.name));
  if (!entry) {
    out.manifest_error = 'the package holds no manifest';
  } else {
    try {
      const manifest = JSON.parse(readEntry(zipPath, entry).toString('utf8'));
      if (manifest === null || typeof manifest !== 'object' || Array.isArray(manifest)) throw new Error('not a JSON object');
      out.manifest = manifest;
      const id = manifest['crash-correlation-id'] ?? manifest.Id;
      if (typeof id === 'string' && id !== '') out.client_crash_id = id;
    } catch (e) {
      out.manifest_error = `${entry.name}: ${e.message}`;
    }
  }
  return { out, entries };
}

class Analyses {
  // `zipOf(record)` resolves with the path of the record's decrypted zip
  // (it may throw); `symbolsDir` is given to lldb, or null.
  constructor({ dataDir, records, zipOf, symbolsDir = null, timeoutMs }) {
    Object.assign(this, { records, zipOf, symbolsDir, timeoutMs });
    this.scratch = path.join(dataDir, 'analysis');
    this.running = new Map();  // crash id -> promise of its analysis
    this.queue = Promise.resolve();
    this.stopping = new AbortController();
  }

  // Kills a running lldb and starts no other; the server calls it on its way
  // out, so that no debugger outlives it.
  stop() {
    this.stopping.abort();
  }

  static isCurrent(record) {
    return Boolean(record.analysis) && record.analysis.upload_id === record.upload_id;
  }

  static wanted(record) {
    return record.type === 'crash' && record.state === 'complete' && !Analyses.isCurrent(record);
  }

  isPending(crashId) {
    return this.running.has(crashId);
  }

  // Starts the analysis of `crashId` unless it is current or already under
  // way; resolves once it is stored. Never rejects.
  request(crashId) {
    const record = this.records.get(crashId);
    if (!record || !Analyses.wanted(record)) return Promise.resolve();
    if (this.running.has(crashId)) return this.running.get(crashId);
    const done = this.queue.then(() => this.analyse(crashId)).catch((e) => {
      console.error(`crash-server: analysis of ${crashId}: ${e.stack || e.message}`);
    }).finally(() => this.running.delete(crashId));
    this.queue = done;
    this.running.set(crashId, done);
    return done;
  }

  async analyse(crashId) {
    const record = this.records.get(crashId);
    if (!record || !Analyses.wanted(record) || this.stopping.signal.aborted) return;
    const uploadId = record.upload_id;
    const analysis = { upload_id: uploadId, client_crash_id: null, manifest: null, manifest_error: null, dumps_size: 0 };
    try {
      const zipPath = await this.zipOf(record);
      const { out, entries } = readPackage(zipPath);
      Object.assign(analysis, out);
      analysis.backtrace = await this.backtraceOf(crashId, zipPath, entries);
    } catch (e) {
      analysis.backtrace = { error: e.message };
    }
    // Cut short, it is made again by the next server instead of kept.
    if (this.stopping.signal.aborted) return;
    analysis.made = new Date().toISOString();
    this.records.update(crashId, (r) => {
      if (r.upload_id === uploadId) r.analysis = analysis;
    });
    console.log(`analysed ${crashId}`);
  }

  async backtraceOf(crashId, zipPath, entries) {
    const dump = pickMinidump(entries);
    if (!dump) return { error: 'the package holds no minidump' };
    fs.mkdirSync(this.scratch, { recursive: true });
    const dumpPath = path.join(this.scratch, `${crashId}.dmp`);
    try {
      fs.writeFileSync(dumpPath, readEntry(zipPath, dump));
      return await makeBacktrace(dumpPath, { symbolsDir: this.symbolsDir, timeoutMs: this.timeoutMs, signal: this.stopping.signal });
    } finally {
      fs.rmSync(dumpPath, { force: true });
    }
  }
}

module.exports = { Analyses, readPackage };
