'use strict';
// `flasher backup`: one drive read into an image file through backup(), with a bar of
// the bytes read, the output's size and the compression ratio, then a summary.
const fs = require('node:fs');
const path = require('node:path');
const cliProgress = require('cli-progress');
const { backup: backUp, checkTargets } = require('../index.js');
const { toEntry, describeDrive } = require('./drives');
const { providePassword } = require('./input');
const { interrupts } = require('./interrupts');
const { BAR_OPTIONS } = require('./progress');
const { formatBytes, formatSpeed, formatSeconds } = require('./units');
const EXIT = require('./exit');

const say = (text) => process.stderr.write(`${text}\n`);
const ENDINGS = /\.(img|zst|xz|gz)$/;
const ratio = (read, written) => (written > 0 ? `${(read / written).toFixed(2)}:1` : '--');

function barDisplay() {
  const bar = new cliProgress.SingleBar({
    format: 'Reading   [{bar}] {percentage}% | {done} / {size} | output {output} ({ratio}) | {speed} | ETA {remaining}{extra}',
    ...BAR_OPTIONS,
  }, cliProgress.Presets.shades_classic);
  let last = null;
  let note = '';
  const payload = (p) => ({
    done: formatBytes(p.bytes),
    size: p.total === null ? '?' : formatBytes(p.total),
    output: formatBytes(p.outputBytes),
    ratio: ratio(p.bytes, p.outputBytes),
    speed: p.speed > 0 ? formatSpeed(p.speed) : '--',
    remaining: p.eta === null ? '--:--' : formatSeconds(p.eta),
    extra: note,
  });
  // The size is known once the partition table was read: 0 % until then.
  const show = () => {
    bar.setTotal(last.total || 1);
    bar.update(last.bytes, payload(last));
  };
  return {
    update(progress) {
      if (!last) bar.start(progress.total || 1, 0, payload(progress));
      last = progress;
      show();
    },
    note(text) {
      note = ` | ${text}`;
      if (last) show();
    },
    stop: () => last && bar.stop(),
  };
}

function jsonDisplay() {
  const emit = (event, fields) => process.stdout.write(`${JSON.stringify({ event, ...fields })}\n`);
  return {
    update: ({ bytes, total, outputBytes, speed, eta }) => emit('progress', { phase: 'backup', bytes, total, outputBytes, speed, eta }),
    note: (text) => emit('note', { message: text }),
    stop() {},
  };
}

// What the command reads and writes, said before anything starts.
function show(drive, output, opts) {
  say(`Reading this drive:\n${describeDrive(drive)}`);
  if (drive.partitions.some((p) => p.mountpoint)) say('    Its mounted partitions will be unmounted.');
  const extent = opts.extent === 'whole' ? 'the whole drive' : 'up to the end of its last partition';
  say(`Into:      ${output} (${opts.format || 'format from its name'}${opts.level === undefined ? '' : `, level ${opts.level}`}), ${extent}`);
}

function summarize(result, output) {
  const seconds = (result.durationMs / 1000).toFixed(2);
  const speed = result.durationMs > 0 ? ` at ${formatSpeed((result.bytesRead * 1000) / result.durationMs)}` : '';
  process.stdout.write(`Backed up ${formatBytes(result.bytesRead)} in ${seconds} s${speed} into ${output} ` +
    `(${result.report.image.format}): ${formatBytes(result.outputBytes)}, ${ratio(result.bytesRead, result.outputBytes)}\n`);
  process.stdout.write(`SHA-256:   ${result.sha256}\n`);
  process.stdout.write(`Block map: ${result.blockMap || 'none'}\n`);
}

// backup() refuses these too, but only once called: say so before asking anything.
function refuse(output, opts) {
  if (!opts.format && !ENDINGS.test(output)) {
    throw new Error(`cannot tell the format from the name ${output}: end it with .img, .zst, .xz or .gz, or give --format`);
  }
  const files = [output, opts.bmap && `${output}.bmap`, opts.checksum && `${output}.sha256`].filter(Boolean);
  const existing = files.find((file) => fs.existsSync(file));
  if (existing && !opts.force) throw new Error(`${existing} exists: give --force to replace it`);
}

function parseLevel(text) {
  if (text === undefined) return undefined;
  if (!/^\d+$/.test(text)) throw new Error(`invalid level "${text}": give a whole number`);
  return Number(text);
}

async function backup(driveKey, outputPath, opts) {
  // The engine's checks of the drive: named exactly, removable or hot-pluggable.
  const drive = toEntry((await checkTargets({ drives: [driveKey] })).drives[0]);
  const output = path.resolve(outputPath);
  refuse(output, opts);
  const options = {
    drive: drive.path, output, format: opts.format, level: parseLevel(opts.level), extent: opts.extent,
    blockMap: opts.bmap, checksum: opts.checksum, overwrite: Boolean(opts.force),
  };
  show(drive, output, options);
  const password = await providePassword(opts.passwordStdin);

  if (opts.json) process.stdout.write(`${JSON.stringify({ event: 'start', drive, output })}\n`);
  const display = opts.json ? jsonDisplay() : barDisplay();
  const controller = interrupts.controller((text) => display.note(text));
  let result = null;
  let error = null;
  try {
    result = await backUp({ ...options, password, signal: controller.signal, onProgress: (p) => display.update(p) });
  } catch (err) {
    if (err.name !== 'FlasherError' && err.name !== 'AbortError') throw err;
    error = err;
  } finally {
    interrupts.ended();
    display.stop();
  }
  const cancelled = error !== null && error.name === 'AbortError';
  if (opts.json) {
    const failure = error && !cancelled ? { code: error.code, message: error.message } : null;
    process.stdout.write(`${JSON.stringify({ event: 'summary', ok: result !== null, cancelled, result, error: failure })}\n`);
  } else if (result) {
    summarize(result, output);
  }
  if (result) return EXIT.ok;
  say(cancelled ? 'flasher: backup cancelled, nothing was kept' : `flasher: backup failed: ${error.message}`);
  return cancelled ? EXIT.interrupted : EXIT.failure;
}

module.exports = { backup };
