'use strict';
// The machine's disks as the flasher addon reads them from lsblk, and the exact lookup
// of the drive a job targets.
const { flasher } = require('./addons');
const { FlasherError, toFlasherError } = require('./errors');

async function listDrives() {
  try {
    return await flasher.listDrives();
  } catch (err) {
    throw toFlasherError(err, 'ENODRIVE');
  }
}

const isWritable = (drive) => drive.removable || drive.hotplug;

// The disk named exactly by its kernel name or device path, and writable. The engine
// also takes any part of a path, so "sd" could name the first of several drives.
function findDrive(drives, key) {
  const drive = drives.find((d) => d.name === key || d.path === key);
  if (drive) {
    if (!isWritable(drive)) throw new FlasherError('drive is not external/removable', 'ENODRIVE');
    return drive;
  }
  const holder = drives.find((d) => d.partitions.some((p) => p.name === key || p.path === key));
  if (holder) {
    throw new FlasherError(`${key} is a partition of ${holder.name}: give the whole drive (${holder.path})`, 'ENODRIVE');
  }
  throw new FlasherError(`required drive ${key} is not available`, 'ENODRIVE');
}

module.exports = { listDrives, findDrive, isWritable };
