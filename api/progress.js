'use strict';
// onProgress for one phase of a job: a report when the phase starts, about every
// 200 ms while bytes move (written, or read and downloaded), and one at its end. The
// bytes come from the engine's live counter (getProgress); its statistics move only
// every 400 blocks. A write's reports also tell how long it waited for image data and
// for the device, and the writes it keeps in flight.
const INTERVAL_MS = 200;

// `side` is the counter: "write", "validate" or "backup" (which also counts the bytes
// of its output).
function reportProgress({ flashDrive, side, phase, drive, onProgress }) {
  const read = () => {
    const live = flashDrive.getProgress()[side];
    const now = { bytes: live.bytes, total: live.total || null };
    if (live.sourceBytes !== undefined) {
      now.sourceBytes = live.sourceBytes;
      now.sourceTotal = live.sourceTotal || null;
    }
    if (side === 'write') {
      now.waited = { imageMs: live.waitedForImageMs, deviceMs: live.waitedForDeviceMs };
      now.queueDepth = live.queueDepth;
      now.queueDepthHalvings = live.queueDepthHalvings;
    }
    if (live.outputBytes !== undefined) now.outputBytes = live.outputBytes;
    return now;
  };
  const started = Date.now();
  let last = { bytes: -1 };
  let ended = false;

  const report = ({ bytes, total, ...more }, final) => {
    const seconds = (Date.now() - started) / 1000;
    const speed = seconds > 0 ? bytes / seconds : 0;
    let eta = null;
    if (final) eta = 0;
    else if (total !== null && speed > 0) eta = (total - bytes) / speed;
    last = { bytes, ...more };
    onProgress({ drive, phase, bytes, total, speed, eta, ...more });
  };
  // The report at 100 % is the end report: it comes once, from here or from stop(). A
  // backup's output still grows once every byte was read: its end report is stop()'s.
  const tick = () => {
    const now = read();
    // A download, and a backup's output, move before the bytes written do.
    if (ended || (now.bytes === last.bytes && now.sourceBytes === last.sourceBytes && now.outputBytes === last.outputBytes)) return;
    ended = now.total !== null && now.bytes >= now.total && now.outputBytes === undefined;
    report(now, ended);
  };

  report(read(), false);
  const timer = setInterval(tick, INTERVAL_MS);
  // The job itself keeps the process alive while it runs.
  timer.unref();
  return {
    stop() {
      clearInterval(timer);
      if (!ended) report(read(), true);
      ended = true;
    },
  };
}

module.exports = { reportProgress };
