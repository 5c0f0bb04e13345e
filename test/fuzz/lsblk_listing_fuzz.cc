// libFuzzer target: the reading of an lsblk listing. Any text either reads as disk
// records or is refused with a std::exception, which physical_drives::update turns
// into "failed to list drives: ..."; nothing else may come out, and no input may make
// AddressSanitizer or UndefinedBehaviorSanitizer report.
//
// With FLASHER_FUZZ_THROUGH_UPDATE=1 every input also goes the whole way: written to
// the file that the stand-in lsblk prints ($FAKE_LSBLK_LISTING, test/tools on PATH),
// then read by physical_drives::update over lists that a good listing had filled.
// That runs lsblk for every input, far too slow to fuzz with; scripts/hardening.sh
// replays the corpus this way after the fuzzing run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "drives/drives.h"
#include "drives/lsblk_listing.h"
#include "support/process.h"

namespace {

using json = nlohmann::json;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "lsblk_listing_fuzz: %s\n", what.c_str());
  std::abort();
}

struct outcome {
  bool accepted = false;
  std::vector<phydrive> disks;
  std::string failure;  // what() of the refusal
};

outcome parse(const std::string& text) {
  outcome result;
  try {
    result.disks = lsblk_listing::parse(text);
    result.accepted = true;
  } catch (const std::exception& e) {
    result.failure = e.what();
  }
  return result;
}

// The disks an accepted listing must have given, counted by the JSON library itself.
std::size_t disk_entries(const std::string& text) {
  const json document = json::parse(text);
  const auto devices = document.find("blockdevices");
  if (devices == document.end() || devices->is_null()) return 0;
  std::size_t count = 0;
  for (const json& element : *devices) count += element.value("type", json()) == "disk";
  return count;
}

void check_accepted(const std::string& text, const std::vector<phydrive>& disks) {
  // Strict reading: only a whole JSON document without comments is ever accepted.
  if (!json::accept(text, false)) fail("accepted a text that is not one strict JSON document");
  if (disks.size() != disk_entries(text)) fail("disk count differs from the entries of type \"disk\"");
  for (const phydrive& drive : disks) {
    if (!drive.defined || drive.rawpath != drive.path) fail("a disk record is not a whole record");
    if (drive.block_size != 0 && drive.number_of_blocks != drive.disk_size / drive.block_size) {
      fail("number_of_blocks does not follow from size and sector size");
    }
  }
}

// The whole way through the drive model, for the replay of a corpus.
class through_update {
 public:
  through_update() {
    const char* path = std::getenv("FAKE_LSBLK_LISTING");
    if (path == nullptr || *path == '\0') fail("FAKE_LSBLK_LISTING is not set");
    listing_path_ = path;
    write(good_listing());
    model_ = std::make_unique<physical_drives>();
  }

  void check(const std::string& input) {
    write(good_listing());
    model_->update(false);
    if (model_->drive_list.empty()) fail("the good listing gave no drives");

    write(input);
    // What the command runner hands to the reading: the bytes as printed, taken as text.
    const outcome expected = parse(process::system(lsblk_listing::command_line));
    std::string failure;
    try {
      model_->update(false);
    } catch (const std::runtime_error& e) {
      failure = e.what();
    }
    if (!expected.accepted) {
      if (failure != "failed to list drives: " + expected.failure) fail("update failed with: " + failure);
      if (!model_->drive_list.empty() || !model_->internal_drives.empty() || !model_->external_drives.empty()) {
        fail("a failed update left drives in the lists");
      }
      return;
    }
    if (!failure.empty()) fail("update refused a listing that reads: " + failure);
    if (model_->drive_list != expected.disks) fail("update listed other drives than the reading gave");
    if (model_->internal_drives.size() + model_->external_drives.size() != expected.disks.size()) {
      fail("every listed drive belongs to exactly one of the two lists");
    }
  }

 private:
  static std::string good_listing() {
    return R"({"blockdevices":[{"name":"sdz","path":"/dev/sdz","type":"disk","size":1048576,)"
           R"("phy-sec":512,"rm":true,"hotplug":true}]})";
  }
  void write(const std::string& content) const {
    std::ofstream out(listing_path_, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) fail("cannot write " + listing_path_);
  }

  std::string listing_path_;
  std::unique_ptr<physical_drives> model_;
};

std::unique_ptr<through_update> whole_way;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* mode = std::getenv("FLASHER_FUZZ_THROUGH_UPDATE");
  if (mode != nullptr && std::string(mode) == "1") whole_way = std::make_unique<through_update>();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const outcome result = parse(text);
  if (result.accepted) {
    check_accepted(text, result.disks);
  } else if (result.failure.empty()) {
    fail("a refusal without a message");
  }
  if (whole_way) whole_way->check(text);
  return 0;
}
