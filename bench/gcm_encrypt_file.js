// File-to-file AES-256-GCM in Node's crypto with 1 MiB chunks: the reference
// that bench/run_crypto_bench.sh compares EncryptFile with.
// Usage: node gcm_encrypt_file.js INPUT OUTPUT
'use strict';
const crypto = require('crypto');
const fs = require('fs');

const [inPath, outPath] = process.argv.slice(2);
const cipher = crypto.createCipheriv('aes-256-gcm', crypto.randomBytes(32), crypto.randomBytes(12));
const input = fs.openSync(inPath, 'r');
const output = fs.openSync(outPath, 'w');
const chunk = Buffer.alloc(1 << 20);
for (let n; (n = fs.readSync(input, chunk, 0, chunk.length, null)) > 0;) {
  fs.writeSync(output, cipher.update(chunk.subarray(0, n)));
}
fs.writeSync(output, cipher.final());
fs.closeSync(input);
fs.closeSync(output);
process.stdout.write(`tag: ${cipher.getAuthTag().toString('hex')}\n`);
