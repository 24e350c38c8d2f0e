// Decrypts what the package encryptor wrote with Node's own crypto, as an
// implementation independent of the program's. Reads the ".zormeta" file
// itself, so that its Base64 is checked by another decoder too.
//
//   node gcm_decrypt.js wrapped-key <zormeta> <out>
//       writes the decoded "enc-key" (the RSA-wrapped content key) to <out>
//   node gcm_decrypt.js package <zormeta> <key file> <enc file> <out>
//       decrypts the ".enc" file with "enc-iv" and "enc-tag"
//
// Exits 1 with a message when the tag does not verify or anything is missing.
'use strict';
const crypto = require('crypto');
const fs = require('fs');

try {
  const [mode, metaPath, keyPath, ...rest] = process.argv.slice(2);
  const meta = JSON.parse(fs.readFileSync(metaPath, 'utf8'));
  const member = (name) => {
    if (typeof meta[name] !== 'string') throw new Error(`member "${name}" missing`);
    return Buffer.from(meta[name], 'base64');
  };
  if (mode === 'wrapped-key') {
    fs.writeFileSync(keyPath, member('enc-key'));
  } else {
    const input = fs.readFileSync(rest[0]);
    const key = fs.readFileSync(keyPath);
    const d = crypto.createDecipheriv('aes-256-gcm', key, member('enc-iv'));
    d.setAuthTag(member('enc-tag'));
    // final() throws when the tag does not verify.
    fs.writeFileSync(rest[1], Buffer.concat([d.update(input), d.final()]));
  }
} catch (e) {
  console.error(`gcm_decrypt: ${e.message}`);
  process.exit(1);
}
