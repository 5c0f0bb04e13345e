'use strict';
// One job of a FlashDrive run to its end. The addon calls back through its
// thread-safe function once the job's native thread has ended, end steps included;
// an abort asks the job to stop after its current block.
const { reportProgress } = require('./progress');

const JOBS = {
  write: { side: 'write', run: 'runWrite', cancel: 'cancelWrite', stats: 'getWriteStats' },
  verify: { side: 'validate', run: 'runValidate', cancel: 'cancelValidate', stats: 'getValidateStats' },
  backup: { side: 'backup', run: 'runBackup', cancel: 'cancelBackup', stats: 'getBackupStats' },
};

// Resolves with the job's closed statistics; rejects only when the start is refused.
function runJob(flashDrive, phase, { drive, signal, onProgress }) {
  const job = JOBS[phase];
  return new Promise((resolve) => {
    const cancel = () => flashDrive[job.cancel]();
    let progress = null;
    flashDrive[job.run](() => {
      if (signal) signal.removeEventListener('abort', cancel);
      resolve(JSON.parse(flashDrive[job.stats]()));
      // Still before the promise's reactions run: the last report comes first.
      if (progress) progress.stop();
    });
    if (signal) signal.addEventListener('abort', cancel, { once: true });
    if (onProgress) progress = reportProgress({ flashDrive, side: job.side, phase, drive, onProgress });
  });
}

// One group write over `flashDrives`: resolves with each drive's closed write
// statistics once every drive's job has ended; an abort cancels them all.
function runGroupWrite(flashDrives, { drives, signal, onProgress }) {
  return new Promise((resolve) => {
    const ended = flashDrives.map(() => null);
    let left = flashDrives.length;
    const cancel = () => flashDrives.forEach((d) => d.cancelWrite());
    const progress = [];
    flashDrives[0].constructor.runGroupWrite(flashDrives, (i) => {
      ended[i] = JSON.parse(flashDrives[i].getWriteStats());
      if (progress[i]) progress[i].stop();
      left -= 1;
      if (left > 0) return;
      if (signal) signal.removeEventListener('abort', cancel);
      resolve(ended);
    });
    if (signal) signal.addEventListener('abort', cancel, { once: true });
    if (onProgress) {
      flashDrives.forEach((flashDrive, i) => {
        progress[i] = reportProgress({ flashDrive, side: 'write', phase: 'write', drive: drives[i], onProgress });
      });
    }
  });
}

module.exports = { runJob, runGroupWrite };
