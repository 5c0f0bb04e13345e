'use strict';
// station(): writes every removable drive that appears while it runs, each at its own
// pace: written, verified and finished, then the station waits for the next. The
// drives come from the kernel's device events (watchDrives, a native thread); each
// one the rules accept becomes a job of flash(). It stops when `signal` aborts: the
// running jobs then finish (or are cancelled, with finishRunning: false or once
// `cancelSignal` aborts), and the promise settles with the tallies.
const { flasher } = require('./addons');
const { flash } = require('./flash');
const { FlasherError, toFlasherError } = require('./errors');
const { checkStationOptions } = require('./station-options');
const { eventSink, progressEvents } = require('./station-events');

// What each drive gets unless the station's own flash options say otherwise: it is
// powered off once done, ready to be pulled out. Every job computes the SHA-256 of the
// bytes it read, so the record names the image each drive got even if the file changes.
const JOB_DEFAULTS = { eject: true, digest: true };

const resultOf = (err) => {
  if (!err) return 'ok';
  return err.name === 'AbortError' ? 'cancelled' : 'failed';
};

async function station(options) {
  const { flashOptions, rules, includePresent, finishRunning, signal, cancelSignal, onEvent } =
    checkStationOptions(options);
  if (signal && signal.aborted) return { done: 0, failed: 0, cancelled: 0 };
  const emit = eventSink(onEvent);
  const tallies = { done: 0, failed: 0, cancelled: 0 };
  const jobs = new Map(); // by sysfs path: the drive's job while it runs
  const running = new Set();
  const lastJobs = new Map(); // by sysfs path: the job of a drive still plugged in
  const told = new Set(); // sysfs paths of the drives a drive-added named
  let lastJob = 0;
  let stopping = false;

  const cancelAll = () => jobs.forEach((job) => job.controller.abort());

  async function write(seen, job) {
    const { controller } = job;
    const { drive } = seen;
    emit('job-started', job.id, seen, { size: drive.size, image: flashOptions.image });
    let phase = null;
    const progress = progressEvents((event, fields) => emit(event, job.id, seen, fields));
    const started = Date.now();
    let result = null;
    let error = null;
    let lastReport = {};
    try {
      result = await flash({
        ...JOB_DEFAULTS,
        ...flashOptions,
        drive: drive.path,
        signal: controller.signal,
        onProgress: (report) => {
          if (report.phase !== phase) {
            phase = report.phase;
            emit('phase', job.id, seen, { phase });
          }
          if (report.phase === 'write') lastReport = report;
          progress(report);
        },
      });
    } catch (err) {
      error = err;
    }
    const outcome = resultOf(error);
    tallies[outcome === 'ok' ? 'done' : outcome] += 1;
    emit('drive-done', job.id, seen, {
      result: outcome,
      error: error && { code: error.code || null, message: error.message },
      size: drive.size,
      serial: drive.serial,
      port: drive.port,
      imageSha256: (result ? result.image.sha256 : error && error.report && error.report.source && error.report.source.sha256) || null,
      bytesWritten: result ? result.bytesWritten : (error && error.report ? error.report.bytes : 0),
      verify: result ? result.verify : null,
      steps: result ? result.steps : null,
      durationMs: Date.now() - started,
      queueDepth: lastReport.queueDepth ?? null,
      queueDepthHalvings: lastReport.queueDepthHalvings ?? 0,
    });
    jobs.delete(seen.sysfs);
    if (job.removed) emit('drive-removed', job.id, job.removed);
    else lastJobs.set(seen.sysfs, job.id);
  }

  function added(seen) {
    if (stopping) return;
    const leftAlone = seen.refused || (seen.present && !includePresent && 'present at the start');
    // Disks that are neither listed nor removable (the machine's own) are not drives of the station.
    if (!seen.drive || seen.refused === 'not external/removable') return;
    told.add(seen.sysfs);
    if (leftAlone || jobs.has(seen.sysfs)) {
      emit('drive-added', null, seen, { size: seen.size, ignored: leftAlone || 'a job runs on it' });
      return;
    }
    lastJob += 1;
    const job = { id: lastJob, controller: new AbortController(), removed: null };
    jobs.set(seen.sysfs, job);
    emit('drive-added', job.id, seen, { size: seen.size });
    const done = write(seen, job);
    running.add(done);
    done.finally(() => running.delete(done));
  }

  function removed(seen) {
    // Only drives the station told of: the machine's other disks come and go unseen.
    if (!told.delete(seen.sysfs)) return;
    const job = jobs.get(seen.sysfs);
    // Told after the drive's drive-done, so that each drive's events stay in order.
    if (job) job.removed = seen;
    else emit('drive-removed', lastJobs.get(seen.sysfs) ?? null, seen);
    lastJobs.delete(seen.sysfs);
  }

  return new Promise((resolve, reject) => {
    let watch = null;
    let watchFailure = null;
    const stop = () => {
      if (stopping) return;
      stopping = true;
      if (watch) watch.close();
      if (!finishRunning) cancelAll();
      const settle = async () => {
        while (running.size > 0) await Promise.allSettled([...running]);
        emit('station-stopped', null, null, { tallies: { ...tallies }, error: watchFailure && watchFailure.message });
        if (watchFailure) reject(watchFailure);
        else resolve({ ...tallies });
      };
      settle();
    };
    try {
      watch = flasher.watchDrives(rules, (seen) => {
        if (stopping) return;
        if (seen.kind === 'added') added(seen);
        else if (seen.kind === 'removed') removed(seen);
        else {
          // The watch failed: nothing more can appear.
          watchFailure = new FlasherError(seen.message, 'ENODRIVE');
          stop();
        }
      });
    } catch (err) {
      reject(toFlasherError(err, 'ENODRIVE'));
      return;
    }
    if (signal) signal.addEventListener('abort', stop, { once: true });
    if (cancelSignal) cancelSignal.addEventListener('abort', () => { stop(); cancelAll(); }, { once: true });
  });
}

module.exports = { station };
