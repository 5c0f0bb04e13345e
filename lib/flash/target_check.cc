#include "flash/target_check.h"

#include "drives/drives.h"
#include "flash/source_drive.h"
#include "flash/write_rules.h"
#include "net/url.h"
#include "support/coded_error.h"

namespace {

// Among several drives, the refusal names the one it concerns.
struct refusal {
  bool several;
  [[noreturn]] void operator()(reason why, const phydrive& drive, const std::string& text) const {
    throw coded_error(why, several ? drive.path + ": " + text : text);
  }
};

void check_block_size(const refusal& refuse, const std::optional<std::uint64_t>& bytes, const phydrive& drive,
                      reason why, const char* kind) {
  if (!bytes) return;
  const std::string problem = write_rules::block_size_problem(*bytes, drive);
  if (!problem.empty()) refuse(why, drive, std::string("invalid ") + kind + " block size: " + problem);
}

// The drive `key` names exactly, if any: a partition's name or any other text is a file.
std::optional<phydrive> drive_named(const physical_drives& listing, const std::string& key) {
  try {
    return listing.find_named(key);
  } catch (const coded_error&) {
    return std::nullopt;
  }
}

}  // namespace

target_plan check_targets(const target_request& request) {
  target_plan plan;
  physical_drives listing(request.allow_loop);
  plan.remote = net::is_url(request.image_path);
  if (!request.image_path.empty() && !plan.remote) plan.source = drive_named(listing, request.image_path);
  if (plan.remote) {
    plan.image.size = request.image_size;
  } else if (plan.source) {
    if (!write_rules::may_target(*plan.source)) {
      throw coded_error(reason::no_drive, "the source drive " + plan.source->path + " is not external/removable");
    }
    plan.image = source_image_info(*plan.source);
  } else if (!request.image_path.empty()) {
    plan.image = image::inspect(request.image_path);
  }
  if (!request.block_map_path.empty() && !net::is_url(request.block_map_path)) {
    auto map = std::make_shared<image::block_map>(image::block_map::read(request.block_map_path));
    if (plan.image.size) map->check_fits(*plan.image.size);
    plan.block_map = std::move(map);
  }
  const std::optional<std::uint64_t> decoded =
      plan.block_map ? std::optional<std::uint64_t>(plan.block_map->image_size) : plan.image.size;

  const refusal refuse{request.drive_keys.size() > 1};
  for (const std::string& key : request.drive_keys) {
    const phydrive drive = listing.find_named(key);
    for (const phydrive& earlier : plan.drives) {
      if (earlier.path == drive.path) refuse(reason::no_drive, drive, "the drive is named twice");
    }
    if (!write_rules::may_target(drive)) refuse(reason::no_drive, drive, "drive is not external/removable");
    if (plan.source && drive.path == plan.source->path) refuse(reason::no_drive, drive, "the source drive cannot be a target");
    check_block_size(refuse, request.write_block_size, drive, reason::write, "write");
    check_block_size(refuse, request.read_block_size, drive, reason::verify, "read");
    if (request.write_block_size && !write_rules::image_fits(decoded, drive)) {
      refuse(reason::too_small, drive,
             "drive is too small for given image (" + std::to_string(*decoded) + " bytes decoded, the drive holds " +
                 std::to_string(drive.disk_size) + ")");
    }
    plan.drives.push_back(drive);
  }
  return plan;
}
