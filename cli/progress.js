'use strict';
// The progress of a write onto one or several drives: a bar per drive that goes
// through the write and then the verification, or JSON lines naming the drive.
const { formatBytes, formatSpeed, formatSeconds } = require('./units');

const LABELS = { write: 'Writing', verify: 'Verifying' };

// The download of an image from a URL, with its own rate: `seconds` since it started.
function downloadText(p, seconds) {
  const of = p.sourceTotal === null ? '' : ` of ${formatBytes(p.sourceTotal)}`;
  const rate = seconds > 0 ? ` at ${formatSpeed(p.sourceBytes / seconds)}` : '';
  return ` | downloaded ${formatBytes(p.sourceBytes)}${of}${rate}`;
}

function payload(name, p, note, download) {
  return {
    name,
    phase: LABELS[p.phase],
    done: formatBytes(p.bytes),
    size: p.total === null ? '?' : formatBytes(p.total),
    speed: p.speed > 0 ? formatSpeed(p.speed) : '--',
    remaining: p.eta === null ? '--:--' : formatSeconds(p.eta),
    extra: `${download}${note}`,
  };
}

// How every bar of the command is drawn: on standard error, also when it is no terminal.
const BAR_OPTIONS = { stream: process.stderr, hideCursor: true, noTTYOutput: true, notTTYSchedule: 1000, barsize: 30 };

// With `download`, each write bar also shows the image's download and its rate.
function barsDisplay(drives, download) {
  const cliProgress = require('cli-progress');  // only bars need it, not --json
  const started = Date.now();
  const extra = (p) => (download && p.phase === 'write' ? downloadText(p, (Date.now() - started) / 1000) : '');
  const width = Math.max(...drives.map((d) => d.name.length));
  const multibar = new cliProgress.MultiBar(
    {
      format: `{name} {phase} [{bar}] {percentage}% | {done} / {size} | {speed} | ETA {remaining}{extra}`,
      ...BAR_OPTIONS,
    },
    cliProgress.Presets.shades_classic
  );
  const bars = new Map();
  let note = '';
  const show = (name) => {
    const { bar, last } = bars.get(name);
    bar.setTotal(last.total || 0);
    bar.update(last.bytes, payload(name.padEnd(width), last, note, extra(last)));
  };
  return {
    update(progress) {
      const name = progress.drive.name;
      if (!bars.has(name)) {
        bars.set(name, { bar: multibar.create(progress.total || 0, 0, payload(name.padEnd(width), progress, note, extra(progress))) });
      }
      bars.get(name).last = progress;
      show(name);
    },
    note(text) {
      note = ` | ${text}`;
      for (const name of bars.keys()) show(name);
    },
    stop: () => multibar.stop(),
  };
}

function jsonDisplay() {
  const emit = (event, fields) => process.stdout.write(`${JSON.stringify({ event, ...fields })}\n`);
  return {
    update: ({ drive, phase, bytes, total, speed, eta, sourceBytes, sourceTotal }) =>
      emit('progress', { drive: drive.name, phase, bytes, total, speed, eta, sourceBytes, sourceTotal }),
    note: (text) => emit('note', { message: text }),
    stop() {},
  };
}

// Also keeps each drive's last report of each phase, for the summary's speeds.
function progressDisplay(drives, json, { download = false } = {}) {
  const display = json ? jsonDisplay() : barsDisplay(drives, download);
  const last = new Map();
  return {
    ...display,
    update(progress) {
      last.set(`${progress.drive.name} ${progress.phase}`, progress);
      display.update(progress);
    },
    last: (name, phase) => last.get(`${name} ${phase}`) || null,
  };
}

module.exports = { progressDisplay, BAR_OPTIONS };
