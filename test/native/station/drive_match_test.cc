// The rules that choose the drives a station writes.
#include <gtest/gtest.h>

#include "station/drive_match.h"

namespace {

phydrive stick() {
  phydrive drive;
  drive.vendor = "SanDisk ";
  drive.model = "Ultra Fit";
  drive.disk_size = std::uint64_t{16} << 30;
  drive.removable = true;
  drive.port = "pci-0000:00:14.0-usb-0:2:1.0-scsi-0:0:0:0";
  return drive;
}

}  // namespace

TEST(DriveMatch, RulesTable) {
  const std::uint64_t GiB = std::uint64_t{1} << 30;
  const struct {
    const char* what;
    station::drive_rules rules;
    bool internal;
    bool writes;
  } cases[] = {
      {"no rules", {}, false, true},
      {"an internal disk, whatever the rules", {}, true, false},
      {"inside the size range", {8 * GiB, 32 * GiB, "", "", ""}, false, true},
      {"below the smallest size", {32 * GiB, std::nullopt, "", "", ""}, false, false},
      {"above the largest size", {std::nullopt, 8 * GiB, "", "", ""}, false, false},
      {"the port named exactly", {std::nullopt, std::nullopt, "pci-0000:00:14.0-usb-0:2:1.0-scsi-0:0:0:0", "", ""}, false, true},
      {"a pattern of ports", {std::nullopt, std::nullopt, "pci-0000:00:14.0-usb-0:2:*", "", ""}, false, true},
      {"another port", {std::nullopt, std::nullopt, "pci-0000:00:14.0-usb-0:3:*", "", ""}, false, false},
      {"vendor in any case", {std::nullopt, std::nullopt, "", "sandisk", ""}, false, true},
      {"another vendor", {std::nullopt, std::nullopt, "", "Kingston", ""}, false, false},
      {"part of the model", {std::nullopt, std::nullopt, "", "", "ultra"}, false, true},
      {"another model", {std::nullopt, std::nullopt, "", "", "Extreme"}, false, false},
  };
  for (const auto& c : cases) {
    phydrive drive = stick();
    if (c.internal) {
      drive.removable = false;
      drive.internal = true;
    }
    EXPECT_EQ(station::mismatch(drive, c.rules).empty(), c.writes) << c.what;
  }
}
