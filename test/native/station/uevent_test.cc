// Kernel uevent messages as the netlink socket delivers them.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "station/uevent.h"

namespace {

// The strings, each ended by a NUL, as the kernel sends them.
std::string message(std::initializer_list<const char*> parts) {
  std::string bytes;
  for (const char* part : parts) bytes += std::string(part) + '\0';
  return bytes;
}

std::optional<station::uevent> parse(const std::string& bytes) { return station::parse_uevent(bytes.data(), bytes.size()); }

std::string loop_change(const char* devtype = "DEVTYPE=disk") {
  return message({"change@/devices/virtual/block/loop3", "ACTION=change", "DEVPATH=/devices/virtual/block/loop3",
                  "SUBSYSTEM=block", "MAJOR=7", "MINOR=3", "DEVNAME=loop3", devtype, "SEQNUM=4242"});
}

}  // namespace

TEST(Uevent, ReadsTheHeaderAndTheFields) {
  const auto event = parse(loop_change());
  ASSERT_TRUE(event);
  EXPECT_EQ(event->action, "change");
  EXPECT_EQ(event->devpath, "/devices/virtual/block/loop3");
  EXPECT_EQ(event->devnum(), "7:3");
  EXPECT_EQ(event->value("DEVNAME"), "loop3");
  EXPECT_TRUE(event->is_disk());
}

TEST(Uevent, RefusesWhatIsNotAKernelEvent) {
  const struct {
    const char* why;
    std::string bytes;
  } cases[] = {
      {"udev's own message", message({"libudev", "\xfe\xed\xca\xfe"})},
      {"no header end", "add@/devices/x"},
      {"no devpath", message({"add@", "ACTION=add", "DEVPATH="})},
      {"fields disagree", message({"add@/devices/a", "ACTION=add", "DEVPATH=/devices/b"})},
  };
  for (const auto& c : cases) EXPECT_FALSE(parse(c.bytes)) << c.why;
}

TEST(Uevent, APartitionIsNoDisk) {
  const auto event = parse(loop_change("DEVTYPE=partition"));
  ASSERT_TRUE(event);
  EXPECT_FALSE(event->is_disk());
}
