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
    /**
     * Before the data moved, while it moved, in the steps after the verification
     * (repair, GPT, files), or in the end steps (permissions, refresh); the end steps'
     * errors alone leave a job successful.
     */
    phase: 'prepare' | 'data' | 'steps' | 'finish';
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
  /** Image bytes written or compared; for a backup, bytes read from the drive. */
  bytes: number;
  /** For a backup, the image it makes: its format, its size (the extent) and whether it gets a block map. */
  image: { format: 'raw' | 'gzip' | 'xz' | 'zstd' | 'bzip2' | 'zip'; size: number | null; blockMap: boolean };
  /** Validation only: where the drive differs from the image now, in 4 KiB sectors (at most 1000 ranges). */
  differingRanges?: ByteRange[];
  /** Validation only: the steps after the comparison. */
  steps?: FinishSteps;
  /** Backups only: the files made; the paths and the SHA-256 are null until the backup succeeded. */
  backup?: {
    output: string;
    extent: 'partitions' | 'whole';
    /** Bytes of the output file. */
    outputBytes: number;
    sha256: string | null;
    blockMap: string | null;
    checksumFile: string | null;
  };
  /** Where the bytes came from: present for an image from a URL, or one with a published checksum. */
  source?: SourceReport;
}

/** Bytes of a drive. */
export interface ByteRange {
  offset: number;
  length: number;
}

/** A step after the verification: done, skipped (and why) or failed (and why). */
export interface FinishStep {
  status: 'done' | 'skipped' | 'failed';
  message: string;
}

/**
 * The steps after the verification, in the order they run: repair, the backup GPT moved
 * to the drive's end, first-boot files, eject.
 */
export interface FinishSteps {
  repair: FinishStep & {
    /** Differing bytes the verification found before any repair. */
    firstPassDifferingBytes: number;
    /** Ranges written again, over all passes. */
    ranges: ByteRange[];
    /** Every verification: the first, then one after each repair pass. */
    passes: Array<{ differingBytes: number; ranges: ByteRange[] }>;
  };
  gpt: FinishStep & {
    /** Sectors written: the protective MBR, the primary header, the backup entries and header. */
    sectors: ByteRange[];
    /** Of those, the ones inside the image: a later verification finds them differing. */
    imageSectors: ByteRange[];
  };
  files: FinishStep & { files: Array<{ partition: number; path: string; bytes: number }> };
  /** Its message says "not ejected: <reason>" where udisks is missing or refused; that fails nothing. */
  eject: FinishStep;
}

/** A file written into a FAT partition of the drive after the verification. */
export interface FirstBootFile {
  /** The partition's number in the image's partition table (1 for sdb1). */
  partition: number;
  /** Path inside the file system; missing folders are created. */
  path: string;
  /** The bytes; in flash(), a function gives each drive its own. */
  content: string | Uint8Array | ((drive: Drive, index: number) => string | Uint8Array);

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
  /** SHA-256 of the file as read, where it was computed (a checksum, the cache or `digest` asked for it); else empty. */
  sha256: string;
  /** Why the block map found next to the image (blockMapFound) was left out, every block written; absent where none was. */
  blockMapUnused?: string;
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
   * Chooses a listed drive (kernel name or device path) as the image: a clone. The write
   * reads it up to the end of its last partition (the whole drive where it has none),
   * unmounting its partitions first; it cannot be the target. Throws (code ENODRIVE)
   * "required drive KEY is not available" or "drive is not external/removable".
   */
  setSourceDrive(key: string): void;
  /**
   * Names a bmaptool block map: jobs then write and compare only its ranges, checking
   * their checksums. An empty string clears it. Throws "invalid block map: ..." or
   * "block map does not fit the image: ...". A URL is only recorded: the job downloads it.
   * `found`: looked for next to the image, not chosen (FlashOptions.blockMapFound).
   */
  setBlockMap(pathOrUrl: string, found?: boolean): void;
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
  /** Whether loop devices count as drives from the next setDrive on; false by default. */
  setAllowLoop(on: boolean): void;
  /** Whether the job computes the SHA-256 of the image bytes it reads where no checksum asks for it (the report's `source.sha256`); false by default. */
  setDigest(on: boolean): void;
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
  /**
   * Times the validation writes what it found differing again (decoded again from the
   * image) and verifies the whole image again; 0 (the default) repairs nothing. A drive
   * whose differences look like a counterfeit's fails with ECAPACITY, one still differing
   * with EVERIFY.
   */
  setRepairAttempts(attempts: number): void;
  /**
   * With true, a validation that found the drive holding the image moves a GPT's
   * backup to the drive's last sectors (as `sgdisk -e`); false by default.
   */
  setFixGpt(on: boolean): void;
  /** With true, a successful validation ends by powering the drive off through udisks; false by default. */
  setEject(on: boolean): void;
  /**
   * Files a successful validation writes into FAT partitions of the drive (mtools), then
   * reads back. Throws EIMAGE when a partition is missing from the image or is not FAT;
   * the write's start checks say the same.
   */
  setFiles(files: Array<{ partition: number; path: string; content: string | Uint8Array }>): void;
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
  /**
   * Chooses the file a backup of the drive makes and how: `optionsJson` is the JSON text
   * of an object with any of format, level, extent, blockMap, checksum and overwrite (see
   * BackupOptions). Throws a TypeError (code ERR_INVALID_ARG_VALUE) for an option that
   * is wrong, or where the output's name tells no format and none is given.
   */
  setBackup(output: string, optionsJson: string): void;
  /**
   * Starts reading the drive into the output on a native thread; returns at once. Throws
   * (code EOUTPUT) when an output file exists and overwriting was not asked for, its
   * folder is missing, or it lies on the drive being read.
   */
  startBackup(): void;
  /** Starts the backup like startBackup; `done` is called once the job has ended. */
  runBackup(done: () => void): void;
  /** Asks the backup to stop after its current block; nothing of its output is kept. */
  cancelBackup(): void;
  /** The backup job's statistics as JSON text (see FlashStatistics). */
  getBackupStats(): string;
  /** The backup job's report as JSON text (see JobReport, with its `backup` member). */
  getBackupReport(): string;
  /** Live byte counts of the jobs; `total` 0 means unknown. A backup also counts the bytes of its output. */
  getProgress(): { write: JobProgress; validate: JobProgress; backup: JobProgress & { outputBytes: number } };
}

