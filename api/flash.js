'use strict';
// flash() writes an image onto a drive and reads it back; verify() only reads back.
// Each call works with a FlashDrive of its own and settles once the engine's job
// threads have ended, so nothing is left to keep the process alive.
const fs = require('node:fs');
const { flasher } = require('./addons');
const { listDrives, findDrive, engineKey } = require('./drives');
const { FlasherError, codeOf, toFlasherError, throwIfAborted } = require('./errors');
const { checkOptions, FLASH_OPTIONS, VERIFY_OPTIONS } = require('./options');
const { runJob } = require('./job');

// Drives with a job of this process: two FlashDrives would write one drive at once.
const busy = new Set();

// A drive without a sector size takes no block size: the engine says so at the start.
function checkBlockSize(drive, blockSize) {
  if (drive.sectorSize === 0 || blockSize % drive.sectorSize === 0) return;
  const err = new RangeError(`options.blockSize must be a multiple of the drive's sector size (${drive.sectorSize})`);
  err.code = 'ERR_INVALID_ARG_VALUE';
  throw err;
}

function setUp(drives, drive, { image, password, blockSize }) {
  const flashDrive = new flasher.FlashDrive();
  flashDrive.setDrive(engineKey(drives, drive));
  flashDrive.setImage(image);
  if (password !== undefined) flashDrive.setPassword(password);
  flashDrive.setWriteBlock(blockSize);
  flashDrive.setValidateBlock(blockSize);
  return flashDrive;
}

// What a job's end statistics tell: nothing, or the failure. The write record also
// receives the permission errors of a verification.
function failureOf(flashDrive, phase, stats) {
  const fallback = phase === 'write' ? 'EWRITE' : 'EVERIFY';
  const text = stats.errque || (phase === 'verify' ? JSON.parse(flashDrive.getWriteStats()).errque : '');
  if (text) return new FlasherError(text, codeOf(text, fallback), stats.numwriteerrs);
  if (phase === 'verify' && stats.numwriteerrs > 0) {
    return new FlasherError(`${stats.numwriteerrs} bytes differ between the drive and the image`, 'EVERIFY',
      stats.numwriteerrs);
  }
  return null;
}

async function runPhase(flashDrive, phase, drive, { signal, onProgress }) {
  throwIfAborted(signal);
  const stats = await runJob(flashDrive, phase, { drive, signal, onProgress });
  throwIfAborted(signal);
  const failure = failureOf(flashDrive, phase, stats);
  if (failure) throw failure;
  return stats;
}

// Settings being added to the engine: only those given are passed on.
function applyWriteSettings(flashDrive, { writeMode, capacityCheck, blockMap }) {
  if (writeMode !== undefined) flashDrive.setWriteMode(writeMode);
  if (blockMap !== undefined) flashDrive.setBlockMap(blockMap);
  // The capacity check is on by default; engines without it have nothing to switch.
  if (typeof flashDrive.setCapacityCheck === 'function') flashDrive.setCapacityCheck(capacityCheck);
}

// Finds the drive, claims it and runs `work` with a FlashDrive set up for it; engine
// failures become FlasherErrors.
async function withDrive(options, fallback, work) {
  let claimed = null;
  try {
    throwIfAborted(options.signal);
    const drives = await listDrives();
    throwIfAborted(options.signal);
    const drive = findDrive(drives, options.drive);
    checkBlockSize(drive, options.blockSize);
    if (busy.has(drive.path)) throw new FlasherError('a job is running on this device', 'EBUSY');
    claimed = drive.path;
    busy.add(claimed);
    return await work(setUp(drives, drive, options), drive);
  } catch (err) {
    throw toFlasherError(err, fallback);
  } finally {
    if (claimed) busy.delete(claimed);
  }
}

async function flash(options) {
  const opts = checkOptions(options, FLASH_OPTIONS);
  return withDrive(opts, 'EWRITE', async (flashDrive, drive) => {
    applyWriteSettings(flashDrive, opts);
    const format = typeof flashDrive.getImageFormat === 'function' ? flashDrive.getImageFormat() : 'raw';
    const image = { format, size: fs.statSync(opts.image).size };
    const written = await runPhase(flashDrive, 'write', drive, opts);
    const checked = opts.verify ? await runPhase(flashDrive, 'verify', drive, opts) : null;
    return {
      drive,
      image,
      // Whole blocks: the last one is padded with zero bytes.
      bytesWritten: Math.ceil(image.size / opts.blockSize) * opts.blockSize,
      durationMs: written.duration,
      verify: checked && { differingBytes: checked.numwriteerrs, durationMs: checked.duration },
      report: null,
    };
  });
}

async function verify(options) {
  const opts = checkOptions(options, VERIFY_OPTIONS);
  return withDrive(opts, 'EVERIFY', async (flashDrive, drive) => {
    const checked = await runPhase(flashDrive, 'verify', drive, opts);
    return { differingBytes: checked.numwriteerrs, durationMs: checked.duration, report: null };
  });
}

module.exports = { flash, verify };
