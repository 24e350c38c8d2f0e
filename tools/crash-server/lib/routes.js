// The protocol routes and the page's routes. All JSON replies are
// application/json; an error reply is {"error": "..."} naming what failed.
'use strict';
const fs = require('fs');
const path = require('path');
const { StoreFront, sendError } = require('./front');
const { kIdPattern } = require('./packages');
const { unwrapContentKey, decryptCustomData, decryptPackageZip } = require('./package-crypto');
const { listEntries } = require('./zip');
const { Analyses } = require('./analysis');
const { renderIndex, renderCrash } = require('./page');

const kTypeWords = ['unknown', 'crash', 'logs'];
const kMaxPartNumber = 10000;
const kMaxBody = 16 * 1024 * 1024;
// Shown in their own columns, or decrypted instead.
const kOwnColumns = ['client-product-build', 'client-custom-data', 'client-custom-data-iv', 'client-custom-data-tag'];

function sendHtml(res, status, text) {
  res.writeHead(status, { 'content-type': 'text/html; charset=utf-8' });
  res.end(text);
}

function sendJson(res, status, value) {
  res.writeHead(status, { 'content-type': 'application/json' });
  res.end(JSON.stringify(value));
}

// The path's segments, percent-decoded where that is well-formed (a client
// that does not escape must still get a reply about what it sent).
function segments(url) {
  return url.pathname.split('/').slice(1).map((s) => {
    try {
      return decodeURIComponent(s);
    } catch (e) {
      return s;
    }
  });
}

// Which kind of request this is, for the request list and the faults.
function classify(method, url) {
  if (StoreFront.owns(url.pathname)) return StoreFront.classify(method, url);
  const s = segments(url);
  if (s[0] === 'crash') {
    if (method === 'GET' && s.length === 2 && s[1] === 'key') return 'key';
    if (method === 'POST' && s.length === 1) return 'register';
    if (method === 'POST' && s.length === 4) return 'upload-id';
    if (method === 'GET' && s.length === 5) return 'complete-url';
    if (method === 'GET' && s.length === 6) return 'part-url';
  }
  if (method === 'GET' && (url.pathname === '/' || s[0] === 'api' || s[0] === 'crashes')) return 'page';
  return 'other';
}

class Routes {
  // `symbolsDir` is the folder of binaries and debug files lldb symbolizes
  // the backtraces with, or null.
  constructor({ dataDir, keys, store, records, recorder, symbolsDir = null }) {
    Object.assign(this, { dataDir, keys, store, records, recorder });
    this.analyses = new Analyses({ dataDir, records, symbolsDir, zipOf: (record) => this.decryptedZip(record) });
    this.front = new StoreFront(store, records, recorder, (crashId) => void this.analyses.request(crashId));
    this.zipDir = path.join(dataDir, 'decrypted');
    this.entries = new Map();  // crash id -> {uploadId, entries} of decrypted zips
  }

  readBody(req, entry) {
    this.recorder.tap(req, entry);
    return new Promise((resolve, reject) => {
      const chunks = [];
      let length = 0;
      req.on('data', (c) => {
        length += c.length;
        if (length <= kMaxBody) chunks.push(c);
      });
      req.on('end', () => (length > kMaxBody ? reject(new Error('request body too large')) : resolve(Buffer.concat(chunks))));
      req.on('error', reject);
    });
  }

