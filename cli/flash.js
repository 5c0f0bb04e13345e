'use strict';
// `flasher write` and `flasher verify`: the checks and questions of the command line,
// then the jobs through the promise API, a summary and the exit status.
const fs = require('node:fs');
const { flash, verify: verifyDrive, checkPassword } = require('../index.js');
const { listEntries, findDrive, describeDrive } = require('./drives');
const { confirmDrive, askPassword, closeInput } = require('./input');
const { runJob, interrupts } = require('./job');
const { parseSize, formatBytes, formatSpeed } = require('./units');
const EXIT = require('./exit');

const say = (text) => process.stderr.write(`${text}\n`);

// The drive and the image's size, refused before any question where a job would be.
async function target(image, driveKey) {
  const drive = findDrive(await listEntries(), driveKey);
  if (!drive.writable) throw new Error('drive is not external/removable');
  let size;
  try {
    size = fs.statSync(image).size;
  } catch (err) {
    throw new Error(`failed to determine size of ${image} : stat: ${err.code}`);
  }
  return { drive, size };
}

// Not root: the addon opens the device node through sudo, so the password is asked
// for and checked before anything starts.
async function providePassword(fromStdin) {
  let password;
  if (fromStdin || process.getuid() !== 0) {
    password = await askPassword(fromStdin);
    if (!checkPassword(password)) throw new Error('invalid sudo password');
  }
  closeInput();
  return password;
}

const seconds = (ms) => `${(ms / 1000).toFixed(2)} s`;
const averageSpeed = (size, record) => (record.duration > 0 ? (size * 1000) / record.duration : 0);

function problemsOf(write, validate) {
  const problems = [];
  if (write && write.cancelled) problems.push('write cancelled: the drive holds part of the image only');
  else if (validate && validate.cancelled) problems.push('verification cancelled');
  else if (interrupts.requested) problems.push('interrupted');
  if (write && write.error) problems.push(`write: ${write.error.message}`);
  if (validate && validate.error) problems.push(`verify: ${validate.error.message}`);
  return problems;
}

// Prints the summary and returns the exit status: 0 only when every job ran to its end
// without a failure and the verification found no differing byte.
function conclude({ size, write, validate, json }) {
  const problems = problemsOf(write, validate);
  const written = write && write.result ? write.result.bytesWritten : null;
  if (json) {
    const summary = { ok: problems.length === 0, problems, bytesWritten: written };
    Object.assign(summary, { write: write && write.record, validate: validate && validate.record });
    process.stdout.write(`${JSON.stringify({ event: 'summary', ...summary })}\n`);
  } else {
    if (written !== null) {
      const padding = written > size ? `, the last block padded with ${written - size} zero bytes` : '';
      process.stdout.write(`Written:  ${formatBytes(size)} in ${seconds(write.record.duration)}, average ` +
        `${formatSpeed(averageSpeed(size, write.record))}; ${written} bytes onto the drive${padding}\n`);
    }
    if (validate && validate.record.completed === 100) {
      process.stdout.write(`Verified: ${formatBytes(size)} in ${seconds(validate.record.duration)}, average ` +
        `${formatSpeed(averageSpeed(size, validate.record))}; ${validate.record.numwriteerrs} differing bytes\n`);
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

function verifyJob({ image, drive, password, blockSize, json }) {
  return runJob({
    job: 'validate', label: 'Verifying', json,
    call: (watch) => verifyDrive({ image, drive: drive.path, password, blockSize, ...watch }),
  });
}

async function write(image, driveKey, opts) {
  const writeBlock = parseSize(opts.blockSize);
  const readBlock = parseSize(opts.verifyBlockSize || opts.blockSize);
  const { drive, size } = await target(image, driveKey);
  // flash() refuses these too, but only once called: say so before asking anything.
  if (size >= drive.size) throw new Error('drive is too small for given image');
  if (drive.sectorSize > 0 && writeBlock % drive.sectorSize !== 0) throw new Error('invalid write block size');

  say(`${image} (${formatBytes(size)}) is to be written onto:\n${describeDrive(drive)}`);
  if (drive.partitions.some((p) => p.mountpoint)) say('Its mounted partitions will be unmounted.');
  say('Everything on the drive will be lost.');
  if (!opts.yes) await confirmDrive(drive);
  const password = await providePassword(opts.passwordStdin);

  announce(opts.json, { job: 'write', image, bytes: size, drive });
  // The verification may read with a block size of its own: it is a call of its own.
  const write = await runJob({
    job: 'write', label: 'Writing', json: opts.json,
    call: (watch) => flash({ image, drive: drive.path, password, blockSize: writeBlock, verify: false, ...watch }),
  });
  let validate = null;
  if (opts.verify && write.result && !interrupts.requested) {
    validate = await verifyJob({ image, drive, password, blockSize: readBlock, json: opts.json });
  }
  return conclude({ size, write, validate, json: opts.json });
}

async function verify(image, driveKey, opts) {
  const blockSize = parseSize(opts.blockSize);
  const { drive, size } = await target(image, driveKey);
  say(`Comparing ${image} (${formatBytes(size)}) with:\n${describeDrive(drive)}`);
  const password = await providePassword(opts.passwordStdin);

  announce(opts.json, { job: 'validate', image, bytes: size, drive });
  const validate = await verifyJob({ image, drive, password, blockSize, json: opts.json });
  return conclude({ size, write: null, validate, json: opts.json });
}

module.exports = { write, verify };
