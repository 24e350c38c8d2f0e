// The server's long-lived material in its data directory, made on first use
// and kept across restarts so that packages encrypted for an earlier run stay
// readable: the RSA-2048 key pair (private-key.pem, public-key.pem) and, for
// HTTPS, a self-signed certificate for 127.0.0.1 and localhost (tls/).
'use strict';
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');

function writeNew(file, text, mode) {
  const tmp = path.join(path.dirname(file), `.${path.basename(file)}.tmp`);
  fs.writeFileSync(tmp, text, { mode });
  fs.renameSync(tmp, file);
}

// Returns {privateKeyPem, publicKeyPem, keyId}. The key id is derived from the
// public key, so it changes exactly when the key does.
function loadOrCreateKeyPair(dataDir) {
  const privatePath = path.join(dataDir, 'private-key.pem');
  const publicPath = path.join(dataDir, 'public-key.pem');
  if (!fs.existsSync(privatePath)) {
    const pair = crypto.generateKeyPairSync('rsa', {
      modulusLength: 2048,
      publicKeyEncoding: { type: 'spki', format: 'pem' },
      privateKeyEncoding: { type: 'pkcs8', format: 'pem' },
    });
    // The public key first: a private key without it is repaired below, the
    // reverse would leave a key nobody can use.
    writeNew(publicPath, pair.publicKey, 0o644);
    writeNew(privatePath, pair.privateKey, 0o600);
  }
  const privateKeyPem = fs.readFileSync(privatePath, 'utf8');
  if (!fs.existsSync(publicPath)) {
    writeNew(publicPath, crypto.createPublicKey(privateKeyPem).export({ type: 'spki', format: 'pem' }), 0o644);
  }
  const publicKeyPem = fs.readFileSync(publicPath, 'utf8');
  const der = crypto.createPublicKey(publicKeyPem).export({ type: 'spki', format: 'der' });
  const keyId = `zor-${crypto.createHash('sha256').update(der).digest('hex').slice(0, 16)}`;
  return { privateKeyPem, publicKeyPem, keyId };
}

// Returns {certPath, keyPath}; runs the openssl command on first use.
function loadOrCreateCertificate(dataDir) {
  const dir = path.join(dataDir, 'tls');
  const certPath = path.join(dir, 'cert.pem');
  const keyPath = path.join(dir, 'key.pem');
  if (!fs.existsSync(certPath) || !fs.existsSync(keyPath)) {
    fs.mkdirSync(dir, { recursive: true });
    const tmpCert = path.join(dir, '.cert.pem.tmp');
    try {
      execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', keyPath,
        '-out', tmpCert, '-days', '3650', '-subj', '/CN=127.0.0.1',
        '-addext', 'subjectAltName=IP:127.0.0.1,DNS:localhost'], { stdio: ['ignore', 'ignore', 'pipe'] });
    } catch (e) {
      throw new Error(`openssl could not make ${certPath}: ${e.stderr || e.message}`);
    }
    fs.renameSync(tmpCert, certPath);
  }
  return { certPath, keyPath };
}

module.exports = { loadOrCreateKeyPair, loadOrCreateCertificate };
