// Type declarations of the flasher package.

/** Progress of one job, as returned (JSON text) by getWriteStats and getValidateStats. */
export interface FlashStatistics {
  /** Progress in percent, 0 to 100; 100 when the job ended, 0 when it was cancelled. */
  completed: number;
  /** Estimated time to completion, in seconds. */
  eta: number;
  /** Whole job time in milliseconds; 0 while the job runs. */
  duration: number;
  /** Latest throughput sample, in bytes per second. */
  speed: number;
  /** Lowest plausible sample, in bytes per second; 0 before the first. */
  speedmin: number;
  /** Highest plausible sample, in bytes per second; 0 before the first. */
  speedmax: number;
  /** Mean of the plausible samples, in bytes per second. */
  speedavg: number;
  /** Number of blocks between two samples. */
  avgblocks: number;
  /** Validation: number of bytes that differ between drive and image. Write: always 0. */
  numwriteerrs: number;
  /** Errors recorded since the count last restarted (it wraps at 12). */
  numerrs: number;
  /** Text of the most recent error; empty when none occurred. */
  errque: string;
}

/** The full account of one job, as returned (JSON text) by getWriteReport and getValidateReport. */
export interface JobReport {
  /** Every error of the job, in order. */
  errors: Array<{
    /** Before the data moved, while it moved, or in the end steps (permissions, refresh). */
    phase: 'prepare' | 'data' | 'finish';
    /** Why, as the code a FlasherError of this failure carries. */
    reason: FlasherErrorCode;
    message: string;
    /** The system's error name, such as "EIO", where one applies. */
    code: string | null;
    /** Byte offset on the drive, where one applies. */
    offset: number | null;
  }>;
  /** True when every byte of the image reached the drive (write) or was compared (validation). */
  dataComplete: boolean;
  /** Image bytes written or compared. */
  bytes: number;
  image: { format: 'raw' | 'gzip' | 'xz' | 'zstd' | 'bzip2' | 'zip'; size: number | null; blockMap: boolean };
  /** Where the bytes came from: present for an image from a URL, or one with a published checksum. */
  source?: SourceReport;
}

/** Where a job's image came from, and how it was checked. */
export interface SourceReport {
  /** The path or URL of the image. */
  location: string;
  /** The image came from the cache, not the network. */
  fromCache: boolean;
  /** Bytes downloaded (0 for a file or a cached image). */
  downloaded: number;
  /** Times the download was resumed (or restarted) after a drop or a stall. */
  resumes: number;
  /** The comparison with the published SHA-256. */
  checksum: 'matched' | 'mismatched' | 'not checked';
  /** SHA-256 of the file as read, where it was computed (a checksum or the cache asked for it); else empty. */
  sha256: string;
}

