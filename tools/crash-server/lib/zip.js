// A small reader for the zips the program writes: the central directory (Zip64
// aware, since the program marks every entry Zip64) and whole-entry extraction
// of stored and deflated entries, with the CRC-32 checked. Reads a file through
// positional reads, so a large zip is never loaded whole; one entry is.
'use strict';
const fs = require('fs');
const zlib = require('zlib');

const kEndOfCentralDirectory = 0x06054b50;
const kZip64EndLocator = 0x07064b50;
const kZip64End = 0x06064b50;
const kCentralHeader = 0x02014b50;
const kLocalHeader = 0x04034b50;
const kMax16 = 0xffff;
const kMax32 = 0xffffffff;

function readAt(fd, position, length) {
  const buffer = Buffer.alloc(length);
  let done = 0;
  while (done < length) {
    const n = fs.readSync(fd, buffer, done, length - done, position + done);
    if (n === 0) break;
    done += n;
  }
  return buffer.subarray(0, done);
}

function u64(buffer, offset) {
  const value = buffer.readBigUInt64LE(offset);
  if (value > BigInt(Number.MAX_SAFE_INTEGER)) throw new Error('zip: 64-bit field too large');
  return Number(value);
}

// Finds the end records and returns {count, offset, size} of the central directory.
function findCentralDirectory(fd, fileSize) {
  const tailLength = Math.min(fileSize, 22 + kMax16);
  const tailStart = fileSize - tailLength;
  const tail = readAt(fd, tailStart, tailLength);
  let at = -1;
  for (let i = tail.length - 22; i >= 0; --i) {
    if (tail.readUInt32LE(i) === kEndOfCentralDirectory && i + 22 + tail.readUInt16LE(i + 20) <= tail.length) {
      at = i;
      break;
    }
  }
  if (at < 0) throw new Error('zip: end of central directory not found');
  let count = tail.readUInt16LE(at + 10);
  let size = tail.readUInt32LE(at + 12);
  let offset = tail.readUInt32LE(at + 16);
  const locatorAt = tailStart + at - 20;
  if (locatorAt >= 0) {
    const locator = readAt(fd, locatorAt, 20);
    if (locator.readUInt32LE(0) === kZip64EndLocator) {
      const end = readAt(fd, u64(locator, 8), 56);
      if (end.length < 56 || end.readUInt32LE(0) !== kZip64End) {
        throw new Error('zip: Zip64 end of central directory record is missing');
      }
      count = u64(end, 32);
      size = u64(end, 40);
      offset = u64(end, 48);
    }
  }
  return { count, offset, size };
}

// Replaces the 32-bit fields that are all ones with the values of the Zip64
// extra field, which holds exactly those, in this order.
function applyZip64Extra(entry, extra) {
  for (let i = 0; i + 4 <= extra.length;) {
    const id = extra.readUInt16LE(i);
    const length = extra.readUInt16LE(i + 2);
    if (id === 0x0001) {
      let p = i + 4;
      for (const field of ['size', 'compressedSize', 'offset']) {
        if (entry[field] !== kMax32) continue;
        if (p + 8 > i + 4 + length) throw new Error(`zip: Zip64 field of "${entry.name}" missing`);
        entry[field] = u64(extra, p);
        p += 8;
      }
      return;
    }
    i += 4 + length;
  }
}

// Lists the entries of the zip at `zipPath`: [{name, size, compressedSize,
// method, crc, offset}] in central-directory order. Throws on a damaged zip.
function listEntries(zipPath) {
  const fd = fs.openSync(zipPath, 'r');
  try {
    const { count, offset, size } = findCentralDirectory(fd, fs.fstatSync(fd).size);
    const directory = readAt(fd, offset, size);
    const entries = [];
    let p = 0;
    for (let n = 0; n < count; ++n) {
      if (p + 46 > directory.length || directory.readUInt32LE(p) !== kCentralHeader) {
        throw new Error(`zip: central directory entry ${n + 1} of ${count} is damaged`);
      }
      const nameLength = directory.readUInt16LE(p + 28);
      const extraLength = directory.readUInt16LE(p + 30);
      const commentLength = directory.readUInt16LE(p + 32);
      const entry = {
        name: directory.toString('utf8', p + 46, p + 46 + nameLength),
        method: directory.readUInt16LE(p + 10),
        crc: directory.readUInt32LE(p + 16),
        compressedSize: directory.readUInt32LE(p + 20),
        size: directory.readUInt32LE(p + 24),
        offset: directory.readUInt32LE(p + 42),
      };
      const extraStart = p + 46 + nameLength;
      applyZip64Extra(entry, directory.subarray(extraStart, extraStart + extraLength));
      entries.push(entry);
      p = extraStart + extraLength + commentLength;
    }
    return entries;
  } finally {
    fs.closeSync(fd);
  }
}

// The bytes of one entry of listEntries(zipPath). Throws on an unknown
// method or a CRC that does not match.
function readEntry(zipPath, entry) {
  const fd = fs.openSync(zipPath, 'r');
  try {
    const local = readAt(fd, entry.offset, 30);
    if (local.length < 30 || local.readUInt32LE(0) !== kLocalHeader) {
      throw new Error(`zip: local header of "${entry.name}" not found`);
    }
    const dataStart = entry.offset + 30 + local.readUInt16LE(26) + local.readUInt16LE(28);
    const raw = readAt(fd, dataStart, entry.compressedSize);
    let data;
    if (entry.method === 0) data = raw;
    else if (entry.method === 8) data = zlib.inflateRawSync(raw);
    else throw new Error(`zip: "${entry.name}" uses unsupported method ${entry.method}`);
    if (data.length !== entry.size || zlib.crc32(data) !== entry.crc) {
      throw new Error(`zip: "${entry.name}" does not match its size or CRC-32`);
    }
    return data;
  } finally {
    fs.closeSync(fd);
  }
}

module.exports = { listEntries, readEntry };
