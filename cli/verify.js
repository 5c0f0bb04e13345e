'use strict';
// `flasher verify`: compares a drive with an image (a file or a URL) through verify(),
// then a summary and the exit status.
const { verify: verifyDrive } = require('../index.js');
const { describeUrl, isUrl } = require('./image');
const { sourceOptions } = require('./write');
const { toEntry, describeDrive, checkCommandTargets } = require('./drives');
const { providePassword } = require('./input');
const { runJob } = require('./job');
const { interrupts } = require('./interrupts');
const { parseSize, formatBytes, formatSpeed } = require('./units');
const EXIT = require('./exit');

const say = (text) => process.stderr.write(`${text}\n`);

function problemsOf(validate) {
  const problems = [];
  if (validate.cancelled) problems.push('verification cancelled');
  else if (interrupts.requested) problems.push('interrupted');
  if (validate.error) problems.push(`verify: ${validate.error.message}`);
  return problems;
}

// Prints the summary and returns the exit status: 0 only when the job ran to its end
// without a failure and found no differing byte.
function conclude({ validate, json }) {
  const problems = problemsOf(validate);
  if (json) {
    const summary = { ok: problems.length === 0, problems, validate: validate.record };
    process.stdout.write(`${JSON.stringify({ event: 'summary', ...summary })}\n`);
  } else if (validate.record.completed === 100) {
    // The image bytes compared (decoded), not the size of a compressed file.
    const { duration, numwriteerrs, compared } = validate.record;
    const speed = duration > 0 ? (compared * 1000) / duration : 0;
    process.stdout.write(`Verified: ${formatBytes(compared)} in ${(duration / 1000).toFixed(2)} s, average ` +
      `${formatSpeed(speed)}; ${numwriteerrs} differing bytes\n`);
  }
  for (const problem of problems) say(`flasher: ${problem}`);
  if (problems.length === 0) return EXIT.ok;
  return interrupts.requested ? EXIT.interrupted : EXIT.failure;
}

async function verify(image, driveKey, opts) {
  const blockSize = parseSize(opts.blockSize);
  const source = sourceOptions(opts);
  const allowLoop = Boolean(opts.loop);
  const checked = await checkCommandTargets({ drives: [driveKey], image, allowLoop, verifyBlockSize: blockSize });
  const drive = toEntry(checked.drives[0]);
  // The image as a file, or for a URL as its server tells it.
  const remote = isUrl(image) ? await describeUrl(image, source) : null;
  const info = remote || checked.image;
  const size = info.size ?? info.fileSize ?? 0;
  const stored = info.fileSize === null ? 'size unknown' : formatBytes(info.fileSize);
  const decoded = info.size === null ? 'unknown' : formatBytes(info.size);
  say(`Comparing ${image} (${info.format === 'raw' ? stored : `${info.format}, ${stored} compressed, ${decoded} decoded`}) with:\n${describeDrive(drive)}`);
  const password = await providePassword(opts.passwordStdin);

  if (opts.json) process.stdout.write(`${JSON.stringify({ event: 'start', job: 'validate', image, bytes: size, drive })}\n`);
  const validate = await runJob({
    job: 'validate', label: 'Verifying', json: opts.json,
    call: (watch) => verifyDrive({ image, drive: drive.path, password, blockSize, allowLoop, ...source, ...watch }),
  });
  return conclude({ validate, json: opts.json });
}

module.exports = { verify };
