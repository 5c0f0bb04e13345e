'use strict';
// The machine's disks as lsblk lists them, read with the same command line the addon
// runs, and classified by the same rule: a disk is writable when lsblk reports it
// removable or hot-pluggable.
const { execFileSync } = require('node:child_process');
const { formatBytes } = require('./units');

const LSBLK_ARGS = [
  '--bytes', '--json', '-o',
  'name,path,type,size,model,vendor,phy-sec,log-sec,rm,hotplug,label,fstype,uuid,ptuuid,parttype,partlabel,mountpoint',
];

const text = (value) => (typeof value === 'string' ? value : '');
const number = (value) => (typeof value === 'number' ? value : 0);

function toPartition(entry) {
  return {
    name: text(entry.name),
    path: text(entry.path),
    size: number(entry.size),
    fstype: text(entry.fstype),
    label: text(entry.label),
    partlabel: text(entry.partlabel),
    mountpoint: text(entry.mountpoint),
  };
}

function toDrive(entry) {
  // A missing "hotplug" counts as hot-pluggable, as in the addon.
  const internal = entry.hotplug === false;
  const removable = entry.rm === true;
  return {
    name: text(entry.name),
    path: text(entry.path),
    size: number(entry.size),
    product: [text(entry.vendor), text(entry.model)].map((s) => s.trim()).filter(Boolean).join(' '),
    sectorSize: number(entry['phy-sec']),
    removable,
    hotplug: entry.hotplug === true,
    writable: removable || !internal,
    partitions: (entry.children || []).map(toPartition),
  };
}

function listDrives() {
  let output;
  try {
    output = execFileSync('lsblk', LSBLK_ARGS, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
  } catch (err) {
    const reason = err.code === 'ENOENT' ? 'lsblk is not installed (util-linux)' : String(err.stderr || err.message).trim();
    throw new Error(`failed to list drives: ${reason}`);
  }
  let listing;
  try {
    listing = JSON.parse(output);
  } catch (err) {
    throw new Error(`failed to list drives: ${err.message}`);
  }
  return (listing.blockdevices || []).filter((entry) => entry && entry.type === 'disk').map(toDrive);
}

// The disk named exactly by its kernel name or device path. Partitions are refused
// by name: the image goes onto a whole drive.
function findDrive(drives, key) {
  const drive = drives.find((d) => d.name === key || d.path === key);
  if (drive) return drive;
  const holder = drives.find((d) => d.partitions.some((p) => p.name === key || p.path === key));
  if (holder) throw new Error(`${key} is a partition of ${holder.name}: give the whole drive (${holder.path})`);
  throw new Error(`no drive named ${key}: see "flasher list"`);
}

// The addon looks a key up as a substring of the device paths, first match first; the
// CLI hands it the drive's path only when no disk listed before it would match too.
function addonKey(drives, drive) {
  const first = drives.find((d) => d.name === drive.path || d.path.includes(drive.path));
  if (first !== drive) throw new Error(`${drive.path} is ambiguous in the listing (it also matches ${first.path})`);
  return drive.path;
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

module.exports = { listDrives, findDrive, addonKey, describeDrive };
