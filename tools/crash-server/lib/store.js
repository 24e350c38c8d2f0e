// The object store behind the server: by default an s3rver on its own
// loopback port with its files under <data>/s3, else an S3-compatible store
// named by endpoint and bucket (credentials from the usual AWS_* variables).
// Each package record keeps where its object went ({endpoint, bucket}, the
// endpoint null for the local store), so decrypt.js can read it back later
// without the server running.
'use strict';
const fs = require('fs');
const path = require('path');
const {
  S3Client, CreateMultipartUploadCommand, UploadPartCommand, CompleteMultipartUploadCommand,
  GetObjectCommand, HeadObjectCommand, PutObjectCommand, AbortMultipartUploadCommand,
} = require('@aws-sdk/client-s3');
const { getSignedUrl } = require('@aws-sdk/s3-request-presigner');

const kLocalBucket = 'crashes';
const kPresignSeconds = 7 * 24 * 3600;
// s3rver accepts any request signed with its built-in account.
const kLocalCredentials = { accessKeyId: 'S3RVER', secretAccessKey: 'S3RVER' };

function makeClient(endpoint, credentials) {
  return new S3Client({
    endpoint,
    region: process.env.AWS_REGION || 'us-east-1',
    forcePathStyle: true,
    ...(credentials ? { credentials } : {}),
    // Checksum parameters in a presigned URL would bind it to a body the
    // client does not send them for.
    requestChecksumCalculation: 'WHEN_REQUIRED',
    responseChecksumValidation: 'WHEN_REQUIRED',
  });
}

class Store {
  // `location` is {endpoint, bucket}; `publicBase` (local store only) is the
  // server's own base URL, in front of which presigned URLs are rewritten.
  constructor(location, dataDir, client) {
    this.location = location;
    this.dataDir = dataDir;
    this.client = client;
    this.publicBase = null;
    this.s3rver = null;
    this.localTarget = null;  // {host, port} of s3rver
  }

  get bucket() { return this.location.bucket; }
  get isLocal() { return this.location.endpoint === null; }

  async createUpload(key) {
    const reply = await this.client.send(new CreateMultipartUploadCommand({ Bucket: this.bucket, Key: key }));
    return reply.UploadId;
  }

  async partUrl(key, uploadId, partNumber) {
    return this.publish(await getSignedUrl(this.client, new UploadPartCommand(
      { Bucket: this.bucket, Key: key, UploadId: uploadId, PartNumber: partNumber }), { expiresIn: kPresignSeconds }));
  }

  async completeUrl(key, uploadId) {
    return this.publish(await getSignedUrl(this.client, new CompleteMultipartUploadCommand(
      { Bucket: this.bucket, Key: key, UploadId: uploadId }), { expiresIn: kPresignSeconds }));
  }

  // A multipart upload of an empty file has no parts, which S3 refuses to
  // complete: the object is written empty and the upload dropped instead.
  async completeEmpty(key, uploadId) {
    await this.client.send(new PutObjectCommand({ Bucket: this.bucket, Key: key, Body: '' }));
    // s3rver 3.7 cannot abort uploads; a left-over one harms nothing there.
    await this.client.send(new AbortMultipartUploadCommand({ Bucket: this.bucket, Key: key, UploadId: uploadId }))
      .catch(() => {});
  }

  // For the local store the URL goes to the server's front at /store/...;
  // s3rver does not check V4 signatures, so the changed host does not matter.
  publish(signed) {
    if (!this.isLocal) return signed;
    const url = new URL(signed);
    return `${this.publicBase}/store${url.pathname}${url.search}`;
  }

  // The stored object's size in bytes, or null when it does not exist (yet).
  async size(key) {
    return objectSize(this.location, this.dataDir, key, this.client);
  }

  async close() {
    if (this.s3rver) await this.s3rver.close();
    this.s3rver = null;
  }
}

// Starts the local s3rver (bucket "crashes") and returns its Store.
async function startLocalStore(dataDir) {
  const S3rver = require('s3rver');
  const directory = path.join(dataDir, 's3');
  fs.mkdirSync(directory, { recursive: true });
  const s3rver = new S3rver({
    address: '127.0.0.1', port: 0, silent: true, directory,
    configureBuckets: [{ name: kLocalBucket, configs: [] }],
  });
  const { address, port } = await s3rver.run();
  const client = makeClient(`http://${address}:${port}`, kLocalCredentials);
  const store = new Store({ endpoint: null, bucket: kLocalBucket }, dataDir, client);
  store.s3rver = s3rver;
  store.localTarget = { host: address, port };
  return store;
}

function externalStore(endpoint, bucket, dataDir) {
  return new Store({ endpoint, bucket }, dataDir, makeClient(endpoint));
}

function localObjectPath(dataDir, bucket, key) {
  const parts = key.split('/');
  const last = parts.pop();
  return path.join(dataDir, 's3', bucket, ...parts, `${last}._S3rver_object`);
}

async function objectSize(location, dataDir, key, client) {
  if (location.endpoint === null) {
    try {
      return fs.statSync(localObjectPath(dataDir, location.bucket, key)).size;
    } catch (e) {
      if (e.code === 'ENOENT') return null;
      throw e;
    }
  }
  try {
    const head = await (client || makeClient(location.endpoint)).send(
      new HeadObjectCommand({ Bucket: location.bucket, Key: key }));
    return head.ContentLength;
  } catch (e) {
    if (e.$metadata && e.$metadata.httpStatusCode === 404) return null;
    throw e;
  }
}

// A readable stream of the stored object `key` at `location`; the local
// store's file is read directly, so this works while no server runs.
async function openObject(location, dataDir, key) {
  if (location.endpoint === null) {
    const file = localObjectPath(dataDir, location.bucket, key);
    await fs.promises.access(file).catch(() => { throw new Error(`stored object ${file} not found`); });
    return fs.createReadStream(file);
  }
  const reply = await makeClient(location.endpoint).send(new GetObjectCommand({ Bucket: location.bucket, Key: key }));
  return reply.Body;
}

module.exports = { startLocalStore, externalStore, openObject };
