#pragma once
// The encoders of a backup, one per output format, each over its library: they take
// the image's bytes in order and write the output file.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "backup/backup_options.h"
#include "backup/staged_file.h"

namespace backup {

class encoder {
 public:
  virtual ~encoder() = default;
  // The image's next bytes; `zero` when they are all zeros (a raw output leaves a
  // hole). Throws coded_error (EOUTPUT) when the output cannot be written.
  virtual void write(const std::uint8_t* bytes, std::size_t size, bool zero) = 0;
  // Ends the encoded stream: all of it is in the output after.
  virtual void finish() = 0;
  // Whether runs of zeros are worth telling apart (a raw output leaves holes there);
  // otherwise whole chunks come in one call.
  virtual bool sparse() const { return false; }
};

// The encoder of `format` at `level` (see backup_options) writing into `output`;
// `image_size` is recorded in the stream where the format has a place for it.
std::unique_ptr<encoder> make_encoder(output_format format, int level, std::uint64_t image_size, staged_file& output);

namespace encoders {
std::unique_ptr<encoder> raw(staged_file& output);
std::unique_ptr<encoder> zstd(int level, std::uint64_t image_size, staged_file& output);
std::unique_ptr<encoder> xz(int level, staged_file& output);
std::unique_ptr<encoder> gzip(int level, staged_file& output);
}  // namespace encoders

// The processors the compressors may keep busy.
unsigned online_cpus();

}  // namespace backup