/** One drive writer. Every method throws an Error with a fixed message on refusal. */
export class FlashDrive {
  /** Checks for lsblk (util-linux 2.34 or newer) and lists the machine's drives. */
  constructor();
  /** Chooses the target drive by kernel name, device path or partition name; refreshes the listing. */
  setDrive(key: string): void;
  /**
   * Chooses the image file (raw, gzip, xz, zstd, bzip2 or zip, told by its content) and
   * records its size; or an http:// or https:// URL, only recorded (no network here):
   * the job downloads it as it writes.
   */
  setImage(pathOrUrl: string): void;
  /**
   * Names a bmaptool block map: jobs then write and compare only its ranges, checking
   * their checksums. An empty string clears it. Throws "invalid block map: ..." or
   * "block map does not fit the image: ...". A URL is only recorded: the job downloads it.
   */
  setBlockMap(pathOrUrl: string): void;
  /** The published SHA-256 of the image file, 64 hexadecimal digits; "" for none. Throws "invalid SHA-256: ...". */
  setSha256(hex: string): void;
  /** The path or URL of a checksums file (SHA256SUMS, GNU or BSD form, or a .sha256 file) that lists the image; "" for none. */
  setChecksums(pathOrUrl: string): void;
  /** A keyring (as `gpg --export` writes it) whose key must sign the checksums file; "" for none. */
  setKeyring(path: string): void;
  /** Whether an image from a URL is kept in (and taken from) the cache, and the cache's size in bytes. */
  setCache(on: boolean, limitBytes: number): void;
  /** A download with no byte for this long is resumed; 30000 by default. */
  setStallTimeout(ms: number): void;
  /**
   * With true (the default), the first MiB that the image writes goes onto the drive
   * last, once all other data is written and flushed and the checksum matched; zeros
   * stand in for it until then. False writes in the image's order.
   */
  setFirstBlockLast(on: boolean): void;
  /** Stores the sudo password and checks it; throws "invalid sudo password". */
  setPassword(password: string): void;
  /** Bytes per write; a multiple of the drive's physical sector size. */
  setWriteBlock(bytes: number): void;
  /**
   * "sync" (the default): one O_DSYNC write at a time. "direct": O_DIRECT with several
   * writes in flight, flushed at each statistics sample and at the end; falls back to
   * "sync" where the device refuses O_DIRECT. Throws a TypeError for another value.
   */
  setWriteMode(mode: 'direct' | 'sync'): void;
  /**
   * With true, the write first checks that the drive holds as many bytes as it reports:
   * signatures spread over the whole drive must read back as written, or the write stops
   * with "drive holds fewer bytes than it reports (about N bytes usable)" before the
   * first image byte. Off by default; refused while a job runs.
   */
  setCapacityCheck(on: boolean): void;
  /** Starts writing the image onto the drive on a native thread; returns at once. */
  startWrite(): void;
  /** Asks the write to stop after its current block. */
  cancelWrite(): void;
  /** The write job's statistics as JSON text (see FlashStatistics). */
  getWriteStats(): string;
  /** Bytes per read of the validation; a multiple of the drive's physical sector size. */
  setValidateBlock(bytes: number): void;
  /** Starts reading the drive back and comparing it with the image; returns at once. */
  startValidate(): void;
  /** Asks the validation to stop after its current block. */
  cancelValidate(): void;
  /** The validation job's statistics as JSON text (see FlashStatistics). */
  getValidateStats(): string;
  /** The write job's report as JSON text (see JobReport). */
  getWriteReport(): string;
  /** The validation job's report as JSON text (see JobReport). */
  getValidateReport(): string;
  /** Starts the write like startWrite; `done` is called once the job has ended, end steps included. */
  runWrite(done: () => void): void;
  /** Starts the validation like startValidate; `done` is called once the job has ended. */
  runValidate(done: () => void): void;
  /**
   * Starts a write on each of `drives`, the image read once for all of them (they must
   * hold one image, block map and write block size). Every drive's start checks run
   * first: when one refuses, none starts and the Error's message is that drive's path,
   * ": " and the refusal. `done(i)` is called once drive i's job has ended.
   */
  static runGroupWrite(drives: FlashDrive[], done: (index: number) => void): void;
  /** Live byte counts of the two jobs; `total` 0 means unknown. */
  getProgress(): { write: JobProgress; validate: JobProgress };
}

/** Bytes a job has handled so far, and its whole size (0 when unknown). */
export interface JobProgress {
  bytes: number;
  total: number;
  /** Bytes of the image file read or downloaded so far. */
  sourceBytes: number;
  /** The image file's size as stored; 0 when unknown. */
  sourceTotal: number;
}

/** What an image file holds, read without decoding it. */
export interface ImageInfo {
  format: 'raw' | 'gzip' | 'xz' | 'zstd' | 'bzip2' | 'zip';
  /** Bytes of the file as stored. */
  fileSize: number;
  /** Decoded bytes, or null where the format does not record them (gzip, bzip2, some zstd). */
  size: number | null;
}

/**
 * Reads an image file's format and decoded size. Throws an Error with `code` EIMAGE for
 * what no job could read as an image: a missing, empty or unreadable file, a
 * directory, a device node.
 */
export function inspectImage(path: string): ImageInfo;

/** What inspect() tells of an image file or URL. */
export interface ImageDescription {
  format: ImageInfo['format'];
  /** Bytes of the file as stored; null where the server does not say. */
  fileSize: number | null;
  /** Decoded bytes, or null where unknown. */
  size: number | null;
}

/**
 * The format and sizes of an image file or of an http(s) URL, read off the JavaScript
 * thread: for a URL its first bytes, its length and, with range requests, the xz index
 * or the zip directory.
 */
export function inspect(image: string, options?: { stallTimeoutMs?: number }): Promise<ImageDescription>;

/** An image kept in the cache of downloads. */
export interface CacheEntry {
  sha256: string;
  url: string;
  size: number;
  /** Milliseconds since the epoch. */
  lastUsed: number;
  path: string;
}

