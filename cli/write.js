'use strict';
// `flasher write`: the image (a file or a URL) and the drives shown and checked, one
// confirmation, then one flash() call that writes every drive (several from one read of
// the image) and verifies each, and a summary: the source, then a line per drive. An
// image named as a listed drive is that drive, copied onto the others (a clone).
const fs = require('node:fs');
const { flash } = require('../index.js');
const { toEntry, describeDrive, checkCommandTargets } = require('./drives');
const { UsageError } = require('./exit');
const { findBlockMap, describeUrl, isUrl } = require('./image');
const { confirmDrives, providePassword } = require('./input');
const { interrupts } = require('./interrupts');
const { progressDisplay } = require('./progress');
const { conclude } = require('./summary');
const { parseSize, formatBytes } = require('./units');

const say = (text) => process.stderr.write(`${text}\n`);

// The engine's checks of a write, before anything is asked: the drives, the block
// sizes, the image and its block map. An image at a URL is asked of its server (or the
// cache) here, and its decoded size, where it tells one, checked against the drives.
async function checkWrite(imagePath, driveKeys, opts, { blockSize, verifyBlockSize }, source) {
  const blockMap = await findBlockMap(imagePath, opts.bmap, source.stallTimeoutMs);
  const remote = isUrl(imagePath) ? await describeUrl(imagePath, source) : null;
  const checked = await checkCommandTargets({
    drives: driveKeys,
    allowLoop: Boolean(opts.loop),
    image: imagePath,
    blockMap: blockMap || undefined,
    blockSize,
    verifyBlockSize: opts.verify ? verifyBlockSize : undefined,
    imageSize: remote && remote.size !== null ? remote.size : undefined,
  });
  const drive = checked.source && toEntry(checked.source);
  return { image: { path: imagePath, ...(remote || checked.image), blockMap, drive }, drives: checked.drives.map(toEntry) };
}

function parseRepair(text) {
  const attempts = Number(text);
  if (!/^\d+$/.test(text) || attempts > 100) throw new UsageError(`--repair takes a number of attempts from 0 to 100, not "${text}"`);
  return attempts;
}

// --file PART:PATH=LOCALFILE, the local file read now.
function parseFile(text) {
  const match = /^(\d+):([^=]+)=(.+)$/.exec(text);
  if (!match || Number(match[1]) < 1) throw new UsageError(`--file takes PART:PATH=LOCALFILE, not "${text}"`);
  return { partition: Number(match[1]), path: match[2], content: fs.readFileSync(match[3]) };
}

function show(image, drives, checks) {
  if (image.drive) {
    say(`Image:     the drive ${image.drive.name}, read up to the end of its last partition:\n${describeDrive(image.drive)}`);
    if (image.drive.partitions.some((p) => p.mountpoint)) say('    Its mounted partitions will be unmounted.');
  } else {
    const decoded = image.size === null ? 'unknown' : formatBytes(image.size);
    const stored = image.fileSize === null ? 'size unknown' : formatBytes(image.fileSize);
    const sizes = image.format === 'raw' ? stored : `${stored} compressed, ${decoded} decoded`;
    say(`Image:     ${image.path} (${image.format}, ${sizes})`);
  }
  say(`Block map: ${image.blockMap || 'none, every block is written'}`);
  if (checks.sha256 || checks.checksums) {
    const signed = checks.keyring ? `, signed by a key of ${checks.keyring}` : '';
    say(`Checksum:  ${checks.sha256 ? `SHA-256 ${checks.sha256}` : `from ${checks.checksums}${signed}`}`);
  }
  say(`To be written onto ${drives.length === 1 ? 'this drive' : `these ${drives.length} drives`}:`);
  for (const drive of drives) {
    say(describeDrive(drive));
    if (drive.partitions.some((p) => p.mountpoint)) say('    Its mounted partitions will be unmounted.');
  }
  say(`Everything on ${drives.length === 1 ? 'the drive' : 'these drives'} will be lost.`);
}

// One drive goes through flash({ drive }), which rejects when the drive fails; several
// through one group write, which reports each drive's outcome.
async function flashAll(drives, options) {
  if (drives.length > 1) {
    const { results } = await flash({ ...options, drives: drives.map((d) => d.path) });
    return results;
  }
  try {
    const result = await flash({ ...options, drive: drives[0].path });
    return [{ ...result, status: 'ok', error: null }];
  } catch (err) {
    if (err.name !== 'FlasherError') throw err;
    return [{ status: 'failed', bytesWritten: null, verify: null, steps: null, report: err.report || null, error: err }];
  }
}

// An abort leaves every drive cancelled.
async function run(image, drives, settings, display) {
  const controller = interrupts.controller((text) => display.note(text));
  try {
    const results = await flashAll(drives, {
      ...settings, image: image.path, signal: controller.signal, onProgress: (progress) => display.update(progress),
    });
    // The listing's own entries, as the rest of the command shows them.
    return results.map((result, i) => ({ ...result, drive: drives[i] }));
  } catch (err) {
    if (err.name !== 'AbortError') throw err;
    return drives.map((drive) => ({ drive, status: 'cancelled', bytesWritten: null, verify: null, steps: null, report: null, error: null }));
  } finally {
    interrupts.ended();
    display.stop();
  }
}

// The options of the image's source and checks, shared with `flasher verify`.
function sourceOptions(opts) {
  const seconds = Number(opts.stallTimeout);
  if (!(seconds > 0)) throw new UsageError(`invalid stall timeout "${opts.stallTimeout}": give seconds, such as 30`);
  return {
    sha256: opts.sha256,
    checksums: opts.checksums,
    keyring: opts.keyring,
    cache: Boolean(opts.cache),
    stallTimeoutMs: Math.round(seconds * 1000),
  };
}

async function write(imagePath, driveKeys, opts) {
  const blockSize = parseSize(opts.blockSize);
  const verifyBlockSize = parseSize(opts.verifyBlockSize || opts.blockSize);
  const repair = parseRepair(opts.repair);
  const files = opts.file.map(parseFile);
  const source = {
    ...sourceOptions(opts), cacheLimit: parseSize(opts.cacheLimit, { what: 'cache limit', limit: Number.MAX_SAFE_INTEGER }),
  };
  const { image, drives } = await checkWrite(imagePath, driveKeys, opts, { blockSize, verifyBlockSize }, source);

  show(image, drives, source);
  if (!opts.yes) await confirmDrives(drives);
  const password = await providePassword(opts.passwordStdin);

  if (opts.json) process.stdout.write(`${JSON.stringify({ event: 'start', image, drives })}\n`);
  const display = progressDisplay(drives, opts.json, { download: isUrl(image.path) });
  const results = await run(image, drives, {
    password,
    blockSize,
    verifyBlockSize,
    verify: opts.verify,
    writeMode: opts.sync ? 'sync' : 'direct',
    capacityCheck: opts.capacityCheck,
    blockMap: image.blockMap || undefined,
    blockMapFound: Boolean(image.blockMap) && typeof opts.bmap !== 'string',
    repair,
    fixGpt: opts.fixGpt,
    files,
    eject: opts.eject,
    firstBlockLast: opts.firstBlockLast,
    allowLoop: Boolean(opts.loop),
    ...source,
  }, display);
  return conclude(results, { json: opts.json, interrupted: interrupts.requested, display });
}

module.exports = { write, sourceOptions };
