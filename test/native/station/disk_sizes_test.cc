// What the events of a disk mean for a station, from the sizes it had before.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "station/disk_watch.h"

using station::disk_change;

namespace {

struct step {
  const char* action;
  std::uint64_t size_after;
  std::optional<disk_change::kind> expected;
};

station::uevent disk_event(const char* action, const char* devtype = "disk") {
  station::uevent event;
  event.action = action;
  event.devpath = "/devices/pci0000:00/usb1/1-2/host6/target6:0:0/6:0:0:0/block/sdb";
  event.values = {{"SUBSYSTEM", "block"}, {"DEVTYPE", devtype}};
  return event;
}

constexpr auto appeared = disk_change::kind::appeared;
constexpr auto gone = disk_change::kind::gone;

}  // namespace

TEST(DiskSizes, EachStoryOfEventsGivesItsChanges) {
  const struct {
    const char* story;
    std::optional<std::uint64_t> known_at_start;
    std::vector<step> steps;
  } cases[] = {
      {"a stick plugged in and pulled", std::nullopt, {{"add", 8 << 20, appeared}, {"remove", 0, gone}}},
      {"a card into an empty reader, out, in again", 0,
       {{"change", 8 << 20, appeared}, {"change", 0, gone}, {"change", 8 << 20, appeared}}},
      {"a loop device gets its file, then loses it", std::nullopt,
       {{"add", 0, std::nullopt}, {"change", 8 << 20, appeared}, {"change", 0, gone}}},
      {"a drive there at the start, rescanned", 8 << 20, {{"change", 8 << 20, std::nullopt}, {"remove", 0, gone}}},
      {"a reader without a card unplugged", 0, {{"remove", 0, std::nullopt}}},
      {"other actions change nothing", std::nullopt, {{"bind", 8 << 20, std::nullopt}, {"add", 8 << 20, appeared}}},
  };
  for (const auto& c : cases) {
    station::disk_sizes sizes;
    if (c.known_at_start) sizes.known(disk_event("add").devpath, *c.known_at_start);
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      EXPECT_EQ(sizes.after(disk_event(c.steps[i].action), c.steps[i].size_after), c.steps[i].expected)
          << c.story << ", step " << i;
    }
  }
}

TEST(DiskSizes, PartitionsAreNotDrives) {
  station::disk_sizes sizes;
  EXPECT_EQ(sizes.after(disk_event("add", "partition"), 8 << 20), std::nullopt);
  EXPECT_TRUE(sizes.sized().empty());
}
