// The thin front of the local store: presigned URLs point at /store/... on the
// server itself, and these requests pass on to s3rver. Part bodies stream
// through without buffering. The front follows each package's progress in its
// record, and answers a repeated completion with the same part list itself:
// S3 answers that with success (its SDKs retry completions), s3rver 3.7 with
// 500 InternalError, and a run killed during the completion repeats it.
'use strict';
const http = require('http');

const kPrefix = '/store';

// "1:etag,2:etag" of a completion body, quotes removed as S3 compares them.
function partList(xml) {
  const parts = [];
  const pattern = /<Part>\s*<PartNumber>\s*(\d+)\s*<\/PartNumber>\s*<ETag>([^<]*)<\/ETag>\s*<\/Part>/g;
  for (let m = pattern.exec(xml); m; m = pattern.exec(xml)) parts.push(`${Number(m[1])}:${m[2].replace(/"/g, '')}`);
  return parts.join(',');
}

function readAll(stream) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    stream.on('data', (c) => chunks.push(c));
    stream.on('end', () => resolve(Buffer.concat(chunks)));
    stream.on('error', reject);
  });
}

class StoreFront {
  // `onComplete(crashId)` is called once the completion of a package has
  // been answered.
  constructor(store, records, recorder, onComplete = () => {}) {
    this.store = store;        // weak
    this.records = records;    // weak
    this.recorder = recorder;  // weak
    this.onComplete = onComplete;
  }

  static owns(pathname) {
    return pathname === kPrefix || pathname.startsWith(`${kPrefix}/`);
  }

  static classify(method, url) {
    const q = url.searchParams;
    if (method === 'PUT' && q.has('partNumber') && q.has('uploadId')) return 'part';
    if (method === 'POST' && q.has('uploadId')) return 'complete';
    return 'other';
  }

  // The crash id in "/store/<bucket>/<type>/<crash_id>/<file>".
  static crashIdOf(url) {
    return url.pathname.split('/')[4] || '';  // hexadecimal: nothing to decode
  }

  async handle(req, res, url, entry) {
    if (!this.store.isLocal) return sendError(res, 404, 'no local store: this server uses an external one');
    const crashId = StoreFront.crashIdOf(url);
    const uploadId = url.searchParams.get('uploadId');
    if (entry.kind === 'complete') {
      this.recorder.tap(req, entry);
      const body = await readAll(req);
      const parts = partList(body.toString('utf8'));
      const record = this.records.get(crashId);
      if (record && record.state === 'complete' && record.upload_id === uploadId &&
          record.completion && record.completion.parts === parts) {
        res.writeHead(200, { 'content-type': 'application/xml' });
        return res.end(record.completion.reply);
      }
      if (parts === '' && record && record.upload_id === uploadId) {
        await this.store.completeEmpty(record.key, uploadId);
        const replyBody = `<CompleteMultipartUploadResult><Key>${record.key}</Key></CompleteMultipartUploadResult>`;
        this.records.update(crashId, (r) => {
          r.state = 'complete';
          r.completed = new Date().toISOString();
          r.size = 0;
          r.completion = { parts, reply: replyBody };
        });
        res.writeHead(200, { 'content-type': 'application/xml' });
        res.end(replyBody);
        this.onComplete(crashId);
        return undefined;
      }
      // S3 refuses a completion naming a part it does not hold (a 200 that a
      // fault faked); s3rver 3.7 dies reading the missing part file instead.
      if (record && record.upload_id === uploadId) {
        const held = record.parts || {};
        if (parts.split(',').some((p) => p !== '' && !(p.split(':')[0] in held))) {
          res.writeHead(400, { 'content-type': 'application/xml' });
          return res.end('<Error><Code>InvalidPart</Code><Message>One or more of the specified parts ' +
            'could not be found.</Message></Error>');
        }
      }
      const reply = await this.forward(req, url, body);
      const { host, port } = this.store.localTarget;
      // The reply names the object at s3rver's own address; name the front's.
      const replyBody = (await readAll(reply)).toString('utf8')
        .split(`http://${host}:${port}/`).join(`${this.store.publicBase}${kPrefix}/`);
      if (reply.statusCode === 200 && record) {
        const size = await this.store.size(record.key);
        this.records.update(crashId, (r) => {
          r.state = 'complete';
          r.completed = new Date().toISOString();
          r.size = size;
          r.completion = { parts, reply: replyBody };
        });
      }
      res.writeHead(reply.statusCode, endToEnd(reply.headers, { 'content-length': Buffer.byteLength(replyBody) }));
      res.end(replyBody);
      if (reply.statusCode === 200 && record) this.onComplete(crashId);
      return undefined;
    }
    const reply = await this.forward(req, url, null, entry);
    if (entry.kind === 'part' && reply.statusCode === 200) {
      const n = url.searchParams.get('partNumber');
      this.records.update(crashId, (r) => {
        if (r.upload_id !== uploadId) return;
        if (r.state !== 'complete') r.state = 'uploading';
        r.parts = { ...r.parts, [n]: { size: entry.bodyLength, etag: reply.headers.etag } };
      });
    }
    res.writeHead(reply.statusCode, endToEnd(reply.headers));
    reply.pipe(res);
  }

  // Sends the request on to s3rver with `body`, or with req's own body
  // streamed when `body` is null; resolves with s3rver's reply.
  forward(req, url, body, entry) {
    const { host, port } = this.store.localTarget;
    const headers = { ...req.headers, host: `${host}:${port}` };
    if (body) {
      delete headers['transfer-encoding'];
      headers['content-length'] = String(body.length);
    }
    return new Promise((resolve, reject) => {
      // A request destroyed before its end was read (its client went away
      // while a delay fault held it) delivers nothing more, even when all of
      // it had arrived: passed on, it would hold s3rver's connection, and so
      // its close, open for good.
      if (!body && req.destroyed && !req.readableEnded) {
        return reject(new Error('the client went away before its body was passed on'));
      }
      // A fresh connection each time: a kept-alive one may be closing at s3rver.
      const out = http.request({
        host, port, method: req.method, path: url.pathname.slice(kPrefix.length) + url.search, headers, agent: false,
      });
      out.on('response', resolve);
      out.on('error', reject);
      if (body) return out.end(body);
      req.pipe(out);
      if (entry) this.recorder.tap(req, entry);
      req.on('close', () => {
        if (!req.readableEnded) out.destroy();
      });
    });
  }
}

// The reply headers worth passing on: the connection-level ones belong to
// the hop between this server and s3rver.
function endToEnd(headers, changes = {}) {
  const out = { ...headers, ...changes };
  for (const name of ['connection', 'keep-alive', 'transfer-encoding']) delete out[name];
  return out;
}

function sendError(res, status, message) {
  res.writeHead(status, { 'content-type': 'application/json' });
  res.end(JSON.stringify({ error: message }));
}

module.exports = { StoreFront, sendError };
