// A typed application of the promise API, checked with tsc --noEmit by package.test.js.
import {
  listDrives, checkTargets, flash, verify, station, backup, inspect, listCache, clearCache, FlashDrive, FlasherError,
  type Drive, type Progress, type StationEvent, type SourceReport,
} from 'flasher-addon';

function show(progress: Progress): void {
  const percent = progress.total === null ? '?' : ((100 * progress.bytes) / progress.total).toFixed(1);
  console.log(`${progress.phase} ${progress.drive.name}: ${percent} %, ${progress.eta ?? '--'} s left`);
}

export async function writeFirstStick(image: string): Promise<number | null> {
  const drives = await listDrives();
  const stick = drives.find((drive) => drive.removable && drive.partitions.every((p) => p.mountpoint === ''));
  if (!stick) return null;
  const controller = new AbortController();
  try {
    const result = await flash({ image, drive: stick.path, signal: controller.signal, onProgress: show });
    console.log(result.image.format, result.bytesWritten, result.verify?.differingBytes);
    const checked = await verify({ image, drive: stick.name, blockSize: 1024 * 1024 });
    return checked.differingBytes;
  } catch (err) {
    if (err instanceof FlasherError && err.code === 'EVERIFY') return err.differingBytes ?? null;
    throw err;
  }
}

export async function writeEveryStick(image: string): Promise<string[]> {
  const sticks = (await listDrives({ loop: false })).filter((drive) => drive.removable && !drive.loop).map((drive) => drive.path);
  const { image: info, drives } = await checkTargets({ drives: sticks, image, blockSize: 4 << 20 });
  console.log(info?.size ?? info?.fileSize, drives.map((drive) => drive.sectorSize));  // null for a URL
  const hostname = { partition: 1, path: '/hostname', content: (drive: Drive, i: number) => `pi-${i}-${drive.name}` };
  const { results } = await flash({ image, drives: sticks, verifyBlockSize: 1024 * 1024, repair: 1, files: [hostname], eject: true });
  for (const r of results) console.log(r.steps.repair.firstPassDifferingBytes, r.steps.gpt.imageSectors, r.steps.eject.message);
  return results.filter((r) => r.status !== 'ok').map((r) => `${r.drive.name}: ${r.error?.code ?? r.status}`);
}

export async function runStation(image: string, signal: AbortSignal): Promise<number> {
  const onEvent = (e: StationEvent): void => {
    if (e.event === 'drive-done' && e.result === 'failed') console.log(e.drive?.port, e.error?.code);
    if (e.event === 'progress') console.log(e.bottleneck, e.waiting.image);
  };
  const tallies = await station({ image, signal, match: { minSize: 8e9, port: 'pci-*-usb-0:2:*' }, onEvent });
  return tallies.failed;
}

// @ts-expect-error: a station finds its own drives
station({ image: 'a.img', drive: 'sdb' });
export async function backUpFirstStick(output: string): Promise<string | null> {
  const stick = (await listDrives()).find((drive) => drive.removable);
  if (!stick) return null;
  const result = await backup({
    drive: stick.name, output, level: 19, extent: 'whole', onProgress: (p) => console.log(p.bytes / p.outputBytes),
  });
  return `${result.sha256} ${result.blockMap ?? 'no map'} ${result.report.backup?.outputBytes}`;
}

// @ts-expect-error: no such output format
backup({ drive: 'sdb', output: 'a.img.bz2', format: 'bzip2' });

// An image from the network: checked against its signed checksums, kept in the cache,
// its first MiB written last (the default).
export async function writeFromUrl(url: string, drive: string): Promise<string> {
  const { format, fileSize, size } = await inspect(url, { stallTimeoutMs: 10000 });
  const onProgress = (p: Progress) => console.log(p.bytes, p.sourceBytes, p.sourceTotal ?? '?');
  try {
    const result = await flash({
      image: url, drive, checksums: `${url}/../SHA256SUMS`, keyring: 'distro.gpg', cache: true, cacheLimit: 2 ** 34,
      stallTimeoutMs: 30000, firstBlockLast: true, onProgress,
    });
    const source: SourceReport | undefined = result.report.source;
    return `${format} ${fileSize ?? '?'} ${size ?? '?'}: ${source?.checksum}, ${source?.resumes} resumes, ${listCache().length} cached`;
  } catch (err) {
    if (err instanceof FlasherError && (err.code === 'ENETWORK' || err.code === 'ECHECKSUM' || err.code === 'ESIGNATURE')) {
      clearCache();
      return err.message;
    }
    throw err;
  }
}

export function engineSettings(drive: FlashDrive): void {
  drive.setImage('https://example.org/os.img.xz');
  drive.setSha256('0'.repeat(64));
  drive.setCache(true, 2 ** 34);
  drive.setStallTimeout(30000);
  drive.setFirstBlockLast(false);
  const { sourceBytes, sourceTotal } = drive.getProgress().write;
  console.log(sourceBytes, sourceTotal);
}

// @ts-expect-error: the cache takes a boolean
flash({ image: 'https://example.org/a.img', drive: 'sdb', cache: 'yes' });
// @ts-expect-error: no such write mode
flash({ image: 'a.img', drive: 'sdb', writeMode: 'fast' });
// @ts-expect-error: the drive is required
verify({ image: 'a.img' });
// @ts-expect-error: a file's content is bytes or a function giving them
flash({ image: 'a.img', drive: 'sdb', files: [{ partition: 1, path: '/x', content: 3 }] });
