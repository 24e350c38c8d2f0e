// The pages, rendered on the server: complete without JavaScript, so that
// curl, a screenshot or a browser without scripts shows what arrived. Every
// value from a client passes through escapeHtml; nothing else makes markup.
//
// renderIndex(views) and renderCrash(view) take the views Routes makes (see
// Routes.view) and return the whole document as a string.
'use strict';
const os = require('os');

const kTopFrames = 5;
// The first name of a number is its usual one (SIGABRT, not SIGIOT).
const kSignalNames = {};
for (const [name, n] of Object.entries(os.constants.signals)) kSignalNames[n] ??= name;

function escapeHtml(value) {
  return String(value ?? '').replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' })[c]);
}

// Tagged template: the interpolated values are escaped, except those made by
// raw() (markup this file built).
class Raw {
  constructor(html) {
    this.html = html;
  }
}
const raw = (html) => new Raw(html);
function html(strings, ...values) {
  const part = (v) => (v instanceof Raw ? v.html : Array.isArray(v) ? v.map(part).join('') : escapeHtml(v));
  return raw(strings.reduce((out, s, i) => out + s + (i < values.length ? part(values[i]) : ''), ''));
}

function bytes(n) {
  if (typeof n !== 'number' || !Number.isFinite(n)) return '';
  if (n < 1024) return `${n} B`;
  const units = ['KiB', 'MiB', 'GiB', 'TiB'];
  let value = n / 1024;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) value /= 1024, unit += 1;
  return `${value.toFixed(1)} ${units[unit]}`;
}

function time(value) {
  if (value === undefined || value === null || value === '') return '';
  const date = typeof value === 'number' ? new Date(value * 1000) : new Date(value);
  return Number.isNaN(date.getTime()) ? String(value) : date.toISOString().replace('T', ' ').replace(/\.\d+Z$/, ' UTC');
}

// "SIGSEGV (11)" from the manifest's number, else lldb's stop reason; the
// assertion or exception text the manifest carries follows it.
function whatHappened(view) {
  const m = view.manifest || {};
  const crashed = (view.threads || []).find((t) => t.crashed);
  let text = '';
  if (typeof m.signal === 'number') text = kSignalNames[m.signal] ? `${kSignalNames[m.signal]} (${m.signal})` : `signal ${m.signal}`;
  else if (crashed && crashed.reason) text = crashed.reason;
  const detail = ['exception', 'assertion', 'abort-message'].map((k) => m[k]).find((v) => typeof v === 'string' && v !== '');
  return detail ? `${text}${text ? ': ' : ''}${detail}` : text;
}

function backtraceSummary(view) {
  if (view.backtrace_error) return html`<p class="error">no backtrace: ${view.backtrace_error}</p>`;
  if (view.analysis === 'pending') return html`<p class="muted">backtrace being made&hellip;</p>`;
  const crashed = (view.threads || []).find((t) => t.crashed) || (view.threads || [])[0];
  if (!crashed) return '';
  return html`<ol class="frames">${crashed.frames.slice(0, kTopFrames).map((f, i) => html`<li title="${f}"><span class="n">#${i}</span> ${f}</li>`)}</ol>`;
}

const kStyle = `
  body { font: 14px system-ui, sans-serif; margin: 16px; color: #222; max-width: 1248px; }
  table { border-collapse: collapse; width: 100%; table-layout: fixed; }
  th, td { border: 1px solid #ccc; padding: 4px 6px; text-align: left; vertical-align: top; overflow-wrap: anywhere; }
  th { background: #f0f0f0; }
  .mono, .frames, pre { font-family: ui-monospace, monospace; font-size: 12px; }
  .frames { margin: 0; padding-left: 1.8em; }
  /* A C++ frame can run to hundreds of characters; the list shows its start. */
  td .frames { list-style: none; padding-left: 0; }
  td .frames li { line-height: 1.35em; max-height: 4.05em; overflow: hidden; word-break: break-all; }
  .n { color: #888; }
  .muted { color: #666; font-size: 12px; }
  .error { color: #b00; margin: 0; }
  .state-complete { color: #080; } .state-uploading { color: #06a; } .state-registered, .state-issued { color: #a60; }
  ul { margin: 0; padding-left: 1.2em; }
  h2 { font-size: 16px; margin-top: 1.5em; }
  pre { background: #f7f7f7; border: 1px solid #ddd; padding: 6px; white-space: pre-wrap; overflow-wrap: anywhere; }
  .thread.crashed h3 { color: #b00; }
  h3 { font-size: 14px; margin: 1em 0 0.3em; }
`;

function documentOf(title, body) {
  return html`<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width">
<title>${title}</title>
<style>${raw(kStyle)}</style>
</head>
<body>
${body}
</body>
</html>
`.html;
}

