'use strict';
// `flasher list`: the drives an image can be written to, or with --all every disk; with
// --loop also the loop devices attached over files.
const { listEntries, describeDrive } = require('./drives');

async function list({ all = false, json = false, loop = false }) {
  const drives = (await listEntries(loop)).filter((drive) => all || drive.writable);
  if (json) {
    process.stdout.write(`${JSON.stringify(drives, null, 2)}\n`);
  } else if (drives.length === 0) {
    process.stdout.write(all ? 'no drives found\n' : 'no removable or hot-pluggable drive found\n');
  } else {
    process.stdout.write(`${drives.map(describeDrive).join('\n')}\n`);
  }
  return 0;
}

module.exports = { list };
