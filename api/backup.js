'use strict';
// backup() reads a drive up to its extent into an image file, compressed or sparse,
// with its block map and its SHA-256 beside it, through a FlashDrive of its own; it
// settles once the engine's job thread has ended.
const path = require('node:path');
const { flasher } = require('./addons');
const { FlasherError, abortError } = require('./errors');
const { checkOptions, BACKUP_OPTIONS, BACKUP_RULES } = require('./options');
const { withDrives } = require('./flash');
const { runJob } = require('./job');

// The engine's options of the backup: what is not given takes the engine's default.
function engineOptions(opts) {
  const { format, level, extent, blockMap, checksum, overwrite } = opts;
  return JSON.stringify({ format, level, extent, blockMap, checksum, overwrite });
}

async function backup(options) {
  const opts = checkOptions(options, BACKUP_OPTIONS, BACKUP_RULES);
  return withDrives(opts, { drives: [opts.drive] }, 'EREAD', async ([drive]) => {
    const flashDrive = new flasher.FlashDrive();
    flashDrive.setDrive(drive.path);
    if (opts.password !== undefined) flashDrive.setPassword(opts.password);
    flashDrive.setBackup(path.resolve(opts.output), engineOptions(opts));
    const stats = await runJob(flashDrive, 'backup', { drive, signal: opts.signal, onProgress: opts.onProgress });
    const report = JSON.parse(flashDrive.getBackupReport());
    let error = null;
    if (opts.signal && opts.signal.aborted) {
      error = abortError(opts.signal);
    } else if (!report.dataComplete || report.errors.some((e) => e.phase !== 'finish')) {
      const last = report.errors.filter((e) => e.phase !== 'finish').at(-1);
      error = new FlasherError(last ? last.message : stats.errque || 'the backup did not complete', last ? last.reason : 'EREAD');
    }
    if (error) {
      error.report = report;
      throw error;
    }
    return {
      bytesRead: report.bytes,
      outputBytes: report.backup.outputBytes,
      sha256: report.backup.sha256,
      blockMap: report.backup.blockMap,
      durationMs: stats.duration,
      report,
    };
  });
}

module.exports = { backup };
