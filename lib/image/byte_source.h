#pragma once
// The bytes of an image as stored (a local file, or a download), taken in order
// through a window: the input side of every decoder. Observers (the published
// checksum, the cache) see every byte once, in order, as it comes from the input.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace image {

// Where the stored bytes come from: read in order, each byte once.
class byte_input {
 public:
  virtual ~byte_input() = default;
  // Up to `size` next bytes into `buffer`; 0 only at the end. Throws coded_error.
  virtual std::size_t read(std::uint8_t* buffer, std::size_t size) = 0;
  // Passes over up to `count` bytes without reading them where the input can (a file);
  // returns how many it passed, 0 where it cannot.
  virtual std::uint64_t pass_over(std::uint64_t) { return 0; }
  // Called from another thread: a read waiting for bytes (a download) gives up.
  virtual void stop() {}
  // Decoded bytes went on to the drives: the input may no longer start over from its
  // first byte (a download from a server that cannot resume).
  virtual void seal() {}
};

class byte_observer {
 public:
  virtual ~byte_observer() = default;
  virtual void observe(const std::uint8_t* bytes, std::size_t size) = 0;
};

class byte_source {
 public:
  explicit byte_source(std::unique_ptr<byte_input> input);

  // Sees every byte taken from the input from now on; not owned.
  void add_observer(byte_observer* observer) { observers_.push_back(observer); }

  // The unread bytes of the window, refilled from the input when all were consumed.
  // Empty at the end of the input.
  const std::uint8_t* data();
  std::size_t available();
  void advance(std::size_t count) { position_ += count; }

  // The next `count` bytes, or fewer where the input ends first, without consuming them.
  std::vector<std::uint8_t> peek(std::size_t count);
  // Copies up to `size` bytes; fewer only at the end.
  std::size_t read(std::uint8_t* buffer, std::size_t size);
  // Passes over up to `count` bytes; returns how many there were. Without observers a
  // file is not read for it.
  std::uint64_t skip(std::uint64_t count);
  // Takes everything left, for the observers; returns how many bytes that was.
  std::uint64_t drain() { return skip(UINT64_MAX); }

  // Bytes consumed (read or passed over) so far.
  std::uint64_t consumed() const { return taken_ - (end_ - position_); }

  void stop() { input_->stop(); }
  void seal() { input_->seal(); }

 private:
  // Reads more of the input behind the unread bytes of the window; false at its end.
  bool fill();
  std::size_t take(std::uint8_t* buffer, std::size_t size);

  std::unique_ptr<byte_input> input_;
  std::vector<byte_observer*> observers_;
  std::vector<std::uint8_t> window_;
  std::size_t position_ = 0;
  std::size_t end_ = 0;
  std::uint64_t taken_ = 0;  // bytes taken from the input
};

// Reads at any offset: how the formats' own records (the xz index, the zip directory)
// are found without reading the whole image.
class random_access {
 public:
  virtual ~random_access() = default;
  virtual std::uint64_t size() const = 0;
  // Reads exactly `size` bytes at `offset`; false where that cannot be done.
  virtual bool read_at(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) = 0;
};

// A local file, opened with `open_flags` besides O_RDONLY (O_NOFOLLOW where a link
// must not be followed). Throws coded_error (EIMAGE) "failed to open image file".
std::unique_ptr<byte_input> open_file_input(const std::string& path, int open_flags = 0);
std::unique_ptr<random_access> open_file_access(const std::string& path, int open_flags = 0);

}  // namespace image