  async handle(req, res, url, entry) {
    if (StoreFront.owns(url.pathname)) return this.front.handle(req, res, url, entry);
    const s = segments(url);
    const customerId = url.searchParams.get('customerId');
    switch (entry.kind) {
      case 'key':
        res.writeHead(200, { 'content-type': 'application/x-pem-file', 'key-id': this.keys.keyId });
        return res.end(this.keys.publicKeyPem);
      case 'register':
        await this.readBody(req, entry);
        return sendJson(res, 200, { crash_id: this.records.issue(customerId).crash_id });
      case 'upload-id':
        return this.uploadId(res, s, customerId, await this.readBody(req, entry));
      case 'part-url':
      case 'complete-url': {
        const record = this.findUpload(res, s);
        if (!record) return undefined;
        if (entry.kind === 'complete-url') return sendJson(res, 200, { location: await this.store.completeUrl(record.key, s[4]) });
        const n = Number(s[5]);
        if (!/^\d+$/.test(s[5]) || n < 1 || n > kMaxPartNumber) {
          return sendError(res, 400, `part number "${s[5]}" is not from 1 to ${kMaxPartNumber}`);
        }
        return sendJson(res, 200, { location: await this.store.partUrl(record.key, s[4], n) });
      }
      case 'page':
        return this.page(res, url, s);
      default:
        return sendError(res, 404, `no route for ${req.method} ${url.pathname}`);
    }
  }

  async uploadId(res, s, customerId, body) {
    const [, crashId, type, file] = s;
    if (!this.records.get(crashId)) return sendError(res, 404, `unknown crash id "${crashId}"`);
    if (!kTypeWords.includes(type)) return sendError(res, 400, `package type "${type}" is not one of ${kTypeWords.join(', ')}`);
    if (file === '' || file === '.' || file === '..') return sendError(res, 400, `file name "${file}" is not usable`);
    let registration;
    try {
      registration = JSON.parse(body.toString('utf8'));
    } catch (e) {
      return sendError(res, 400, `registration of ${crashId} is not JSON: ${e.message}`);
    }
    if (registration === null || typeof registration !== 'object' || Array.isArray(registration)) {
      return sendError(res, 400, `registration of ${crashId} is not a JSON object`);
    }
    const key = `${type}/${crashId}/${file}`;
    const uploadId = await this.store.createUpload(key);
    this.records.register(crashId, {
      received: new Date().toISOString(), type, file, customer_id: customerId, key, upload_id: uploadId,
      store: this.store.location, registration,
    });
    this.entries.delete(crashId);
    fs.rmSync(path.join(this.zipDir, `${crashId}.zip`), { force: true });
    return sendJson(res, 200, { upload_id: uploadId });
  }

  // The record whose current upload the path /crash/<id>/<type>/<file>/<upload_id>
  // names, or null after answering 404.
  findUpload(res, s) {
    const [, crashId, type, file, uploadId] = s;
    const record = this.records.get(crashId);
    if (!record) return sendError(res, 404, `unknown crash id "${crashId}"`), null;
    if (record.upload_id !== uploadId || record.type !== type || record.file !== file) {
      return sendError(res, 404, `no upload "${uploadId}" for ${type}/${crashId}/${file}`), null;
    }
    return record;
  }

  async page(res, url, s) {
    if (url.pathname === '/') {
      const views = [];
      for (const record of this.records.list()) views.push(await this.view(record));
      return sendHtml(res, 200, renderIndex(views));
    }
    if (s.length === 2 && s[0] === 'crashes') {
      const record = this.records.find(s[1]);
      if (!record) return sendError(res, 404, `no package with crash id "${s[1]}"`);
      return sendHtml(res, 200, renderCrash(await this.view(record)));
    }
    if (s.length === 2 && s[1] === 'packages') {
      const views = [];
      for (const record of this.records.list()) views.push(await this.view(record));
      return sendJson(res, 200, views);
    }
    if (s.length === 4 && s[1] === 'packages' && s[3] === 'zip' && kIdPattern.test(s[2])) {
      const record = this.records.get(s[2]);
      if (!record) return sendError(res, 404, `unknown crash id "${s[2]}"`);
      let zipPath;
      try {
        zipPath = await this.decryptedZip(record);
      } catch (e) {
        return sendError(res, 409, e.message);
      }
      const name = /\.zip$/i.test(record.file) ? record.file : `${record.crash_id}.zip`;
      res.writeHead(200, {
        'content-type': 'application/zip',
        'content-disposition': `attachment; filename="${name.replace(/[^\w.-]/g, '_')}"`,
        'content-length': fs.statSync(zipPath).size,
      });
      return fs.createReadStream(zipPath).pipe(res);
    }
    return sendError(res, 404, `no page at ${url.pathname}`);
  }

