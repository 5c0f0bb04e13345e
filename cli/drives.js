'use strict';
// The drives as `flasher` shows them, from the addon's own lsblk reading (listDrives).
const { listDrives } = require('../index.js');
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
    writable: drive.removable || drive.hotplug,
    partitions: drive.partitions,
  };
}

async function listEntries() {
  return (await listDrives()).map(toEntry);
}

function describeDrive(drive) {
  const kind = drive.removable ? 'removable' : drive.writable ? 'hot-pluggable' : 'internal, not writable';
  const lines = [`${drive.name}  ${drive.path}  ${formatBytes(drive.size)}  ${drive.product || '(no product name)'}  [${kind}]`];
  for (const part of drive.partitions) {
    const label = part.label || part.partlabel;
    const fields = [part.name, part.path, formatBytes(part.size), part.fstype || '-', label ? `"${label}"` : '-'];
    fields.push(part.mountpoint ? `mounted at ${part.mountpoint}` : 'not mounted');
    lines.push(`    ${fields.join('  ')}`);
  }
  return lines.join('\n');
}

module.exports = { listEntries, toEntry, describeDrive };
