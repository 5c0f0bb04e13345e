'use strict';
// Entry of the package: the FlashDrive class of the flasher addon and the password
// checks of the sudo addon.
const { flasher, sudo } = require('./api/addons');

module.exports = {
  FlashDrive: flasher.FlashDrive,
  checkPassword: sudo.checkPassword,
  checkPasswordForUser: sudo.checkPasswordForUser,
};
