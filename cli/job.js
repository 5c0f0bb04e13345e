'use strict';
// Runs the verify() call of `flasher verify`: its progress reports drawn as a bar or
// printed as JSON lines, Ctrl-C turned into an abort, and its outcome as a record for
// the summary.
const { BAR_OPTIONS } = require('./progress');
const { formatBytes, formatSpeed, formatSeconds } = require('./units');
const { interrupts } = require('./interrupts');

function barDisplay(label) {
  const cliProgress = require('cli-progress');  // only bars need it, not --json
  const bar = new cliProgress.SingleBar(
    {
      format: `${label.padEnd(9)} [{bar}] {percentage}% | {done} / {size} | {speed} | ETA {remaining} | {duration_formatted}{extra}`,
      ...BAR_OPTIONS,
    },
    cliProgress.Presets.shades_classic
  );
  let last = null;
  let note = '';
  const payload = (p) => ({
    done: formatBytes(p.bytes),
    size: p.total === null ? '?' : formatBytes(p.total),
    speed: p.speed > 0 ? formatSpeed(p.speed) : '--',
    remaining: p.eta === null ? '--:--' : formatSeconds(p.eta),
    extra: note,
  });
  const show = () => bar.update(last.bytes, payload(last));
  return {
    update(progress) {
      if (!last) bar.start(progress.total || 0, 0, payload(progress));
      last = progress;
      show();
    },
    note(text) {
      note = ` | ${text}`;
      if (last) show();
    },
    stop() {
      if (last) bar.stop();
    },
  };
}

function jsonDisplay(job) {
  const emit = (event, fields) => process.stdout.write(`${JSON.stringify({ event, job, ...fields })}\n`);
  let last = { bytes: 0, total: null };
  return {
    update(progress) {
      last = progress;
      emit('progress', { bytes: progress.bytes, total: progress.total, speed: progress.speed, eta: progress.eta });
    },
    note: (text) => emit('note', { message: text }),
    stop: (record, cancelled) => emit('end', { cancelled, bytes: last.bytes, total: last.total, stats: record }),
  };
}

// The outcome in the names of the engine's statistics: `completed` is 100 when the
// job went through the whole image, `errque` the failure's text.
function toRecord({ result, error, cancelled }, last) {
  const whole = !cancelled && last !== null && last.total !== null && last.bytes >= last.total;
  return {
    completed: whole ? 100 : 0,
    duration: result ? result.durationMs : 0,
    numwriteerrs: (result && result.differingBytes) || (error && error.differingBytes) || 0,
    errque: error ? error.message : '',
  };
}

// `call` gets { signal, onProgress } and returns the promise of verify().
async function runJob({ job, label, json, call }) {
  const display = json ? jsonDisplay(job) : barDisplay(label);
  const controller = interrupts.controller((text) => display.note(text));
  let last = null;
  const outcome = { result: null, error: null, cancelled: false };
  try {
    outcome.result = await call({
      signal: controller.signal,
      onProgress: (progress) => {
        last = progress;
        display.update(progress);
      },
    });
  } catch (err) {
    if (err.name === 'AbortError') outcome.cancelled = true;
    else outcome.error = err;
  }
  interrupts.ended();
  const record = toRecord(outcome, last);
  display.stop(record, outcome.cancelled);
  return { ...outcome, record };
}

module.exports = { runJob };