/** Bytes a job has handled so far, and its whole size (0 when unknown). */
export interface JobProgress {
  bytes: number;
  total: number;
  /** Time the job's thread waited for the image's next data, in milliseconds. */
  waitedForImageMs: number;
  /** Time it waited for the device (a free place among its writes in flight, the flushes). */
  waitedForDeviceMs: number;
  /**
   * Writes a direct write keeps in flight now: the device's queue/nr_requests over
   * max_sectors_kb, at most the lower of 8 and nr_requests / 2; 1 for a synchronous
   * write; 0 before the job starts.
   */
  queueDepth: number;
  /** How often a write that took longer than 5 s halved queueDepth. */
  queueDepthHalvings: number;
  /** Image bytes a drive of a group write read back from the spool file once it fell behind. */
  spooledBytes: number;
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
  /** The serial number the drive reports; identical sticks may share one. Null when none. */
  serial: string | null;
  /** Where it is plugged in: its /dev/disk/by-path name; null where udev names none. */
  port: string | null;
  partitions: Partition[];
  /** Listed with `loop: true` only: a loop device, and the file behind it (null where the kernel names none). */
  loop?: true;
  backingFile?: string | null;
}

/** The disks of the machine, from the addon's own lsblk reading; with `loop`, the attached loop devices too. */
export function listDrives(options?: { loop?: boolean }): Promise<Drive[]>;

export interface TargetCheckOptions {
  /** Kernel names or device paths, exactly as listDrives shows them. */
  drives: string[];
  /**
   * An image file or an http(s) URL (which is not read here: the job reads it), or the
   * kernel name or device path of a listed drive (a clone); none for a backup's drive.
   */
  image?: string;
  /** A path, or a URL (not read here). */
  blockMap?: string;
  /** The write's block size; given, the image must also fit every drive. */
  blockSize?: number;
  /** The verification's block size. */
  verifyBlockSize?: number;
  /** An image at a URL: its decoded size as inspect() read it, checked against the drives. */
  imageSize?: number;
  /** Loop devices count as drives; false by default. */
  allowLoop?: boolean;
}

export interface TargetCheck {
  /** Null where no image was named, and for an image at a URL. For a source drive: raw, its extent as the size where it can be read now. */
  image: ImageInfo | null;
  /** The drive the image names (a clone), which is none of the drives; null for an image file. */
  source: Drive | null;
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
  /** Write phase: the job's time spent waiting for image data and for the device, in ms so far. */
  waited?: { imageMs: number; deviceMs: number };
  /** Write phase: the writes kept in flight now (see JobProgress.queueDepth). */
  queueDepth?: number;
  /** Write phase: how often a write slower than 5 s halved queueDepth. */
  queueDepthHalvings?: number;
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
  /** Compute the SHA-256 of the image bytes the job reads (the result's `image.sha256`) where nothing else asks for it; false by default. */
  digest?: boolean;
}

