'use strict';
// Entry of the package: the FlashDrive class and the password checks of the two
// addons, and the promise API over them (listDrives, flash, verify, station, backup).
const { flasher, sudo } = require('./api/addons');
const { listDrives, checkTargets } = require('./api/drives');
const { flash, verify } = require('./api/flash');
const { station } = require('./api/station');
const { backup } = require('./api/backup');
const { FlasherError } = require('./api/errors');

module.exports = {
  FlashDrive: flasher.FlashDrive,
  inspectImage: flasher.inspectImage,
  checkPassword: sudo.checkPassword,
  checkPasswordForUser: sudo.checkPasswordForUser,
  listDrives,
  checkTargets,
  flash,
  verify,
  station,
  backup,
  FlasherError,
};
