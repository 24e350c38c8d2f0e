// Package records: one JSON file per crash id, <data>/packages/<crash_id>.json,
// written whole through ".<name>.tmp", fsync and rename so a reader never sees
// half a record. The server keeps them in memory as well and is their only
// writer; decrypt.js only reads.
//
// Life of a record (field "state"):
//   1. "issued"      POST /crash gave out the crash id.
//   2. "registered"  the upload-id request stored the registration JSON and
//                    the store's upload id (a repeated request replaces both).
//   3. "uploading"   a part arrived through the local store's front.
//   4. "complete"    the completion succeeded (seen by the front, or the
//                    object found in an external store).
'use strict';
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');

const kIdPattern = /^[0-9a-f]{32}$/;

function packagesDir(dataDir) {
  return path.join(dataDir, 'packages');
}

function writeAtomic(file, text) {
  const tmp = path.join(path.dirname(file), `.${path.basename(file)}.tmp`);
  const fd = fs.openSync(tmp, 'w', 0o644);
  try {
    fs.writeSync(fd, text);
    fs.fsyncSync(fd);
  } finally {
    fs.closeSync(fd);
  }
  fs.renameSync(tmp, file);
}

// The stored record of `crashId`; throws naming the id or the file when there
// is none or it cannot be read.
function readRecord(dataDir, crashId) {
  if (!kIdPattern.test(crashId)) throw new Error(`"${crashId}" is not a crash id`);
  const file = path.join(packagesDir(dataDir), `${crashId}.json`);
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (e) {
    throw new Error(e.code === 'ENOENT' ? `no package with crash id ${crashId} (${file})` : `${file}: ${e.message}`);
  }
  try {
    return JSON.parse(text);
  } catch (e) {
    throw new Error(`${file}: ${e.message}`);
  }
}

// Every readable record in <data>/packages, newest first; unreadable ones are
// skipped with `onSkip(message)`.
function readAllRecords(dataDir, onSkip = () => {}) {
  const records = [];
  let names = [];
  try {
    names = fs.readdirSync(packagesDir(dataDir));
  } catch (e) {
    if (e.code !== 'ENOENT') throw new Error(`${packagesDir(dataDir)}: ${e.message}`);
  }
  for (const name of names) {
    if (name.startsWith('.') || !name.endsWith('.json')) continue;
    try {
      records.push(readRecord(dataDir, name.slice(0, -5)));
    } catch (e) {
      onSkip(e.message);
    }
  }
  return records.sort((a, b) => (b.sequence || 0) - (a.sequence || 0));
}

class PackageRecords {
  constructor(dataDir) {
    this.dir = packagesDir(dataDir);
    fs.mkdirSync(this.dir, { recursive: true });
    this.records = new Map();
    this.sequence = 0;
    for (const name of fs.readdirSync(this.dir)) {
      if (name.startsWith('.')) fs.rmSync(path.join(this.dir, name), { force: true });  // a write cut short
    }
    for (const record of readAllRecords(dataDir, (m) => console.error(`skipping package record: ${m}`))) {
      this.records.set(record.crash_id, record);
      this.sequence = Math.max(this.sequence, record.sequence || 0);
    }
  }

  get(crashId) {
    return this.records.get(crashId);
  }

  // The record of a server crash id, else the newest one whose analysis
  // found that client crash id (the correlation id in its manifest).
  find(id) {
    return this.get(id) || this.list().find((r) => r.analysis && r.analysis.client_crash_id === id);
  }

  // Newest first: by the order of registration (or of issue, before that).
  list() {
    return [...this.records.values()].sort((a, b) => b.sequence - a.sequence);
  }

  issue(customerId) {
    const record = {
      crash_id: crypto.randomBytes(16).toString('hex'),
      state: 'issued',
      customer_id: customerId,
      issued: new Date().toISOString(),
    };
    return this.save(record);
  }

  // Records the registration of `crashId`; fields as in the record file.
  register(crashId, fields) {
    const record = { ...this.records.get(crashId), ...fields, state: 'registered' };
    delete record.parts;
    delete record.completion;
    delete record.size;
    delete record.analysis;
    return this.save(record);
  }

  // Applies `change(record)` to the stored record of `crashId` and saves it.
  update(crashId, change) {
    const record = this.records.get(crashId);
    if (!record) return null;
    change(record);
    this.records.set(crashId, record);
    writeAtomic(path.join(this.dir, `${crashId}.json`), JSON.stringify(record, null, 2));
    return record;
  }

  save(record) {
    record.sequence = ++this.sequence;
    this.records.set(record.crash_id, record);
    writeAtomic(path.join(this.dir, `${record.crash_id}.json`), JSON.stringify(record, null, 2));
    return record;
  }
}

module.exports = { PackageRecords, readRecord, readAllRecords, kIdPattern };