export interface VerifyOptions extends SourceOptions {
  /**
   * Path or http(s) URL of the image; or the kernel name or device path of a listed
   * drive, read up to the end of its last partition (a clone; "./sdb" names a file).
   */
  image: string;
  /** Kernel name or device path of the drive, exactly as listDrives shows it. */
  drive: string;
  /** The sudo password; needed when the process is not root. */
  password?: string;
  /** Bytes per read and write, a multiple of the drive's sector size; 4 MiB by default. */
  blockSize?: number;
  /** A loop device may be the drive (to try a job on a file); false by default. */
  allowLoop?: boolean;
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
  /**
   * The block map at a URL was looked for next to the image rather than chosen: where the
   * image is checked (sha256, checksums), it is used only if the checksums file lists it
   * with its SHA-256, else every block is written (the report's source.blockMapUnused
   * says why). False by default.
   */
  blockMapFound?: boolean;
  /** Repair passes after the verification (0 to 100); 2 by default. */
  repair?: number;
  /** Move a GPT's backup to the drive's end; true by default. */
  fixGpt?: boolean;
  /** First-boot files for FAT partitions of the image; none by default. */
  files?: FirstBootFile[];
  /** Power the drive off at the end through udisks; false by default. */
  eject?: boolean;
  /** The image's first MiB goes onto the drive last, zeros standing in for it until then; true by default. */
  firstBlockLast?: boolean;
}

/** Several drives written from one read of the image; replaces `drive`. */
export interface GroupFlashOptions extends Omit<FlashOptions, 'drive'> {
  drives: string[];
}

export interface VerifyResult {
  differingBytes: number;
  /** Where the drive differs, in 4 KiB sectors. */
  ranges: ByteRange[];
  durationMs: number;
  /** The verification's job report. */
  report: JobReport;
}

/** The image of a write: as inspectImage tells, size null where the format records none; for a clone the source drive and its extent. */
export interface WrittenImage {
  format: ImageInfo['format'];
  size: number | null;
  /** The source drive of a clone. */
  drive?: Drive;
}

export interface FlashResult {
  drive: Drive;
  /** As the job read the image (a file, a URL or a source drive): size null where the format records none. */
  image: WrittenImage;
  /** Bytes of the image written onto the drive. */
  bytesWritten: number;
  durationMs: number;
  /** Null when the verification was turned off. */
  verify: { differingBytes: number; ranges: ByteRange[]; durationMs: number } | null;
  /** The steps after the verification; all skipped when it was turned off. */
  steps: FinishSteps;
  /** The write's job report. */
  report: JobReport;
}

/** One drive of a group write. */
export interface DriveResult {
  drive: Drive;
  status: 'ok' | 'failed' | 'cancelled';
  bytesWritten: number;
  verify: { differingBytes: number; ranges: ByteRange[]; durationMs: number } | null;
  steps: FinishSteps;
  /** The write's job report. */
  report: JobReport;
  /** Why the drive failed; null when it did not. */
  error: FlasherError | null;
}

export interface GroupFlashResult {
  image: WrittenImage;
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
  /** With EVERIFY after a verification: where the drive still differs. */
  ranges?: ByteRange[];
  /** The failed job's report, where a job ran. */
  report?: JobReport;
}

export interface BackupOptions {
  /** Kernel name or device path of the drive to read, exactly as listDrives shows it. */
  drive: string;
  /** Path of the image file to make. */
  output: string;
  /** The sudo password; needed when the process is not root. */
  password?: string;
  /** By default told by the output's name: .img raw (sparse), .zst zstd, .xz xz, .gz gzip. */
  format?: 'raw' | 'zstd' | 'xz' | 'gzip';
  /** Compression level: zstd 1-19 (default 3), xz 0-9 (default 6), gzip 1-9 (default 6); none for raw. */
  level?: number;
  /** "partitions" (the default): up to the end of the last partition; "whole": the whole drive. */
  extent?: 'partitions' | 'whole';
  /** Write OUTPUT.bmap, the block map of the ranges that hold data; true by default. */
  blockMap?: boolean;
  /** Write OUTPUT.sha256, the output's SHA-256 in sha256sum form; true by default. */
  checksum?: boolean;
  /** Replace an existing output (and its .bmap and .sha256); false by default. */
  overwrite?: boolean;
  /** Aborting it cancels the backup, which keeps nothing; the promise then rejects with an AbortError. */
  signal?: AbortSignal;
  /** Called when the backup starts, about every 200 ms while bytes move, and once at its end. */
  onProgress?: (progress: BackupProgress) => void;
}

