'use strict';
// Runs one job of a FlashDrive to its end: polls its statistics a few times a second
// into a progress bar or JSON lines, and turns Ctrl-C into a cancel request.
const cliProgress = require('cli-progress');
const { formatBytes, formatSpeed, formatSeconds } = require('./units');

const POLL_MS = 250;

// Ctrl-C before any job started ends the program at once; once a job runs it only
// asks the job to stop, and the program waits for the job's end steps.
const interrupts = {
  requested: false,
  jobStarted: false,
  cancel: null,
  watch(onIdle) {
    process.on('SIGINT', () => {
      this.requested = true;
      if (this.cancel) this.cancel();
      else if (!this.jobStarted) onIdle();
    });
  },
};

const ended = (stats) => stats.duration > 0 || stats.completed === 100;
const bytesDone = (stats, total) => Math.round((stats.completed / 100) * total);

function barDisplay(label, total, showDiffering) {
  const bar = new cliProgress.SingleBar(
    {
      format: `${label.padEnd(9)} [{bar}] {percentage}% | {done} / {size} | {speed} | ETA {remaining} | {duration_formatted}{extra}`,
      stream: process.stderr,
      hideCursor: true,
      noTTYOutput: true,
      notTTYSchedule: 1000,
      barsize: 30,
    },
    cliProgress.Presets.shades_classic
  );
  let note = '';
  // The first sample, taken after block 0, credits 400 blocks to one block's time and
  // is no speed worth showing. A closed record has no current speed: its last line
  // shows the job's average.
  const speedOf = (stats) => {
    if (ended(stats)) return stats.duration > 0 ? (bytesDone(stats, total) * 1000) / stats.duration : 0;
    return stats.completed > 0 ? stats.speed : 0;
  };
  const payload = (stats) => ({
    done: formatBytes(bytesDone(stats, total)),
    size: formatBytes(total),
    speed: speedOf(stats) > 0 ? formatSpeed(speedOf(stats)) : '--',
    remaining: ended(stats) ? '0:00' : speedOf(stats) > 0 ? formatSeconds(stats.eta) : '--:--',
    extra: (showDiffering ? ` | ${stats.numwriteerrs} differing` : '') + note,
  });
  let last = null;
  return {
    start(stats) {
      last = stats;
      bar.start(total, 0, payload(stats));
    },
    update(stats) {
      last = stats;
      bar.update(bytesDone(stats, total), payload(stats));
    },
    note(text) {
      note = ` | ${text}`;
      bar.update(bytesDone(last, total), payload(last));
    },
    stop(stats) {
      this.update(stats);
      bar.stop();
    },
  };
}

function jsonDisplay(job, total) {
  const emit = (event, fields) => process.stdout.write(`${JSON.stringify({ event, job, ...fields })}\n`);
  let lastText = '';
  const progress = (stats) => {
    const text = JSON.stringify(stats);
    if (text === lastText) return;
    lastText = text;
    emit('progress', { bytes: bytesDone(stats, total), total, stats });
  };
  return {
    start: progress,
    update: progress,
    note: (text) => emit('note', { message: text }),
    stop: (stats) => emit('end', { cancelled: stats.completed !== 100, bytes: bytesDone(stats, total), total, stats }),
  };
}

// The addon keeps the process alive while a job thread runs or waits, so the process
// is about to exit ('beforeExit') only once no job thread is left.
const idle = {
  reached: false,
  waiters: [],
  wait() {
    return this.reached ? Promise.resolve() : new Promise((resolve) => this.waiters.push(resolve));
  },
};
process.on('beforeExit', () => {
  idle.reached = true;
  idle.waiters.splice(0).forEach((resolve) => resolve());
});

// Resolves once no job thread is left: a job's end steps (the permission restore, the
// drive refresh) have run.
const jobThreadsEnded = () => idle.wait();

// `start`, `cancel` and `stats` are the job's three methods of a FlashDrive. Resolves
// with the closed statistics. The end is read from the statistics; a job cancelled
// within its first millisecond shows no duration, so the end is also taken once no
// job thread is left.
function runJob({ job, label, start, cancel, stats, total, json }) {
  const read = () => JSON.parse(stats());
  const display = json ? jsonDisplay(job, total) : barDisplay(label, total, job === 'validate');
  start();
  idle.reached = false;
  interrupts.jobStarted = true;
  display.start(read());

  return new Promise((resolve) => {
    let cancelling = false;
    let done = false;
    const finish = () => {
      if (done) return;
      done = true;
      clearInterval(timer);
      interrupts.cancel = null;
      const final = read();
      display.stop(final);
      resolve(final);
    };
    const poll = () => {
      const current = read();
      if (ended(current)) finish();
      else display.update(current);
    };
    interrupts.cancel = () => {
      if (!cancelling) cancel();
      display.note(cancelling ? 'still ending the job, please wait' : 'cancelling');
      cancelling = true;
    };
    const timer = setInterval(poll, POLL_MS);
    timer.unref();
    jobThreadsEnded().then(finish);
  });
}

module.exports = { runJob, jobThreadsEnded, interrupts };
