'use strict';
// flash() writes an image onto a drive, or onto several drives from one read of the
// image, and reads each back; verify() only reads back. An image named exactly as a
// listed drive is that drive, read up to the end of its last partition: a clone. Each call works with
// FlashDrives of its own and settles once the engine's job threads have ended, so
// nothing is left to keep the process alive.
const { flasher } = require('./addons');
const { FlasherError, toFlasherError, throwIfAborted, abortError } = require('./errors');
const { checkOptions, FLASH_OPTIONS, VERIFY_OPTIONS } = require('./options');
const { runJob, runGroupWrite } = require('./job');

// Drives with a job of this process: two FlashDrives would write one drive at once.
const busy = new Set();

// The first-boot files of drive `index`: a content function gives that drive's bytes.
function filesFor(files, drive, index) {
  return files.map(({ partition, path, content }) => {
    const bytes = typeof content === 'function' ? content(drive, index) : content;
    if (typeof bytes !== 'string' && !(bytes instanceof Uint8Array)) {
      const err = new TypeError('options.files content functions must return a string or a Buffer');
      err.code = 'ERR_INVALID_ARG_VALUE';
      throw err;
    }
    return { partition, path, content: typeof bytes === 'string' ? bytes : Buffer.from(bytes.buffer, bytes.byteOffset, bytes.byteLength) };
  });
}

// `source`: the drive a clone reads as its image; `index`: the drive's place in a group.
function setUp(drive, opts, writing, source, index = 0) {
  const flashDrive = new flasher.FlashDrive();
  flashDrive.setAllowLoop(opts.allowLoop);
  flashDrive.setDrive(drive.path);
  if (source) flashDrive.setSourceDrive(source.path);
  else flashDrive.setImage(opts.image);
  if (opts.password !== undefined) flashDrive.setPassword(opts.password);
  flashDrive.setWriteBlock(opts.blockSize);
  // verify() takes no verifyBlockSize: the verification reads with blockSize.
  flashDrive.setValidateBlock(opts.verifyBlockSize || opts.blockSize);
  if (opts.sha256 !== undefined) flashDrive.setSha256(opts.sha256);
  if (opts.checksums !== undefined) flashDrive.setChecksums(opts.checksums);
  if (opts.keyring !== undefined) flashDrive.setKeyring(opts.keyring);
  flashDrive.setCache(opts.cache, opts.cacheLimit);
  flashDrive.setStallTimeout(opts.stallTimeoutMs);
  flashDrive.setDigest(opts.digest);
  if (writing) {
    if (opts.writeMode !== undefined) flashDrive.setWriteMode(opts.writeMode);
    if (opts.blockMap !== undefined) flashDrive.setBlockMap(opts.blockMap, opts.blockMapFound);
    flashDrive.setCapacityCheck(opts.capacityCheck);
    // The steps after the verification; setFiles refuses a partition that is not FAT
    // (EIMAGE) before anything is written.
    flashDrive.setRepairAttempts(opts.repair);
    flashDrive.setFixGpt(opts.fixGpt);
    flashDrive.setEject(opts.eject);
    if (opts.files.length > 0) flashDrive.setFiles(filesFor(opts.files, drive, index));
    flashDrive.setFirstBlockLast(opts.firstBlockLast);
  }
  return flashDrive;
}

const REPORTS = { write: 'getWriteReport', verify: 'getValidateReport' };

// What a job's end tells: nothing, or its failure. An error of the end steps (the
// permission restore, the drive refresh) does not fail a job whose data all moved.
function failureOf(phase, stats, report) {
  const fallback = phase === 'write' ? 'EWRITE' : 'EVERIFY';
  const dataErrors = report.errors.filter((e) => e.phase !== 'finish');
  let error = null;
  if (!report.dataComplete || dataErrors.length > 0) {
    const last = dataErrors.at(-1) || { message: stats.errque || `the ${phase} did not complete`, reason: fallback };
    error = new FlasherError(last.message, last.reason || fallback, stats.numwriteerrs);
  } else if (phase === 'verify' && stats.numwriteerrs > 0) {
    error = new FlasherError(`${stats.numwriteerrs} bytes differ between the drive and the image`, 'EVERIFY',
      stats.numwriteerrs);
  }
  // Where the drive still differs.
  if (error && error.code === 'EVERIFY' && report.differingRanges) error.ranges = report.differingRanges;
  return error;
}

// A job's closed statistics and report, and its failure (an abort counts as one).
function outcome(flashDrive, phase, stats, signal) {
  const report = JSON.parse(flashDrive[REPORTS[phase]]());
  const aborted = signal && signal.aborted;
  const error = aborted ? abortError(signal) : failureOf(phase, stats, report);
  // The report says what else went wrong, such as an end step.
  if (error) error.report = report;
  return { stats, report, error };
}

async function runPhase(flashDrive, phase, drive, opts) {
  throwIfAborted(opts.signal);
  const stats = await runJob(flashDrive, phase, { drive, signal: opts.signal, onProgress: opts.onProgress });
  const result = outcome(flashDrive, phase, stats, opts.signal);
  if (result.error) throw result.error;
  return result;
}