export interface BackupProgress extends Omit<Progress, 'phase'> {
  phase: 'backup';
  /** Bytes of the output file so far. */
  outputBytes: number;
}

export interface BackupResult {
  /** Bytes read from the drive: its extent. */
  bytesRead: number;
  /** Bytes of the output file. */
  outputBytes: number;
  /** SHA-256 of the output file, lower-case hex. */
  sha256: string;
  /** Path of the block map, or null when none was asked for. */
  blockMap: string | null;
  durationMs: number;
  /** The backup's job report. */
  report: JobReport;
}

/** Writes the image onto the drive, then reads it back and compares. */
export function flash(options: FlashOptions): Promise<FlashResult>;
/** Writes the image onto every drive from one read of it, then reads each back. */
export function flash(options: GroupFlashOptions): Promise<GroupFlashResult>;

/** Reads the drive back and compares it with the image. */
export function verify(options: VerifyOptions): Promise<VerifyResult>;

/** Which appearing drives a station writes; every rule given must hold. */
export interface StationMatch {
  /** Bytes. */
  minSize?: number;
  maxSize?: number;
  /** A /dev/disk/by-path name, or a shell pattern of one (`*`, `?`, `[...]`). */
  port?: string;
  /** A part of the vendor's name, in any case. */
  vendor?: string;
  /** A part of the model's name, in any case. */
  model?: string;
}

export interface StationOptions extends Omit<FlashOptions, 'drive' | 'onProgress'> {
  match?: StationMatch;
  /** Also write the matching drives present when the station starts; false by default. */
  includePresent?: boolean;
  /** When `signal` aborts, let the running jobs finish (true, the default) or cancel them. */
  finishRunning?: boolean;
  /** Aborting it cancels the running jobs (and stops the station): a second Ctrl-C. */
  cancelSignal?: AbortSignal;
  /** Every event of the station, in order for each drive. */
  onEvent?: (event: StationEvent) => void;
}

/** A drive as station events name it: kernel name, sysfs path, MAJOR:MINOR, serial and port. */
export interface StationDrive {
  name: string;
  sysfs: string;
  devnum: string;
  serial: string | null;
  port: string | null;
}

export interface StationTallies {
  done: number;
  failed: number;
  cancelled: number;
}

interface StationEventBase {
  /** The job's number, from 1; null for a drive left alone and for station-stopped. */
  job: number | null;
  /** Null for station-stopped. */
  drive: StationDrive | null;
  /** ISO 8601. */
  time: string;
}

export type StationEvent = StationEventBase &
  (
    | { event: 'drive-added'; size: number; ignored?: string }
    | { event: 'job-started'; size: number; image: string }
    | { event: 'phase'; phase: 'write' | 'verify' | string }
    | {
        event: 'progress';
        phase: 'write' | 'verify';
        bytes: number;
        total: number | null;
        speed: number;
        eta: number | null;
        /** Shares of the time since the last progress event spent waiting for each. */
        waiting: { image: number; device: number };
        bottleneck: 'image' | 'device' | null;
        queueDepth: number | null;
      }
    | {
        event: 'drive-done';
        result: 'ok' | 'failed' | 'cancelled';
        error: { code: FlasherErrorCode | 'ABORT_ERR' | null; message: string } | null;
        size: number;
        serial: string | null;
        port: string | null;
        /** SHA-256 of the bytes this job read of the image; null where it did not read it to the end. */
        imageSha256: string | null;
        bytesWritten: number;
        verify: { differingBytes: number; durationMs: number } | null;
        steps: FinishSteps | null;
        durationMs: number;
        queueDepth: number | null;
        queueDepthHalvings: number;
      }
    | { event: 'drive-removed' }
    | { event: 'station-stopped'; tallies: StationTallies; error: string | null }
  );

/**
 * Writes every removable drive that appears while it runs (written, verified, each at
 * its own pace) until `signal` aborts; settles with the tallies once the running jobs
 * have ended.
 */
export function station(options: StationOptions): Promise<StationTallies>;
/**
 * Reads the drive up to its extent into an image file, with its block map and SHA-256
 * beside it. Rejects with EREAD (the drive cannot be read; the report's error gives the
 * offset), EOUTPUT (the output cannot be made or written) or ENODRIVE; a failed or
 * cancelled backup leaves no output.
 */
export function backup(options: BackupOptions): Promise<BackupResult>;
