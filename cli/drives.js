'use strict';
// The drives as `flasher` shows them, from the addon's own lsblk reading (listDrives).
const { listDrives, checkTargets } = require('../index.js');
const { UsageError } = require('./exit');
const { formatBytes } = require('./units');

// The record `flasher list --json` prints.
function toEntry(drive) {
  return {
    name: drive.name,
    path: drive.path,
    size: drive.size,
    product: [drive.vendor, drive.model].filter(Boolean).join(' '),
    sectorSize: drive.sectorSize,
    removable: drive.removable,
    hotplug: drive.hotplug,
    writable: drive.removable || drive.hotplug || drive.loop === true,
    partitions: drive.partitions,
    ...(drive.loop ? { loop: true, backingFile: drive.backingFile } : {}),
  };
}

// With `loop`, the attached loop devices too.
async function listEntries(loop = false) {
  return (await listDrives({ loop })).map(toEntry);
}

function kindOf(drive) {
  if (drive.loop) return `loop device over ${drive.backingFile || 'an unknown file'}`;
  if (drive.removable) return 'removable';
  return drive.writable ? 'hot-pluggable' : 'internal, not writable';
}

function describeDrive(drive) {
  const kind = kindOf(drive);
  const lines = [`${drive.name}  ${drive.path}  ${formatBytes(drive.size)}  ${drive.product || '(no product name)'}  [${kind}]`];
  for (const part of drive.partitions) {
    const label = part.label || part.partlabel;
    const fields = [part.name, part.path, formatBytes(part.size), part.fstype || '-', label ? `"${label}"` : '-'];
    fields.push(part.mountpoint ? `mounted at ${part.mountpoint}` : 'not mounted');
    lines.push(`    ${fields.join('  ')}`);
  }
  return lines.join('\n');
}

// The engine's checks of a job on the command line. They read and write nothing, so an
// EWRITE or EVERIFY of theirs refuses a block size given on the command line.
async function checkCommandTargets(options) {
  try {
    return await checkTargets(options);
  } catch (err) {
    throw err.code === 'EWRITE' || err.code === 'EVERIFY' ? new UsageError(err.message) : err;
  }
}

module.exports = { listEntries, toEntry, describeDrive, checkCommandTargets };
