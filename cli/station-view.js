'use strict';
// What `flasher station` shows on a terminal: one line per port, kept in place while
// drives come and go (a bar, the speed and the drive's state), and a tally of the
// drives done, failed and running. A drive whose port udev does not name has a line
// of its own name.
const cliProgress = require('cli-progress');
const { BAR_OPTIONS } = require('./progress');
const { formatBytes, formatSpeed } = require('./units');

const PHASES = { write: 'writing', verify: 'verifying' };

function stationView() {
  const multibar = new cliProgress.MultiBar(
    { format: '{where} [{bar}] {percentage}% | {speed} | {state}', ...BAR_OPTIONS },
    cliProgress.Presets.shades_classic
  );
  const tally = { done: 0, failed: 0, running: 0 };
  const tallyLine = multibar.create(1, 0, {}, { format: 'done {done} | failed {failed} | running {running}{note}' });
  const lines = new Map(); // by port
  let note = '';
  let width = 12;

  const showTally = () => tallyLine.update(0, { ...tally, note });
  const lineOf = (drive) => {
    const where = drive.port || drive.name;
    width = Math.max(width, where.length);
    if (!lines.has(where)) lines.set(where, { bar: multibar.create(1, 0, { where, speed: '--', state: '' }), where });
    return lines.get(where);
  };
  const show = (drive, fields, bytes = null, total = null) => {
    const line = lineOf(drive);
    Object.assign(line, fields);
    if (total !== null) line.bar.setTotal(Math.max(total, 1));
    const payload = { where: line.where.padEnd(width), speed: line.speed || '--', state: line.state || '' };
    line.bar.update(bytes === null ? line.bar.value : bytes, payload);
  };

  showTally();
  return {
    event(e) {
      const name = e.drive && e.drive.name;
      switch (e.event) {
        case 'drive-added':
          show(e.drive, { state: e.ignored ? `${name}: left alone, ${e.ignored}` : `${name}: found`, speed: '--' }, 0, e.size);
          break;
        case 'job-started':
          tally.running += 1;
          show(e.drive, { state: `${name}: starting, ${formatBytes(e.size)}` }, 0, e.size);
          break;
        case 'phase':
          show(e.drive, { state: `${name}: ${PHASES[e.phase] || e.phase}` }, 0);
          break;
        case 'progress': {
          const waits = e.bottleneck ? `, waits on the ${e.bottleneck}` : '';
          show(e.drive, { speed: formatSpeed(e.speed), state: `${name}: ${PHASES[e.phase] || e.phase}${waits}` }, e.bytes, e.total);
          break;
        }
        case 'drive-done': {
          tally.running -= 1;
          const counted = e.result === 'ok' ? 'done' : e.result === 'failed' ? 'failed' : null;
          if (counted) tally[counted] += 1;
          const state = e.result === 'ok' ? 'done, verified' : e.result === 'cancelled' ? 'cancelled' : `FAILED (${e.error.code}): ${e.error.message}`;
          const line = lineOf(e.drive);
          show(e.drive, { state: `${name}: ${state}` }, e.result === 'ok' ? line.bar.getTotal() : line.bar.value);
          break;
        }
        case 'drive-removed': {
          const line = lineOf(e.drive);
          show(e.drive, { state: `${line.state || name} - removed` });
          break;
        }
        default:
          break;
      }
      showTally();
    },
    note(text) {
      note = ` | ${text}`;
      showTally();
    },
    stop: () => multibar.stop(),
  };
}

module.exports = { stationView };
