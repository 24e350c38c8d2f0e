'use strict';
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const zlib = require('node:zlib');
const { test } = require('node:test');
const { listEntries, readEntry } = require('../lib/zip');
const h = require('./helpers');

// A zip whose central directory defers every size and offset to Zip64 extra
// fields and ends with the Zip64 end records, as a zip over 4 GiB must.
function zip64(files) {
  const locals = [];
  const centrals = [];
  let offset = 0;
  for (const [name, data] of Object.entries(files)) {
    const deflated = zlib.deflateRawSync(data);
    const nameBytes = Buffer.from(name);
    const local = Buffer.alloc(30);
    local.writeUInt32LE(0x04034b50, 0);
    local.writeUInt16LE(8, 8);
    local.writeUInt32LE(zlib.crc32(data), 14);
    local.writeUInt32LE(deflated.length, 18);
    local.writeUInt32LE(data.length, 22);
    local.writeUInt16LE(nameBytes.length, 26);
    locals.push(local, nameBytes, deflated);
    const extra = Buffer.alloc(28);
    extra.writeUInt16LE(1, 0);
    extra.writeUInt16LE(24, 2);
    extra.writeBigUInt64LE(BigInt(data.length), 4);
    extra.writeBigUInt64LE(BigInt(deflated.length), 12);
    extra.writeBigUInt64LE(BigInt(offset), 20);
    const central = Buffer.alloc(46);
    central.writeUInt32LE(0x02014b50, 0);
    central.writeUInt16LE(8, 10);
    central.writeUInt32LE(zlib.crc32(data), 16);
    central.writeUInt32LE(0xffffffff, 20);
    central.writeUInt32LE(0xffffffff, 24);
    central.writeUInt16LE(nameBytes.length, 28);
    central.writeUInt16LE(extra.length, 30);
    central.writeUInt32LE(0xffffffff, 42);
    centrals.push(central, nameBytes, extra);
    offset += 30 + nameBytes.length + deflated.length;
  }
  const directory = Buffer.concat(centrals);
  const count = BigInt(Object.keys(files).length);
  const end64 = Buffer.alloc(56);
  end64.writeUInt32LE(0x06064b50, 0);
  end64.writeBigUInt64LE(count, 32);
  end64.writeBigUInt64LE(BigInt(directory.length), 40);
  end64.writeBigUInt64LE(BigInt(offset), 48);
  const locator = Buffer.alloc(20);
  locator.writeUInt32LE(0x07064b50, 0);
  locator.writeBigUInt64LE(BigInt(offset + directory.length), 8);
  const end = Buffer.alloc(22, 0xff);
  end.writeUInt32LE(0x06054b50, 0);
  end.writeUInt16LE(0, 20);
  return Buffer.concat([...locals, directory, end64, locator, end]);
}

test('zip entries are listed and read back from classic and Zip64 directories', (t) => {
  const dir = h.tempDir(t);
  const files = { 'a.txt': Buffer.from('hello\n'), 'sub/dump.dmp': Buffer.alloc(100000, 3) };
  const cases = [
    { name: 'zip command', bytes: h.makeZip(dir, { 'a.txt': files['a.txt'], 'dump.dmp': files['sub/dump.dmp'] }),
      names: ['a.txt', 'dump.dmp'] },
    { name: 'Zip64', bytes: zip64(files), names: Object.keys(files) },
  ];
  for (const c of cases) {
    const file = path.join(dir, `${c.name}.zip`);
    fs.writeFileSync(file, c.bytes);
    const entries = listEntries(file);
    assert.deepEqual(entries.map((e) => e.name), c.names, c.name);
    entries.forEach((e, i) => assert.ok(readEntry(file, e).equals(Object.values(files)[i]), `${c.name}: ${e.name}`));
  }
  const damaged = zip64(files);
  damaged[30 + 'a.txt'.length] ^= 0xff;
  fs.writeFileSync(path.join(dir, 'damaged.zip'), damaged);
  const [first] = listEntries(path.join(dir, 'damaged.zip'));
  assert.throws(() => readEntry(path.join(dir, 'damaged.zip'), first), /"a.txt"|invalid/);
});
