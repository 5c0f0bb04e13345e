'use strict';
// Runs the verify() call of `flasher verify`: its progress reports drawn as a bar or
// printed as JSON lines, Ctrl-C turned into an abort, and its outcome as a record for
// the summary.
const { BAR_OPTIONS, barFields } = require('./progress');
const { interrupts } = require('./interrupts');

function barDisplay(label) {
  const cliProgress = require('cli-progress');  // only bars need it, not --json
  const bar = new cliProgress.SingleBar(
    {
      format: `${label.padEnd(9)} [{bar}] {percentage}% | {amount} | {speed} | ETA {remaining} | {duration_formatted}{extra}`,
      ...BAR_OPTIONS,
    },
    cliProgress.Presets.shades_classic
  );
  let last = null;
  let note = '';
  const payload = (p) => {
    const { value, total, ...shown } = barFields(p);
    return { ...shown, extra: note };
  };
  const show = () => {
    const { value, total } = barFields(last);
    bar.setTotal(total);
    bar.update(value, payload(last));
  };
  return {
    update(progress) {
      if (!last) bar.start(barFields(progress).total, 0, payload(progress));
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
// job went through the whole image (also where it found differences), `errque` the
// failure's text, `compared` the image bytes compared.
function toRecord({ result, error, cancelled }, last, elapsedMs) {
  const whole = !cancelled && (result !== null || Boolean(error && error.differingBytes > 0));
  return {
    completed: whole ? 100 : 0,
    duration: result ? result.durationMs : elapsedMs,
    compared: last ? last.bytes : 0,
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
  const started = Date.now();
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
  const record = toRecord(outcome, last, Date.now() - started);
  display.stop(record, outcome.cancelled);
  return { ...outcome, record };
}

module.exports = { runJob };
