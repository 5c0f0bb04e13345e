#pragma once
// Drive-model tests fed by the stand-in lsblk: the listing it prints is a file of
// the test's own temporary folder, written from a fixture or built in the test.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "test_support.h"

namespace drives_test {

using json = nlohmann::json;

inline json fixture(const std::string& name) {
  return json::parse(test_support::read_file(std::string(FLASHER_TEST_FIXTURES) + "/" + name));
}

// A partition entry with every member lsblk 2.38 prints for it.
inline json part_entry(const std::string& name, std::uint64_t size, const json& mountpoint) {
  return {{"name", name},         {"path", "/dev/" + name},  {"type", "part"},
          {"size", size},         {"model", nullptr},        {"vendor", nullptr},
          {"phy-sec", 512},       {"log-sec", 512},          {"rm", true},
          {"hotplug", true},      {"label", nullptr},        {"fstype", "vfat"},
          {"uuid", "1234-ABCD"},  {"ptuuid", "0badcafe"},    {"parttype", "0xc"},
          {"partlabel", nullptr}, {"mountpoint", mountpoint}};
}

// A USB disk entry of 1 GiB with every member lsblk 2.38 prints for it.
inline json disk_entry(const std::string& name, const std::vector<json>& children = {}) {
  json disk = {{"name", name},         {"path", "/dev/" + name}, {"type", "disk"},
               {"size", 1073741824},   {"model", "Flash Disk"},  {"vendor", "USB     "},
               {"phy-sec", 512},       {"log-sec", 512},         {"rm", true},
               {"hotplug", true},      {"label", nullptr},       {"fstype", nullptr},
               {"uuid", nullptr},      {"ptuuid", "0badcafe"},   {"parttype", nullptr},
               {"partlabel", nullptr}, {"mountpoint", nullptr}};
  if (!children.empty()) disk["children"] = children;
  return disk;
}

inline json listing_of(const std::vector<json>& devices) { return {{"blockdevices", devices}}; }

class listing_test : public ::testing::Test {
 protected:
  // Replaces what the stand-in lsblk prints from its next call on.
  void use_listing(const json& listing) { use_listing_text(listing.dump(3)); }
  void use_listing_text(const std::string& text) { test_support::write_file(listing_path_, text); }
  void use_fixture(const std::string& name) { use_listing(fixture(name)); }

  std::size_t listing_calls() const {
    std::size_t count = 0;
    for (const auto& line : tools_.calls_of("lsblk")) count += line != "lsblk --version";
    return count;
  }
  const test_support::stand_in_tools& tools() const { return tools_; }
  const test_support::temp_dir& dir() const { return dir_; }

 private:
  test_support::temp_dir dir_;
  test_support::stand_in_tools tools_{dir_};
  std::string listing_path_ = dir_.file("listing.json");
  test_support::scoped_env listing_env_{"FAKE_LSBLK_LISTING", listing_path_};
};

}  // namespace drives_test
