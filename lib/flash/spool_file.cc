#include "flash/spool_file.h"

#include <fcntl.h>
#include <unistd.h>
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/coded_error.h"

namespace {

std::string temporary_folder() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

}  // namespace

spool_file::spool_file() : fd_(::open(temporary_folder().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)) {
  if (!fd_.valid()) {
    throw coded_error(reason::write, "cannot make a spool file in " + temporary_folder() + ": " +
                                         block_io::last_error_text(), errno);
  }
}

spool_file::place spool_file::append(const image_chunk& chunk) {
  const std::size_t stored = chunk.padded_length();
  const block_io::write_result result = block_io::write_full_at(fd_.get(), chunk.bytes.get(), stored, end_);
  if (result.written != static_cast<std::int64_t>(stored)) {
    throw coded_error(reason::write, "the spool file of the slower drives cannot grow: " +
                                         std::string(std::strerror(result.error)), result.error);
  }
  const place stored_at{chunk, end_, stored, XXH3_64bits(chunk.bytes.get(), stored)};
  end_ += stored;
  return stored_at;
}

void spool_file::read(const place& stored, image_chunk& into) const {
  const std::string record = "the spool file of the slower drives, chunk " + std::to_string(stored.stamp.index) +
                             " (" + std::to_string(stored.stored) + " bytes at " + std::to_string(stored.at) + ")";
  if (stored.stored > into.capacity) throw coded_error(reason::write, record + ", is larger than the buffer it goes to");
  const std::size_t got = block_io::read_full_at(fd_.get(), into.bytes.get(), stored.stored, stored.at);
  if (got != stored.stored) {
    throw coded_error(reason::write, record + ", cannot be read back: " + std::to_string(got) + " bytes came");
  }
  if (XXH3_64bits(into.bytes.get(), stored.stored) != stored.checksum) {
    throw coded_error(reason::write, record + ", reads back other bytes than were stored");
  }
  static_cast<chunk_stamp&>(into) = stored.stamp;
}

void spool_file::release(std::uint64_t from, std::uint64_t to) {
  // Where the file system cannot punch holes the file only keeps its size.
  if (to > from) {
    ::fallocate(fd_.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                static_cast<off_t>(to - from));
  }
}
