// What tests see and steer: the list of requests received (with what was
// answered) and the faults to inject. Single-threaded like the rest of the
// server, so no locking.
'use strict';

const kKinds = ['key', 'register', 'upload-id', 'part-url', 'complete-url', 'part', 'complete', 'page', 'other'];
const kActions = ['status', 'drop', 'hang', 'delay', 'hold'];
const kKeptBodyLimit = 64 * 1024;

// Header names in lower case with the values exactly as received; a repeated
// name joins its values with ", " (Node's req.headers would drop some).
function receivedHeaders(req) {
  const headers = {};
  for (let i = 0; i + 1 < req.rawHeaders.length; i += 2) {
    const name = req.rawHeaders[i].toLowerCase();
    headers[name] = name in headers ? `${headers[name]}, ${req.rawHeaders[i + 1]}` : req.rawHeaders[i + 1];
  }
  return headers;
}

class Recorder {
  constructor() {
    this.reset();
  }

  reset() {
    this.requests = [];
    this.faults = [];
    this.release();
  }

  // A promise that settles at the next release(): a "hold" fault keeps its
  // request waiting on it, so a test decides when the request goes on.
  hold() {
    return new Promise((resolve) => this.held.push(resolve));
  }

  // Lets every held request go on; returns how many there were.
  release() {
    const held = this.held || [];
    this.held = [];
    for (const resolve of held) resolve();
    return held.length;
  }

  // Starts the entry of `req` (in arrival order); its status is filled in when
  // the reply is sent and stays 0 when none is (drop, hang).
  begin(req, url, kind) {
    const entry = {
      kind, method: req.method, path: url.pathname, query: Object.fromEntries(url.searchParams),
      headers: receivedHeaders(req), bodyLength: 0, body: '', status: 0,
    };
    this.requests.push(entry);
    return entry;
  }

  // Counts (and for small non-part bodies keeps) the body bytes of `req` as
  // they flow. Call when the body starts being consumed, not before: a data
  // listener starts the flow.
  tap(req, entry) {
    const kept = [];
    req.on('data', (chunk) => {
      entry.bodyLength += chunk.length;
      if (entry.kind !== 'part' && entry.bodyLength <= kKeptBodyLimit) kept.push(chunk);
    });
    req.on('end', () => {
      entry.body = entry.bodyLength <= kKeptBodyLimit ? Buffer.concat(kept).toString('utf8') : '';
    });
  }

  // Adds a fault from the POST /_test/faults body; returns an error text for
  // a bad one, else null.
  addFault(spec) {
    const { kind, nth, action } = spec || {};
    if (!kKinds.includes(kind)) return `fault "kind" must be one of ${kKinds.join(', ')}`;
    if (!Number.isInteger(nth) || nth < 1) return 'fault "nth" must be an integer from 1';
    if (!kActions.includes(action)) return `fault "action" must be one of ${kActions.join(', ')}`;
    const times = spec.times === undefined ? 1 : spec.times;
    if (!Number.isInteger(times) || times < 1) return 'fault "times" must be an integer from 1';
    if (action === 'status' && !(Number.isInteger(spec.status) && spec.status >= 100 && spec.status <= 599)) {
      return 'fault "status" must be an HTTP status from 100 to 599';
    }
    if (action === 'delay' && !(Number.isInteger(spec.ms) && spec.ms >= 0)) return 'fault "ms" must be an integer from 0';
    const headers = spec.headers === undefined ? {} : spec.headers;
    if (typeof headers !== 'object' || headers === null || Object.values(headers).some((v) => typeof v !== 'string')) {
      return 'fault "headers" must be an object of strings';
    }
    this.faults.push({
      kind, first: nth, last: nth + times - 1, seen: 0, action,
      status: spec.status, body: typeof spec.body === 'string' ? spec.body : '', ms: spec.ms, headers,
    });
    return null;
  }

  // The fault that applies to the request of `kind` arriving now, or null.
  // Every fault of the kind counts the request; the first one due wins.
  takeFault(kind) {
    let due = null;
    for (const fault of this.faults) {
      if (fault.kind !== kind) continue;
      fault.seen += 1;
      if (!due && fault.seen >= fault.first && fault.seen <= fault.last) due = fault;
    }
    this.faults = this.faults.filter((f) => f.seen < f.last);
    return due;
  }
}

module.exports = { Recorder, kKinds };
