#include "device/block_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace block_io {

unique_fd::~unique_fd() { close(); }

int unique_fd::close() {
  if (fd_ < 0) return 0;
  const int result = ::close(fd_);
  fd_ = -1;
  // After EINTR the descriptor is closed all the same on Linux.
  return result == 0 || errno == EINTR ? 0 : errno;
}

aligned_buffer::aligned_buffer(std::size_t size) {
  void* memory = nullptr;
  if (::posix_memalign(&memory, 4096, whole_sectors(size == 0 ? 1 : size)) != 0) throw std::bad_alloc();
  bytes_ = static_cast<std::uint8_t*>(memory);
}

aligned_buffer::~aligned_buffer() { std::free(bytes_); }

int open_for_read_back(const std::string& path, std::uint8_t* probe) {
  const int direct = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
  if (direct >= 0) {
    // Some files open with O_DIRECT yet refuse the reads (EINVAL): try one.
    if (::pread(direct, probe, 4096, 0) >= 0) return direct;
    ::close(direct);
  }
  const int buffered = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (buffered >= 0) drop_cached_pages(buffered);
  return buffered;
}

std::size_t read_full(int fd, std::uint8_t* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, buffer + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::size_t read_full_at(int fd, std::uint8_t* buffer, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

write_result write_full_at(int fd, const std::uint8_t* buffer, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::pwrite(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
    // A drive that cannot seek (a pipe) takes the blocks in the order they come.
    if (n < 0 && errno == ESPIPE) n = ::write(fd, buffer + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : ENOSPC;
      return {done == 0 ? -1 : static_cast<std::int64_t>(done), error};
    }
    done += static_cast<std::size_t>(n);
  }
  return {static_cast<std::int64_t>(done), 0};
}

void drop_cached_pages(int fd) {
  ::fsync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

std::string last_error_text() { return std::strerror(errno); }

}  // namespace block_io
