// A FUSE file system of one file, "drive", that plays a failing drive for the tests:
// a loop device attached over it is a block device with the faults the options name
// (see README.md). Requests are served one at a time, in the order the kernel sends them.
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "fault_options.h"

namespace {

using clock_type = std::chrono::steady_clock;
const char* const file_name = "/drive";

fault_device::options opts;
int backing_fd = -1;
constexpr std::uint64_t sector = 512;
std::vector<std::vector<bool>> lost_once;  // per --lose-once range: its sectors lost already
std::uint64_t bytes_written = 0;
std::atomic<bool> pulled{false};
clock_type::time_point link_free = clock_type::now();

void on_pull_signal(int) { pulled = true; }

// A slow drive: the requests share one link of `rate` bytes per second.
void wait_for_link(std::uint64_t size) {
  if (opts.delay_us) std::this_thread::sleep_for(std::chrono::microseconds(opts.delay_us));
  const std::uint64_t rate = opts.rate_changes && bytes_written >= opts.rate_change_after ? opts.later_rate : opts.rate;
  if (rate == 0) return;
  link_free = std::max(link_free, clock_type::now()) + std::chrono::microseconds(size * 1000000 / rate);
  std::this_thread::sleep_until(link_free);
}

bool touches(const std::vector<fault_device::byte_range>& ranges, std::uint64_t offset, std::uint64_t size) {
  return std::any_of(ranges.begin(), ranges.end(), [&](const auto& r) { return r.overlaps(offset, size); });
}

// Moves bytes [offset, offset + size) of the drive from or to the backing file. Past
// the kept bytes a counterfeit drive wraps around or drops writes (and reads zeros).
int transfer(bool writing, char* buffer, std::uint64_t offset, std::uint64_t size) {
  while (size > 0) {
    if (offset >= opts.keep && !opts.wrap) {
      if (!writing) std::memset(buffer, 0, size);
      return 0;
    }
    const std::uint64_t where = offset % opts.keep;
    const std::uint64_t piece = std::min(size, opts.keep - where);
    const ssize_t n = writing ? ::pwrite(backing_fd, buffer, piece, where) : ::pread(backing_fd, buffer, piece, where);
    if (n <= 0) return n == 0 ? -EIO : -errno;
    buffer += n;
    offset += n;
    size -= n;
  }
  return 0;
}

// Whether the write of the sector at `offset` is lost: always in a --lose range, the
// first time only in a --lose-once range.
bool write_lost(std::uint64_t offset) {
  if (touches(opts.lose, offset, 1)) return true;
  for (std::size_t i = 0; i < opts.lose_once.size(); ++i) {
    const auto& r = opts.lose_once[i];
    if (!r.overlaps(offset, 1)) continue;
    const std::uint64_t unit = (offset - r.begin) / sector;
    if (lost_once[i][unit]) return false;
    lost_once[i][unit] = true;
    return true;
  }
  return false;
}

// Writes what is not lost, sector by sector, in runs of kept sectors.
int write_kept(char* data, std::uint64_t offset, std::uint64_t size) {
  if (opts.lose.empty() && opts.lose_once.empty()) return transfer(true, data, offset, size);
  std::uint64_t run = 0;  // kept bytes waiting to be written, ending at `done`
  std::uint64_t done = 0;
  while (done < size) {
    const std::uint64_t at = offset + done;
    const std::uint64_t piece = std::min(size - done, sector - at % sector);
    if (write_lost(at)) {
      const int failure = run ? transfer(true, data + done - run, at - run, run) : 0;
      if (failure) return failure;
      run = 0;
    } else {
      run += piece;
    }
    done += piece;
  }
  return run ? transfer(true, data + size - run, offset + size - run, run) : 0;
}

int fd_getattr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
  } else if (std::strcmp(path, file_name) == 0) {
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
    st->st_size = static_cast<off_t>(opts.size);
  } else {
    return -ENOENT;
  }
  return 0;
}

int fd_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, file_name + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int fd_open(const char* path, fuse_file_info* fi) {
  if (std::strcmp(path, file_name) != 0) return -ENOENT;
  // Past the kernel's page cache, every request reaches this process and its faults.
  fi->direct_io = 1;
  return 0;
}

int fd_read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info*) {
  if (pulled) return -opts.pull_errno;
  wait_for_link(size);
  const std::uint64_t start = static_cast<std::uint64_t>(offset);
  if (start >= opts.size) return 0;
  const std::uint64_t count = std::min<std::uint64_t>(size, opts.size - start);
  if (touches(opts.fail_read, start, count)) return -EIO;
  const int failure = transfer(false, buffer, start, count);
  return failure ? failure : static_cast<int>(count);
}

int fd_write(const char*, const char* data, size_t size, off_t offset, fuse_file_info*) {
  if (pulled) return -opts.pull_errno;
  wait_for_link(size);
  const std::uint64_t start = static_cast<std::uint64_t>(offset);
  if (start >= opts.size) return -ENOSPC;
  std::uint64_t count = std::min<std::uint64_t>(size, opts.size - start);
  if (touches(opts.fail_write, start, count)) return -EIO;
  // Pulled out part-way through a request: what came before the pull is kept.
  const bool pulls = opts.pull_armed && bytes_written + count >= opts.pull_after;
  if (pulls) count = opts.pull_after - bytes_written;
  const int failure = write_kept(const_cast<char*>(data), start, count);
  bytes_written += count;
  if (pulls) pulled = true;
  if (failure) return failure;
  return pulls && count < size ? -opts.pull_errno : static_cast<int>(count);
}

int fd_fsync(const char*, int, fuse_file_info*) {
  if (pulled) return -opts.pull_errno;
  return opts.fail_flush ? -EIO : 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    opts = fault_device::parse(argc, argv);
  } catch (const std::invalid_argument& e) {
    std::cerr << "fault-device: " << e.what() << std::endl;
    return 2;
  }
  for (const auto& r : opts.lose_once) lost_once.emplace_back((r.end - r.begin) / sector, false);
  backing_fd = ::open(opts.backing.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (backing_fd < 0 || ::ftruncate(backing_fd, static_cast<off_t>(opts.keep)) != 0) {
    std::cerr << "fault-device: " << opts.backing << ": " << std::strerror(errno) << std::endl;
    return 1;
  }
  struct sigaction pull {};
  pull.sa_handler = on_pull_signal;
  ::sigaction(SIGUSR1, &pull, nullptr);

  fuse_operations ops{};
  ops.getattr = fd_getattr;
  ops.readdir = fd_readdir;
  ops.open = fd_open;
  ops.read = fd_read;
  ops.write = fd_write;
  ops.fsync = fd_fsync;
  // Foreground and single-threaded, so the test waits for this very process.
  std::vector<char*> args{argv[0], const_cast<char*>("-f"), const_cast<char*>("-s")};
  for (std::string& arg : opts.fuse_args) args.push_back(arg.data());
  return fuse_main(static_cast<int>(args.size()), args.data(), &ops, nullptr);
}
