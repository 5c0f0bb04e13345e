// ES module entry: the same exports as index.js.
import api from './index.js';

export const {
  FlashDrive, inspectImage, checkPassword, checkPasswordForUser, listDrives, checkTargets, flash, verify, station, backup,
  FlasherError,
} = api;
