#pragma once
// The checks of a write (or a verification, or a backup) made before anything is asked
// of the user or done to a drive: the drives named exactly and writable, each named
// once, the block sizes, the image and its block map readable, and the image fitting
// every drive. An image named exactly as a listed drive is that drive (a clone), which
// may not be a target. One drive listing. The rules are the engine's own (write_rules, the drive model, the
// image sources): an application asks them here rather than restating them.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "drives/phydrive.h"
#include "image/block_map.h"
#include "image/image_source.h"

struct target_request {
  std::vector<std::string> drive_keys;
  std::string image_path;      // an http(s) URL is not read here, the job reads it; empty: none (a backup's drive)
  std::string block_map_path;  // empty: none; a URL is not read here either
  // An image at a URL: its decoded size where the caller read it (inspect), checked
  // against the drives; unknown otherwise, as for a gzip image.
  std::optional<std::uint64_t> image_size;
  std::optional<std::uint64_t> write_block_size;  // none: a verification alone, which writes nothing
  std::optional<std::uint64_t> read_block_size;   // none: not checked (a write without verification)
  bool allow_loop = false;  // loop devices count as drives
};

struct target_plan {
  bool remote = false;  // the image is at a URL: `image` holds only the size given
  image::image_info image;
  std::shared_ptr<const image::block_map> block_map;
  std::vector<phydrive> drives;  // in the order named
  std::optional<phydrive> source;  // the drive the image names; none: a file
};

// Throws a coded_error; among several drives, a refusal that concerns one starts with
// its path and ": ".
target_plan check_targets(const target_request& request);
