'use strict';
// Entry of the package: the FlashDrive class and the password checks of the two
// addons, the cache of downloaded images, and the promise API over them (listDrives,
// flash, verify, station, backup, inspect).
const { flasher, sudo } = require('./api/addons');
const { listDrives, checkTargets } = require('./api/drives');
const { flash, verify } = require('./api/flash');
const { station } = require('./api/station');
const { backup } = require('./api/backup');
const { inspect } = require('./api/inspect');
const { FlasherError } = require('./api/errors');

module.exports = {
  FlashDrive: flasher.FlashDrive,
  inspectImage: flasher.inspectImage,
  listCache: flasher.listCache,
  clearCache: flasher.clearCache,
  cacheFolder: flasher.cacheFolder,
  checkPassword: sudo.checkPassword,
  checkPasswordForUser: sudo.checkPasswordForUser,
  listDrives,
  checkTargets,
  flash,
  verify,
  station,
  backup,
  inspect,
  FlasherError,
};