// The engine's checks of the drives, block sizes and image (one listing, off the
// JavaScript thread); then the drives, and the source drive of a clone, are claimed and
// `work(drives, image, source)` runs. Engine failures become FlasherErrors.
async function withDrives(opts, checks, fallback, work) {
  const claimed = [];
  try {
    throwIfAborted(opts.signal);
    const { drives, image, source } = await flasher.checkTargets(checks);
    throwIfAborted(opts.signal);
    for (const drive of source ? [...drives, source] : drives) {
      if (busy.has(drive.path)) throw new FlasherError('a job is running on this device', 'EBUSY');
      claimed.push(drive.path);
    }
    for (const path of claimed) busy.add(path);
    return await work(drives, image && { format: image.format, size: image.size }, source);
  } catch (err) {
    throw toFlasherError(err, fallback);
  } finally {
    for (const path of claimed) busy.delete(path);
  }
}

// The image as the job read it: the format and size of an image at a URL are known only
// from the job.
// The SHA-256 of what the job read, where it computed one.
const imageOf = (report) => ({
  format: report.image.format,
  size: report.image.size,
  ...(report.source && report.source.sha256 ? { sha256: report.source.sha256 } : {}),
});

// What a write asks the engine to check: both block sizes where it verifies.
const writeChecks = (opts, keys) => ({
  drives: keys,
  image: opts.image,
  blockMap: opts.blockMap,
  allowLoop: opts.allowLoop,
  blockSize: opts.blockSize,
  verifyBlockSize: opts.verify ? opts.verifyBlockSize || opts.blockSize : undefined,
});

// The steps of a drive whose verification did not run.
const NOT_RUN = { status: 'skipped', message: 'no verification' };
const stepsOf = (checked) => (checked && checked.report.steps) ||
  { repair: NOT_RUN, gpt: NOT_RUN, files: NOT_RUN, eject: NOT_RUN };

function verifyOf(checked) {
  return checked && {
    differingBytes: checked.stats.numwriteerrs,
    ranges: checked.report.differingRanges,
    durationMs: checked.stats.duration,
  };
}
// The image of a clone: the source drive, and its extent as the write read it where
// the process could not read it before.
const sourceImage = (image, source, report) => ({ ...image, size: image.size ?? report.image.size, drive: source });

async function flashOne(opts) {
  return withDrives(opts, writeChecks(opts, [opts.drive]), 'EWRITE', async ([drive], image, source) => {
    const flashDrive = setUp(drive, opts, true, source);
    const written = await runPhase(flashDrive, 'write', drive, opts);
    const checked = opts.verify ? await runPhase(flashDrive, 'verify', drive, opts) : null;
    return {
      drive,
      image: source ? sourceImage(image, source, written.report) : imageOf(written.report),
      bytesWritten: written.report.bytes,
      durationMs: written.stats.duration,
      verify: verifyOf(checked),
      steps: stepsOf(checked),
      report: written.report,
    };
  });
}

// Several drives: one group write, then every drive that was written verified at once.
// A drive that fails is reported in its result; only a refused start or an abort rejects.
async function flashGroup(opts) {
  return withDrives(opts, writeChecks(opts, opts.drives), 'EWRITE', async (drives, image, source) => {
    const flashDrives = drives.map((drive, i) => setUp(drive, opts, true, source, i));
    const writes = await runGroupWrite(flashDrives, { drives, signal: opts.signal, onProgress: opts.onProgress });
    const written = writes.map((stats, i) => outcome(flashDrives[i], 'write', stats, opts.signal));
    throwIfAborted(opts.signal);
    const checks = await Promise.all(drives.map(async (drive, i) => {
      if (!opts.verify || written[i].error) return null;
      const stats = await runJob(flashDrives[i], 'verify', { drive, signal: opts.signal, onProgress: opts.onProgress });
      return outcome(flashDrives[i], 'verify', stats, opts.signal);
    }));
    throwIfAborted(opts.signal);
    const results = drives.map((drive, i) => {
      const check = checks[i];
      const error = written[i].error || (check && check.error) || null;
      const cancelled = !error && written[i].stats.completed === 0;
      return {
        drive,
        status: error ? 'failed' : cancelled ? 'cancelled' : 'ok',
        bytesWritten: written[i].report.bytes,
        verify: verifyOf(check),
        steps: stepsOf(check),
        report: written[i].report,
        error,
      };
    });
    const read = written.find((w) => w.report.dataComplete) || written[0];
    return { image: source ? sourceImage(image, source, read.report) : imageOf(read.report), results };
  });
}

async function flash(options) {
  const opts = checkOptions(options, FLASH_OPTIONS);
  return opts.drives ? flashGroup(opts) : flashOne(opts);
}

async function verify(options) {
  const opts = checkOptions(options, VERIFY_OPTIONS);
  return withDrives(opts, { drives: [opts.drive], image: opts.image, allowLoop: opts.allowLoop, verifyBlockSize: opts.blockSize }, 'EVERIFY', async ([drive], image, source) => {
    const checked = await runPhase(setUp(drive, opts, false, source), 'verify', drive, opts);
    return { ...verifyOf(checked), report: checked.report };
  });
}

module.exports = { flash, verify, withDrives };
