#pragma once
// Where the chunks a backup reads go: the encoder and its output file, and the block
// map, which leaves out the blocks of zeros and takes the SHA-256 of the others.
#include <cstddef>
#include <cstdint>

#include "backup/block_map_writer.h"
#include "backup/encoder.h"
#include "backup/zero_runs.h"

namespace backup {

class backup_sink {
 public:
  // `map` may be null: no block map then.
  backup_sink(encoder& encode, block_map_writer* map) : encode_(encode), map_(map) {}

  // The image's next bytes, in order. Throws coded_error (EOUTPUT).
  void take(const std::uint8_t* bytes, std::size_t size) {
    if (map_ != nullptr || encode_.sparse()) {
      for_each_run(bytes, size, block_map_writer::block_size, [this](const std::uint8_t* run, std::size_t length, bool zero) {
        if (map_ != nullptr) map_->add(run, length, zero);
        if (encode_.sparse()) encode_.write(run, length, zero);
      });
    }
    if (!encode_.sparse()) encode_.write(bytes, size, false);
  }

 private:
  encoder& encode_;
  block_map_writer* map_;
};

}  // namespace backup
