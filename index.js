'use strict';
// Entry of the package: the FlashDrive class of the flasher addon and the password
// checks of the sudoauth addon.
const path = require('path');

function loadAddon(name) {
  const file = path.join(__dirname, 'build', 'Release', `${name}.node`);
  try {
    return require(file);
  } catch (err) {
    throw new Error(
      `cannot load the ${name} addon from ${file} (${err.message}); ` +
        `build it with "npm run build" in ${__dirname}`
    );
  }
}

const { FlashDrive, inspectImage } = loadAddon('flasher');
const { checkPassword, checkPasswordForUser } = loadAddon('sudo');

module.exports = { FlashDrive, inspectImage, checkPassword, checkPasswordForUser };
