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

// What a bar shows of a report: where the decoded size is unknown (gzip, bzip2), the
// share of the image file read is the true share done, so the bar follows it, beside
// the bytes written, and the time left comes from it.
function barFields(p) {
  const known = p.total !== null;
  const byFile = !known && Boolean(p.sourceTotal);
  let value = 0;
  let total = 1;
  if (known) [value, total] = [p.bytes, p.total];
  else if (byFile) [value, total] = [p.sourceBytes, p.sourceTotal];
  const amount = byFile
    ? `${formatBytes(p.bytes)} written, ${formatBytes(p.sourceBytes)} / ${formatBytes(p.sourceTotal)} read`
    : `${formatBytes(p.bytes)} / ${known ? formatBytes(p.total) : '?'}`;
  const elapsed = p.speed > 0 ? p.bytes / p.speed : 0;
  let eta = p.eta;
  if (eta === null && byFile && value > 0 && elapsed > 0) eta = (elapsed * (total - value)) / value;
  return {
    value,
    total,
    amount,
    speed: p.speed > 0 ? formatSpeed(p.speed) : '--',
    remaining: eta === null ? '--:--' : formatSeconds(eta),
  };
}

function payload(name, p, note, download) {
  const { value, total, ...shown } = barFields(p);
  return { name, phase: LABELS[p.phase], ...shown, extra: `${download}${note}` };
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
      format: `{name} {phase} [{bar}] {percentage}% | {amount} | {speed} | ETA {remaining}{extra}`,
      ...BAR_OPTIONS,
    },
    cliProgress.Presets.shades_classic
  );
  const bars = new Map();
  let note = '';
  const show = (name) => {
    const { bar, last } = bars.get(name);
    const { value, total } = barFields(last);
    bar.setTotal(total);
    bar.update(value, payload(name.padEnd(width), last, note, extra(last)));
  };
  return {
    update(progress) {
      const name = progress.drive.name;
      if (!bars.has(name)) {
        bars.set(name, { bar: multibar.create(barFields(progress).total, 0, payload(name.padEnd(width), progress, note, extra(progress))) });
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

module.exports = { progressDisplay, barFields, BAR_OPTIONS };
