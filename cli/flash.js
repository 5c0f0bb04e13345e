'use strict';
// `flasher write` and `flasher verify`: one FlashDrive set up from the command line,
// its jobs run to their end, then a summary and the exit status.
const fs = require('node:fs');
const { FlashDrive, checkPassword } = require('../index.js');
const { listDrives, findDrive, addonKey, describeDrive } = require('./drives');
const { confirmDrive, askPassword, closeInput } = require('./input');
const { runJob, jobThreadsEnded, interrupts } = require('./job');
const { parseSize, formatBytes, formatSpeed } = require('./units');
const EXIT = require('./exit');

const say = (text) => process.stderr.write(`${text}\n`);

function setUp(image, driveKey, { writeBlock, readBlock }) {
  const drives = listDrives();
  const drive = findDrive(drives, driveKey);
  const flash = new FlashDrive();
  flash.setDrive(addonKey(drives, drive));
  flash.setImage(image);
  if (writeBlock) flash.setWriteBlock(writeBlock);
  if (readBlock) flash.setValidateBlock(readBlock);
  return { flash, drive, size: fs.statSync(image).size };
}

// Not root: the addon opens the device node through sudo, so the password is asked
// for and checked before anything starts.
async function providePassword(flash, fromStdin) {
  if (fromStdin || process.getuid() !== 0) {
    const password = await askPassword(fromStdin);
    if (!checkPassword(password)) throw new Error('invalid sudo password');
    flash.setPassword(password);
  }
  closeInput();
}

function writeJob(flash, size, json) {
  return runJob({
    job: 'write', label: 'Writing', total: size, json,
    start: () => flash.startWrite(), cancel: () => flash.cancelWrite(), stats: () => flash.getWriteStats(),
  });
}

function validateJob(flash, size, json) {
  return runJob({
    job: 'validate', label: 'Verifying', total: size, json,
    start: () => flash.startValidate(), cancel: () => flash.cancelValidate(), stats: () => flash.getValidateStats(),
  });
}

const seconds = (ms) => `${(ms / 1000).toFixed(2)} s`;
const averageSpeed = (size, stats) => (stats.duration > 0 ? (size * 1000) / stats.duration : stats.speedavg);

// What went wrong, read from the closed statistics. The write record also receives the
// permission errors of a validation, so it is read even when only a validation ran.
function problemsOf({ flash, write, validate }) {
  const writeStats = JSON.parse(flash.getWriteStats());
  const problems = [];
  if (write && write.completed !== 100) problems.push('write cancelled: the drive holds part of the image only');
  else if (validate && validate.completed !== 100) problems.push('verification cancelled');
  else if (interrupts.requested) problems.push('interrupted');
  if (writeStats.errque) problems.push(`${write ? 'write' : 'permissions'}: ${writeStats.errque}`);
  if (validate && validate.errque) problems.push(`verify: ${validate.errque}`);
  if (validate && validate.numwriteerrs > 0) {
    problems.push(`verify: ${validate.numwriteerrs} bytes differ between the drive and the image`);
  }
  return { problems, writeStats };
}

// Prints the summary and returns the exit status: 0 only when no statistics record
// carries an error text and the validation, when it ran, found no differing byte.
function conclude({ flash, size, block, write, validate, json }) {
  const { problems, writeStats } = problemsOf({ flash, write, validate });
  const written = write && write.completed === 100 ? Math.ceil(size / block) * block : null;
  if (json) {
    const summary = { ok: problems.length === 0, problems, bytesWritten: written, write: write && writeStats, validate };
    process.stdout.write(`${JSON.stringify({ event: 'summary', ...summary })}\n`);
  } else {
    if (written !== null) {
      const padding = written > size ? `, the last block padded with ${written - size} zero bytes` : '';
      process.stdout.write(`Written:  ${formatBytes(size)} in ${seconds(write.duration)}, average ` +
        `${formatSpeed(averageSpeed(size, write))}; ${written} bytes onto the drive${padding}\n`);
    }
    if (validate && validate.completed === 100) {
      process.stdout.write(`Verified: ${formatBytes(size)} in ${seconds(validate.duration)}, average ` +
        `${formatSpeed(averageSpeed(size, validate))}; ${validate.numwriteerrs} differing bytes\n`);
    }
    if (problems.length === 0) process.stdout.write(validate ? 'Done: the drive holds the image.\n' : 'Done.\n');
  }
  for (const problem of problems) say(`flasher: ${problem}`);
  if (problems.length === 0) return EXIT.ok;
  return interrupts.requested ? EXIT.interrupted : EXIT.failure;
}

function announce(json, fields) {
  if (json) process.stdout.write(`${JSON.stringify({ event: 'start', ...fields })}\n`);
}

async function write(image, driveKey, opts) {
  const writeBlock = parseSize(opts.blockSize);
  const readBlock = parseSize(opts.verifyBlockSize || opts.blockSize);
  const { flash, drive, size } = setUp(image, driveKey, { writeBlock, readBlock });
  // The engine refuses these too, but only at the start: say so before asking anything.
  if (size >= drive.size) throw new Error('drive is too small for given image');
  if (drive.sectorSize > 0 && writeBlock % drive.sectorSize !== 0) throw new Error('invalid write block size');

  say(`${image} (${formatBytes(size)}) is to be written onto:\n${describeDrive(drive)}`);
  if (drive.partitions.some((p) => p.mountpoint)) say('Its mounted partitions will be unmounted.');
  say('Everything on the drive will be lost.');
  if (!opts.yes) await confirmDrive(drive);
  await providePassword(flash, opts.passwordStdin);

  announce(opts.json, { job: 'write', image, bytes: size, drive });
  const result = { flash, size, block: writeBlock, json: opts.json, write: null, validate: null };
  result.write = await writeJob(flash, size, opts.json);
  const written = result.write.completed === 100 && !result.write.errque;
  if (opts.verify && written && !interrupts.requested) result.validate = await validateJob(flash, size, opts.json);
  // The write job pauses after its last block before it ends.
  if (!opts.json && !result.validate) say('Finishing the write job...');
  await jobThreadsEnded();
  return conclude(result);
}

async function verify(image, driveKey, opts) {
  const readBlock = parseSize(opts.blockSize);
  const { flash, drive, size } = setUp(image, driveKey, { readBlock });
  say(`Comparing ${image} (${formatBytes(size)}) with:\n${describeDrive(drive)}`);
  await providePassword(flash, opts.passwordStdin);

  announce(opts.json, { job: 'validate', image, bytes: size, drive });
  const result = { flash, size, block: readBlock, json: opts.json, write: null, validate: null };
  result.validate = await validateJob(flash, size, opts.json);
  await jobThreadsEnded();
  return conclude(result);
}

module.exports = { write, verify };