  // The decrypted zip of a complete package, made once in <data>/decrypted.
  async decryptedZip(record) {
    await this.refreshState(record);
    if (record.state !== 'complete') throw new Error(`package ${record.crash_id} is not complete (state ${record.state})`);
    const zipPath = path.join(this.zipDir, `${record.crash_id}.zip`);
    if (!fs.existsSync(zipPath)) {
      fs.mkdirSync(this.zipDir, { recursive: true });
      await decryptPackageZip(this.dataDir, record, this.keys.privateKeyPem, zipPath);
    }
    return zipPath;
  }

  // Uploads to an external store bypass this server: the object's presence
  // there is what says the package is complete.
  async refreshState(record) {
    if (!record.key || record.state === 'complete' || this.store.isLocal) return;
    const size = await this.store.size(record.key).catch(() => null);
    if (size !== null) {
      this.records.update(record.crash_id, (r) => Object.assign(r, { state: 'complete', size }));
    }
  }

  async view(record) {
    const reg = record.registration || {};
    const view = {
      crash_id: record.crash_id, state: record.state, type: record.type, file: record.file,
      customer_id: record.customer_id, issued: record.issued, received: record.received,
      build: reg['client-product-build'],
      system: reg['system-os'] === undefined ? undefined
        : [reg['system-os'], reg['system-os-version'], reg['system-os-arch']].join(' '),
      encrypted_size: record.size, unencrypted_size: reg['enc-unencrypted-content-length'],
      metadata: Object.fromEntries(Object.entries(reg).filter(([k]) => k.startsWith('client-') && !kOwnColumns.includes(k))),
    };
    try {
      if (reg['client-custom-data']) {
        view.custom_data = decryptCustomData(reg, unwrapContentKey(reg, this.keys.privateKeyPem));
      }
      const zipPath = record.state === 'complete' || !this.store.isLocal ? await this.decryptedZip(record) : null;
      if (zipPath) {
        let cached = this.entries.get(record.crash_id);
        if (!cached || cached.uploadId !== record.upload_id) {
          cached = { uploadId: record.upload_id, entries: listEntries(zipPath).map((e) => ({ name: e.name, size: e.size })) };
          this.entries.set(record.crash_id, cached);
        }
        view.entries = cached.entries;
        view.zip_url = `/api/packages/${record.crash_id}/zip`;
      }
      view.encrypted_size = record.size;
      view.state = record.state;
    } catch (e) {
      if (record.state === 'complete') view.error = e.message;
    }
    // What the manifest leaves out keeps the registration's word.
    for (const [k, v] of Object.entries(this.crashView(record))) if (v !== undefined) view[k] = v;
    return view;
  }

  // What the analysis found, or that it is still to come; a complete crash
  // without a current one (an external store's upload, a record from before
  // a restart) has it started here.
  crashView(record) {
    if (record.type !== 'crash') return {};
    if (Analyses.wanted(record)) void this.analyses.request(record.crash_id);
    if (!Analyses.isCurrent(record)) return { analysis: record.state === 'complete' ? 'pending' : 'none' };
    const a = record.analysis;
    const m = a.manifest || {};
    const text = (v) => (typeof v === 'string' && v !== '' ? v : undefined);
    const system = [m.os, m['os-version'], m['processor-architecture']].map(text).filter(Boolean).join(' ');
    return {
      analysis: 'done', client_crash_id: a.client_crash_id, manifest: a.manifest, manifest_error: a.manifest_error,
      application: text(m.application) || text(m.executable), crash_time: m['crash-time'] ?? m.timestamp, host: text(m.host),
      build: text(m['product-build']), system: system || undefined, dumps_size: a.dumps_size,
      threads: a.backtrace.threads, backtrace_error: a.backtrace.error,
    };
  }
}

module.exports = { Routes, classify, sendJson };
