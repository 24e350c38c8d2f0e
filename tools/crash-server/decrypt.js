#!/usr/bin/env node
// Shows what arrived at the local crash server, decrypted with its key.
//
//   node decrypt.js --data DIR <crash_id>                  registration, then the zip's entries
//   node decrypt.js --data DIR <crash_id> --extract OUTDIR  the zip's entries as files
//   node decrypt.js --data DIR <crash_id> --zip OUTFILE     the decrypted zip itself
//   node decrypt.js --data DIR <crash_id> --key             the content key, as hex
//   node decrypt.js --help
//
// <crash_id> is the server's crash id or the client's (the correlation id in
// the crash's manifest, which the program shows in its crash directory's
// name and in `list`). Reads the package record and the stored object from
// DIR; the server need not run. --key unwraps only the key, so it works before the object is
// complete (a soak run looks for the key's bytes in what the program wrote).
// Exits 1 with a message naming the crash id or file on failure (a
// tag that does not verify, an unknown id), 2 on bad arguments.
'use strict';
process.env.AWS_SDK_JS_NODE_VERSION_SUPPORT_WARNING_DISABLED ??= 'true';
const fs = require('fs');
const os = require('os');
const path = require('path');

const kUsage = 'usage: decrypt.js --data DIR <crash_id> [--extract OUTDIR | --zip OUTFILE | --key]';
const kHelp = `${kUsage}

Decrypts a package that arrived at the local crash server, with the server's
private key in DIR. <crash_id> is the server's crash id or the client's crash
id (the correlation id of the crash, as in its crash directory's name and in
\`list\`).

  (no option)       print the registration, then the zip's entries
  --extract OUTDIR  write the zip's entries as files under OUTDIR
  --zip OUTFILE     write the decrypted zip
  --key             print the content key as hex (works before the upload ends)
  --help            show this text`;

function parseArgs(argv) {
  const options = { data: null, crashId: null, extract: null, zip: null, key: false };
  if (argv.includes('--help') || argv.includes('-h')) return { help: true };
  for (let i = 0; i < argv.length; ++i) {
    if (argv[i] === '--key') {
      options.key = true;
      continue;
    }
    const name = { '--data': 'data', '--extract': 'extract', '--zip': 'zip' }[argv[i]];
    if (name) {
      if (i + 1 >= argv.length) return `${argv[i]} needs a value`;
      options[name] = argv[++i];
    } else if (argv[i].startsWith('-') || options.crashId !== null) {
      return `unexpected argument "${argv[i]}"`;
    } else {
      options.crashId = argv[i];
    }
  }
  if (!options.data) return '--data is required';
  if (options.crashId === null) return 'the crash id is required';
  if ([options.extract, options.zip, options.key].filter(Boolean).length > 1) {
    return '--extract, --zip and --key exclude each other';
  }
  return options;
}

// Writes each entry under `outDir`; a name that would leave it is refused.
function extract(zipPath, outDir) {
  const { listEntries, readEntry } = require('./lib/zip');
  const root = path.resolve(outDir);
  for (const entry of listEntries(zipPath)) {
    const target = path.resolve(root, entry.name);
    if (!target.startsWith(root + path.sep)) throw new Error(`zip entry "${entry.name}" points outside ${root}`);
    if (entry.name.endsWith('/')) {
      fs.mkdirSync(target, { recursive: true });
      continue;
    }
    fs.mkdirSync(path.dirname(target), { recursive: true });
    fs.writeFileSync(target, readEntry(zipPath, entry));
    console.log(`${entry.name} (${entry.size} bytes)`);
  }
}

// The record of a server crash id, else of the newest package whose manifest
// holds that client crash id. The server notes the client's id once it has
// looked into a package; one it has not looked into yet is decrypted here.
async function findRecord(dataDir, id, privateKeyPem) {
  const { readRecord, readAllRecords, kIdPattern } = require('./lib/packages');
  if (!kIdPattern.test(id)) throw new Error(`"${id}" is not a crash id (32 hexadecimal digits)`);
  try {
    return readRecord(dataDir, id);
  } catch (e) {
    if (!/^no package/.test(e.message)) throw e;
  }
  const records = readAllRecords(dataDir);
  const noted = records.find((r) => r.analysis && r.analysis.upload_id === r.upload_id && r.analysis.client_crash_id === id);
  if (noted) return noted;
  const { decryptPackageZip } = require('./lib/package-crypto');
  const { readPackage } = require('./lib/analysis');
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'zor-decrypt-'));
  try {
    for (const record of records) {
      if (record.type !== 'crash' || record.state !== 'complete' || record.analysis) continue;
      const zipPath = path.join(scratch, `${record.crash_id}.zip`);
      try {
        await decryptPackageZip(dataDir, record, privateKeyPem, zipPath);
        if (readPackage(zipPath).out.client_crash_id === id) return record;
      } catch (e) {
        console.error(`decrypt: skipping ${record.crash_id}: ${e.message}`);
      } finally {
        fs.rmSync(zipPath, { force: true });
      }
    }
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
  throw new Error(`no package with crash id ${id}, neither the server's nor the client's (${path.join(dataDir, 'packages')})`);
}

async function main() {
  const options = parseArgs(process.argv.slice(2));
  if (typeof options === 'string') {
    console.error(`decrypt: ${options}\n${kUsage}`);
    process.exit(2);
  }
  if (options.help) return console.log(kHelp);
  const { decryptPackageZip } = require('./lib/package-crypto');
  const dataDir = path.resolve(options.data);
  const privatePath = path.join(dataDir, 'private-key.pem');
  let privateKeyPem;
  try {
    privateKeyPem = fs.readFileSync(privatePath, 'utf8');
  } catch (e) {
    throw new Error(`${privatePath}: ${e.message}`);
  }
  const record = await findRecord(dataDir, options.crashId, privateKeyPem);
  if (options.key) {
    if (!record.registration) throw new Error(`package ${record.crash_id}: not registered yet (state ${record.state})`);
    const { unwrapContentKey } = require('./lib/package-crypto');
    try {
      console.log(unwrapContentKey(record.registration, privateKeyPem).toString('hex'));
    } catch (e) {
      throw new Error(`package ${record.crash_id}: ${e.message}`);
    }
    return;
  }
  if (options.zip) {
    await decryptPackageZip(dataDir, record, privateKeyPem, path.resolve(options.zip));
    return;
  }
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'zor-decrypt-'));
  try {
    const zipPath = path.join(scratch, `${record.crash_id}.zip`);
    await decryptPackageZip(dataDir, record, privateKeyPem, zipPath);
    if (options.extract) return extract(zipPath, options.extract);
    console.log(JSON.stringify(record.registration, null, 2));
    const { unwrapContentKey, decryptCustomData } = require('./lib/package-crypto');
    const customData = decryptCustomData(record.registration, unwrapContentKey(record.registration, privateKeyPem));
    if (customData !== null) console.log(`client-custom-data, decrypted: ${customData}`);
    for (const entry of require('./lib/zip').listEntries(zipPath)) console.log(`${entry.size}\t${entry.name}`);
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
  return undefined;
}

main().catch((e) => {
  console.error(`decrypt: ${e.message}`);
  process.exit(1);
});
