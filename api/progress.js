'use strict';
// onProgress for one phase of a job: a report when the phase starts, about every
// 200 ms while bytes move (written, or read and downloaded), and one at its end. The bytes come from the engine's live
// counter (getProgress); its statistics move only every 400 blocks.
const INTERVAL_MS = 200;

// `side` is the counter: "write" or "validate".
function reportProgress({ flashDrive, side, phase, drive, onProgress }) {
  const read = () => {
    const { bytes, total, sourceBytes, sourceTotal } = flashDrive.getProgress()[side];
    return { bytes, total: total || null, sourceBytes, sourceTotal: sourceTotal || null };
  };
  const started = Date.now();
  let last = { bytes: -1, sourceBytes: -1 };
  let ended = false;

  const report = ({ bytes, total, sourceBytes, sourceTotal }, final) => {
    const seconds = (Date.now() - started) / 1000;
    const speed = seconds > 0 ? bytes / seconds : 0;
    let eta = null;
    if (final) eta = 0;
    else if (total !== null && speed > 0) eta = (total - bytes) / speed;
    last = { bytes, sourceBytes };
    onProgress({ drive, phase, bytes, total, speed, eta, sourceBytes, sourceTotal });
  };
  // The report at 100 % is the end report: it comes once, from here or from stop().
  const tick = () => {
    const now = read();
    // A download moves before the bytes written do.
    if (ended || (now.bytes === last.bytes && now.sourceBytes === last.sourceBytes)) return;
    ended = now.total !== null && now.bytes >= now.total;
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