function indexRow(v) {
  const name = v.client_crash_id || v.crash_id;
  return html`<tr data-crash-id="${v.crash_id}">
<td class="c-crash"><a class="mono" href="/crashes/${v.crash_id}">${name}</a>${v.client_crash_id ? html`<div class="muted mono">server ${v.crash_id}</div>` : ''}</td>
<td class="c-application">${v.application}<div class="muted">${v.type} &middot; <span class="state-${v.state}">${v.state}</span></div></td>
<td class="c-signal">${whatHappened(v)}</td>
<td class="c-crashed">${time(v.crash_time)}<div class="muted">${v.host}</div></td>
<td class="c-build">${v.build}<div class="muted">${v.system}</div></td>
<td class="c-dumps">${bytes(v.dumps_size)}</td>
<td class="c-frames">${backtraceSummary(v)}</td>
<td class="c-received">${time(v.received || v.issued)}${v.zip_url ? html`<div><a href="${v.zip_url}" download>decrypted zip</a></div>` : ''}</td>
</tr>`;
}

function renderIndex(views) {
  return documentOf('Local crash server: arrived packages', html`<h1>Arrived packages</h1>
<p>${views.length} package(s), newest first.</p>
<table id="packages">
<colgroup><col style="width:13%"><col style="width:11%"><col style="width:8%"><col style="width:10%"><col style="width:9%"><col style="width:7%"><col style="width:33%"><col style="width:9%"></colgroup>
<thead><tr><th>Crash</th><th>Application</th><th>Signal</th><th>Crashed at, host</th><th>Build, system</th><th>Dumps</th><th>Top frames of the crashing thread</th><th>Received</th></tr></thead>
<tbody>
${views.map(indexRow)}
</tbody>
</table>`);
}

function threadSection(t) {
  return html`<section class="thread${t.crashed ? ' crashed' : ''}" data-thread="${t.id}">
<h3>Thread #${t.id}${t.crashed ? ' (crashed)' : ''}${t.reason ? `: ${t.reason}` : ''}</h3>
<ol class="frames" start="0">${t.frames.map((f) => html`<li>${f}</li>`)}</ol>
</section>`;
}

function facts(v) {
  const rows = [
    ['Client crash id', v.client_crash_id], ['Server crash id', v.crash_id], ['Kind', v.type], ['State', v.state],
    ['Application', v.application], ['Signal or exception', whatHappened(v)], ['Crashed at', time(v.crash_time)],
    ['Host', v.host], ['Build', v.build], ['System', v.system], ['Received', time(v.received || v.issued)],
    ['Dumps', bytes(v.dumps_size)], ['Encrypted size', v.encrypted_size], ['Unencrypted size', v.unencrypted_size],
    ['Custom data', v.custom_data],
  ];
  return html`<table class="facts"><colgroup><col style="width:18%"><col></colgroup>${rows
    .filter(([, value]) => value !== undefined && value !== null && value !== '')
    .map(([k, value]) => html`<tr><th>${k}</th><td class="c-${k.toLowerCase().replace(/\W+/g, '-')}">${value}</td></tr>`)}</table>`;
}

function renderCrash(v) {
  const metadata = Object.entries(v.metadata || {}).map(([k, value]) => `${k}: ${typeof value === 'string' ? value : JSON.stringify(value)}`);
  let threads;
  if (v.backtrace_error) threads = html`<p class="error">no backtrace: ${v.backtrace_error}</p>`;
  else if (v.analysis === 'pending') threads = html`<p class="muted">backtrace being made&hellip;</p>`;
  else threads = (v.threads || []).map(threadSection);
  return documentOf(`Crash ${v.client_crash_id || v.crash_id}`, html`<p><a href="/">&larr; all packages</a></p>
<h1>Crash <span class="mono">${v.client_crash_id || v.crash_id}</span></h1>
${facts(v)}
${v.zip_url ? html`<p><a href="${v.zip_url}" download>Download the decrypted zip</a></p>` : ''}
${v.error ? html`<p class="error">${v.error}</p>` : ''}
<h2>Threads (${(v.threads || []).length})</h2>
${threads}
<h2>Files</h2>
<ul class="files">${(v.entries || []).map((e) => html`<li><span class="mono">${e.name}</span> (${e.size} bytes)</li>`)}</ul>
<h2>Metadata</h2>
<ul class="metadata">${metadata.map((m) => html`<li>${m}</li>`)}</ul>
<h2>Manifest</h2>
${v.manifest_error ? html`<p class="error">${v.manifest_error}</p>` : ''}
${v.manifest ? html`<pre class="manifest">${JSON.stringify(v.manifest, null, 2)}</pre>` : ''}`);
}

module.exports = { renderIndex, renderCrash, escapeHtml };