/** The cached images, most recently used first. */
export function listCache(): CacheEntry[];
/** Removes every cached image; returns how many there were. */
export function clearCache(): number;
/** The cache's folder: $XDG_CACHE_HOME/flasher or ~/.cache/flasher. */
export function cacheFolder(): string;

/** True when sudo accepts `password` for the user running the process. */
export function checkPassword(password: string): boolean;

/** True when sudo accepts `password` and su to `user` succeeds. */
export function checkPasswordForUser(user: string, password: string): boolean;

/** A partition of a drive, as lsblk lists it; texts are empty when lsblk has none. */
export interface Partition {
  name: string;
  path: string;
  size: number;
  /** Empty when the partition is not mounted. */
  mountpoint: string;
  label: string;
  partlabel: string;
  fstype: string;
}

/** A disk of the machine. Only removable or hot-pluggable drives can be written. */
export interface Drive {
  /** Kernel name, such as "sdb". */
  name: string;
  /** Device path, such as "/dev/sdb". */
  path: string;
  /** Bytes. */
  size: number;
  model: string;
  vendor: string;
  removable: boolean;
  hotplug: boolean;
  /** Physical sector size in bytes; block sizes must be multiples of it. */
  sectorSize: number;
  partitions: Partition[];
}

/** The disks of the machine, from the addon's own lsblk reading. */
export function listDrives(): Promise<Drive[]>;

export interface TargetCheckOptions {
  /** Kernel names or device paths, exactly as listDrives shows them. */
  drives: string[];
  /** A path, or an http(s) URL, which is not read here: the job reads it. */
  image: string;
  /** A path, or a URL (not read here). */
  blockMap?: string;
  /** The write's block size; given, the image must also fit every drive. */
  blockSize?: number;
  /** The verification's block size. */
  verifyBlockSize?: number;
  /** An image at a URL: its decoded size as inspect() read it, checked against the drives. */
  imageSize?: number;
}

export interface TargetCheck {
  /** Null for an image at a URL. */
  image: ImageInfo | null;
  /** The block map's decoded image size and the bytes it maps, or null without one. */
  blockMap: { imageSize: number; mappedBytes: number } | null;
  /** The drives, in the order named. */
  drives: Drive[];
}

/**
 * The engine's checks of a job before anything is asked or done, with one listing of
 * the drives: each drive named exactly, writable and named once, the block sizes
 * whole sectors of it (at most 256 MiB), the image and its map readable, and the image
 * fitting. Rejects with a FlasherError (ENODRIVE, ETOOSMALL, EIMAGE, EWRITE or EVERIFY
 * for a block size); among several drives the message starts with the drive's path.
 */
export function checkTargets(options: TargetCheckOptions): Promise<TargetCheck>;

export interface Progress {
  drive: Drive;
  phase: 'write' | 'verify';
  /** Bytes of the image handled so far in this phase; never decreases. */
  bytes: number;
  /** Bytes of the whole phase; null when unknown. */
  total: number | null;
  /** Mean bytes per second since the phase started. */
  speed: number;
  /** Seconds left; null when unknown, 0 in the report that ends the phase. */
  eta: number | null;
  /** Bytes of the image file read or downloaded so far in this phase. */
  sourceBytes: number;
  /** The image file's size as stored (a URL's Content-Length); null when unknown. */
  sourceTotal: number | null;
}

/** Where the image comes from and how it is checked: for files and URLs. */
export interface SourceOptions {
  /** The published SHA-256 of the image file (64 hexadecimal digits). */
  sha256?: string;
  /** Path or URL of a checksums file listing the image: SHA256SUMS (GNU or BSD form) or a .sha256 file. */
  checksums?: string;
  /** Keyring whose key must sign the checksums file (clearsigned, or .gpg, .sign, .asc next to it); needs `checksums`. */
  keyring?: string;
  /** Keep an image from a URL in the cache, and take it from there; false by default. */
  cache?: boolean;
  /** The cache's size in bytes; 16 GiB by default. */
  cacheLimit?: number;
  /** A download with no byte for this long is resumed; 30000 by default. */
  stallTimeoutMs?: number;
}

