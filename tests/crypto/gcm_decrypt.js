// Decrypts what the package encryptor wrote with Node's own crypto, as an
// implementation independent of the program's. Reads the ".zormeta" file
// itself, so that its Base64 is checked by another decoder too.
//
//   node gcm_decrypt.js wrapped-key <zormeta> <out>
//       writes the decoded "enc-key" (the RSA-wrapped content key) to <out>
//   node gcm_decrypt.js package <zormeta> <key file> <enc file> <out>
//       decrypts the ".enc" file with "enc-iv" and "enc-tag"
//   node gcm_decrypt.js custom-data <zormeta> <key file> <out>
//       decrypts "client-custom-data" with its own IV and tag
//
// Exits 1 with a message when the tag does not verify or anything is missing.
'use strict';
const crypto = require('crypto');
const fs = require('fs');

function member(meta, name) {
  if (typeof meta[name] !== 'string') throw new Error(`member "${name}" missing or not a string`);
  return Buffer.from(meta[name], 'base64');
}

function decipher(key, iv, tag) {
  if (key.length !== 32) throw new Error(`content key has ${key.length} bytes, not 32`);
  const d = crypto.createDecipheriv('aes-256-gcm', key, iv);
  d.setAuthTag(tag);
  return d;
}

function decryptFile(d, inPath, outPath) {
  const input = fs.openSync(inPath, 'r');
  const output = fs.openSync(outPath, 'w');
  const chunk = Buffer.alloc(1 << 20);
  for (let n; (n = fs.readSync(input, chunk, 0, chunk.length, null)) > 0;) {
    fs.writeSync(output, d.update(chunk.subarray(0, n)));
  }
  fs.writeSync(output, d.final());  // throws when the tag does not verify
  fs.closeSync(input);
  fs.closeSync(output);
}

try {
  const [mode, metaPath, ...rest] = process.argv.slice(2);
  const meta = JSON.parse(fs.readFileSync(metaPath, 'utf8'));
  if (mode === 'wrapped-key') {
    fs.writeFileSync(rest[0], member(meta, 'enc-key'));
  } else if (mode === 'package') {
    const [keyPath, encPath, outPath] = rest;
    const d = decipher(fs.readFileSync(keyPath), member(meta, 'enc-iv'), member(meta, 'enc-tag'));
    decryptFile(d, encPath, outPath);
  } else if (mode === 'custom-data') {
    const [keyPath, outPath] = rest;
    const d = decipher(fs.readFileSync(keyPath), member(meta, 'client-custom-data-iv'),
                       member(meta, 'client-custom-data-tag'));
    fs.writeFileSync(outPath, Buffer.concat([d.update(member(meta, 'client-custom-data')),
                                             d.final()]));
  } else {
    throw new Error(`unknown mode "${mode}"`);
  }
} catch (e) {
  console.error(`gcm_decrypt: ${e.message}`);
  process.exit(1);
}
