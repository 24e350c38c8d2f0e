// Decryption of what the program uploads: the content key is wrapped with
// RSA-OAEP (SHA-1 for the hash and MGF1) under the server's public key; the
// package file and the optional custom data are AES-256-GCM without AAD, with
// IVs and tags in the registration ("enc-*" and "client-custom-data*" members).
'use strict';
const crypto = require('crypto');
const fs = require('fs');
const { pipeline } = require('stream/promises');
const { openObject } = require('./store');

function member(registration, name) {
  const value = registration[name];
  if (typeof value !== 'string' || value === '') throw new Error(`registration member "${name}" missing`);
  return Buffer.from(value, 'base64');
}

// The 32-byte content key of a registration, unwrapped with `privateKeyPem`.
function unwrapContentKey(registration, privateKeyPem) {
  const key = crypto.privateDecrypt(
    { key: privateKeyPem, padding: crypto.constants.RSA_PKCS1_OAEP_PADDING, oaepHash: 'sha1' },
    member(registration, 'enc-key'));
  if (key.length !== 32) throw new Error(`content key has ${key.length} bytes, not 32`);
  return key;
}

function decipher(contentKey, iv, tag) {
  const d = crypto.createDecipheriv('aes-256-gcm', contentKey, iv);
  d.setAuthTag(tag);
  return d;
}

// Decrypts the readable `encrypted` into the file `outPath`, written as
// ".<name>.tmp" beside it and renamed once the tag verifies; on any failure
// nothing is left at either path and the error is thrown.
async function decryptToFile(registration, contentKey, encrypted, outPath) {
  const d = decipher(contentKey, member(registration, 'enc-iv'), member(registration, 'enc-tag'));
  const slash = outPath.lastIndexOf('/') + 1;
  const tmpPath = `${outPath.slice(0, slash)}.${outPath.slice(slash)}.tmp`;
  try {
    await pipeline(encrypted, d, fs.createWriteStream(tmpPath));
    fs.renameSync(tmpPath, outPath);
  } catch (e) {
    fs.rmSync(tmpPath, { force: true });
    if (/authenticate/.test(e.message)) throw new Error('the GCM tag does not verify (wrong key or damaged file)');
    throw e;
  }
}

// The decrypted "client-custom-data" as text, or null when the registration
// carries none. Throws when its tag does not verify.
function decryptCustomData(registration, contentKey) {
  if (!registration['client-custom-data']) return null;
  const d = decipher(contentKey, member(registration, 'client-custom-data-iv'),
    member(registration, 'client-custom-data-tag'));
  try {
    return Buffer.concat([d.update(member(registration, 'client-custom-data')), d.final()]).toString('utf8');
  } catch (e) {
    throw new Error(`client-custom-data: ${e.message}`);
  }
}

// Decrypts the stored package of `record` (a package record) into the zip
// file `outPath`, as decryptToFile does. Throws naming the crash id.
async function decryptPackageZip(dataDir, record, privateKeyPem, outPath) {
  try {
    if (!record.registration) throw new Error(`not registered yet (state ${record.state})`);
    const contentKey = unwrapContentKey(record.registration, privateKeyPem);
    await decryptToFile(record.registration, contentKey, await openObject(record.store, dataDir, record.key), outPath);
  } catch (e) {
    throw new Error(`package ${record.crash_id}: ${e.message}`);
  }
}

module.exports = { unwrapContentKey, decryptToFile, decryptCustomData, decryptPackageZip };
