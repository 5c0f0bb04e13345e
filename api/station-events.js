'use strict';
// The events of a station, one plain object each: { event, job, drive, time, ... },
// as onEvent receives them and the CLI prints them as NDJSON. Events of one drive come
// in order: drive-added, job-started, phase and progress, drive-done, drive-removed.
const PROGRESS_INTERVAL_MS = 1000;

// The drive as every event names it.
function driveOf(seen) {
  const drive = seen.drive || {};
  return { name: seen.name, sysfs: seen.sysfs, devnum: seen.devnum, serial: drive.serial ?? null, port: drive.port ?? null };
}

// Turns a job's onProgress reports into `progress` events about once a second, each
// with the share of the time since the last one that the job waited for image data
// and for the device, and the bottleneck of the two.
function progressEvents(emit) {
  let lastAt = 0;
  let lastWaits = null;
  return (report) => {
    const now = Date.now();
    const final = report.eta === 0;
    if (!final && now - lastAt < PROGRESS_INTERVAL_MS) return;
    lastAt = now;
    const waits = report.waited || { imageMs: 0, deviceMs: 0 };
    const image = waits.imageMs - (lastWaits ? lastWaits.imageMs : 0);
    const device = waits.deviceMs - (lastWaits ? lastWaits.deviceMs : 0);
    lastWaits = waits;
    const waited = image + device;
    const share = (ms) => (waited > 0 ? Math.round((ms / waited) * 1000) / 1000 : 0);
    emit('progress', {
      phase: report.phase,
      bytes: report.bytes,
      total: report.total,
      speed: Math.round(report.speed),
      eta: report.eta === null ? null : Math.round(report.eta),
      waiting: { image: share(image), device: share(device) },
      bottleneck: waited === 0 ? null : image > device ? 'image' : 'device',
      queueDepth: report.queueDepth ?? null,
    });
  };
}

// Sends each event to onEvent; a throwing listener does not stop the station.
function eventSink(onEvent) {
  return (event, job, seen, fields = {}) => {
    const record = { event, job, drive: seen && driveOf(seen), time: new Date().toISOString(), ...fields };
    if (!onEvent) return record;
    try {
      onEvent(record);
    } catch {
      // The station goes on whatever the listener does.
    }
    return record;
  };
}

module.exports = { eventSink, progressEvents, driveOf, PROGRESS_INTERVAL_MS };