export interface VerifyOptions extends SourceOptions {
  /** Path or http(s) URL of the image. */
  image: string;
  /** Kernel name or device path of the drive, exactly as listDrives shows it. */
  drive: string;
  /** The sudo password; needed when the process is not root. */
  password?: string;
  /** Bytes per read and write, a multiple of the drive's sector size; 4 MiB by default. */
  blockSize?: number;
  /** Aborting it cancels the job; the promise then rejects with an AbortError. */
  signal?: AbortSignal;
  /** Called when a phase starts, about every 200 ms while bytes move, and once at its end. */
  onProgress?: (progress: Progress) => void;
}

export interface FlashOptions extends VerifyOptions {
  /** Read the drive back after writing; true by default. */
  verify?: boolean;
  /** Bytes per read of the verification, a multiple of the drive's sector size; blockSize by default. */
  verifyBlockSize?: number;
  writeMode?: 'direct' | 'sync';
  /** Check that the drive holds as many bytes as it reports; true by default. */
  capacityCheck?: boolean;
  /** Path or URL of a block map (bmap) of the image: only the mapped blocks are written. */
  blockMap?: string;
  /** The image's first MiB goes onto the drive last, zeros standing in for it until then; true by default. */
  firstBlockLast?: boolean;
}

/** Several drives written from one read of the image; replaces `drive`. */
export interface GroupFlashOptions extends Omit<FlashOptions, 'drive'> {
  drives: string[];
}

export interface VerifyResult {
  differingBytes: number;
  durationMs: number;
  /** The verification's job report. */
  report: JobReport;
}

export interface FlashResult {
  drive: Drive;
  /** As the job read the image (a file or a URL): size null where the format records none. */
  image: { format: ImageInfo['format']; size: number | null };
  /** Bytes of the image written onto the drive. */
  bytesWritten: number;
  durationMs: number;
  /** Null when the verification was turned off. */
  verify: { differingBytes: number; durationMs: number } | null;
  /** The write's job report. */
  report: JobReport;
}

/** One drive of a group write. */
export interface DriveResult {
  drive: Drive;
  status: 'ok' | 'failed' | 'cancelled';
  bytesWritten: number;
  verify: { differingBytes: number; durationMs: number } | null;
  /** The write's job report. */
  report: JobReport;
  /** Why the drive failed; null when it did not. */
  error: FlasherError | null;
}

export interface GroupFlashResult {
  image: { format: ImageInfo['format']; size: number | null };
  /** One result per drive, in the order given. */
  results: DriveResult[];
}

/** Why a call or a job failed: the engine sets it where the failure arises. */
export type FlasherErrorCode =
  /** The drive is unknown or not writable, or the drives cannot be listed. */
  | 'ENODRIVE'
  /** The image does not fit the drive. */
  | 'ETOOSMALL'
  /** The sudo password is wrong or missing. */
  | 'EPASSWORD'
  /** sudo refuses this user whatever the password. */
  | 'ENOSUDO'
  /** The image or its block map cannot be read or is corrupt. */
  | 'EIMAGE'
  /** Data did not reach the drive. */
  | 'EWRITE'
  /** The drive went away during the job. */
  | 'EREMOVED'
  /** The drive holds fewer bytes than it reports. */
  | 'ECAPACITY'
  /** The drive differs from the image or cannot be read back. */
  | 'EVERIFY'
  /** A job is running on the drive. */
  | 'EBUSY'
  /** The image could not be downloaded. */
  | 'ENETWORK'
  /** The image differs from its published checksum. */
  | 'ECHECKSUM'
  /** The checksums carry no valid signature. */
  | 'ESIGNATURE'
  /** The source drive cannot be read. */
  | 'EREAD'
  /** The output cannot be written. */
  | 'EOUTPUT';

/** How flash() and verify() fail; the message is the engine's own text. */
export class FlasherError extends Error {
  name: 'FlasherError';
  code: FlasherErrorCode;
  /** With EVERIFY: the bytes that differ between drive and image. */
  differingBytes?: number;
  /** The failed job's report, where a job ran. */
  report?: JobReport;
}

/** Writes the image onto the drive, then reads it back and compares. */
export function flash(options: FlashOptions): Promise<FlashResult>;
/** Writes the image onto every drive from one read of it, then reads each back. */
export function flash(options: GroupFlashOptions): Promise<GroupFlashResult>;

/** Reads the drive back and compares it with the image. */
export function verify(options: VerifyOptions): Promise<VerifyResult>;
