// ES module entry: the same exports as index.js.
import api from './index.js';

export const {
  FlashDrive, inspectImage, listCache, clearCache, cacheFolder, checkPassword, checkPasswordForUser, listDrives, checkTargets,
  flash, verify, station, backup, inspect, FlasherError,
} = api;
