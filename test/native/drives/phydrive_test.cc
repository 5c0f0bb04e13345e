#include "drives/phydrive.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <locale>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

partition make_partition(std::string path, std::uint64_t size, std::string label,
                         std::string fstype, std::string partlabel) {
  partition part;
  part.name = path.substr(5);
  part.path = path;
  part.rawpath = path;
  part.size = size;
  part.label = std::move(label);
  part.fstype = std::move(fstype);
  part.partlabel = std::move(partlabel);
  part.ptuuid = "00c0ffee";
  part.mountpoint = "";
  return part;
}

// A card in a USB reader with three partitions: labelled, partlabelled, bare.
phydrive card_reader() {
  phydrive drive;
  drive.identifier = "sdb";
  drive.path = "/dev/sdb";
  drive.rawpath = "/dev/sdb";
  drive.name = "Generic STORAGE DEVICE";
  drive.uuid = "00c0ffee";
  drive.disk_size = 15931539456;
  drive.block_size = 512;
  drive.number_of_blocks = 31116288;
  drive.partitions = {make_partition("/dev/sdb1", 30408704, "EFI", "vfat", ""),
                      make_partition("/dev/sdb2", 1572864, "", "ext4", "root"),
                      make_partition("/dev/sdb3", 0, "", "", "")};
  drive.internal = false;
  drive.removable = true;
  drive.sd_card = true;
  drive.defined = true;
  return drive;
}

TEST(PhydriveDefaults, EveryTextUndefinedEveryNumberZero) {
  const phydrive drive;
  for (const std::string* text :
       {&drive.identifier, &drive.path, &drive.rawpath, &drive.name, &drive.uuid}) {
    EXPECT_EQ(*text, "undefined");
  }
  EXPECT_EQ(drive.disk_size + drive.block_size + drive.number_of_blocks, 0u);
  EXPECT_TRUE(drive.partitions.empty());
  EXPECT_FALSE(drive.internal || drive.removable || drive.sd_card || drive.defined ||
               drive.corrupt);

  const partition part;
  for (const std::string* text : {&part.name, &part.path, &part.rawpath, &part.fstype, &part.label,
                                  &part.partlabel, &part.ptuuid, &part.mountpoint}) {
    EXPECT_EQ(*text, "undefined");
  }
  EXPECT_EQ(part.size, 0u);
}

TEST(PhydriveInfo, UndefinedRecordIsOneLineForAnyWidth) {
  for (int width : {25, 0, -7, 200}) {
    EXPECT_EQ(phydrive().get_info(width), "undefined device\n") << width;
  }
  phydrive filled_but_undefined = card_reader();
  filled_but_undefined.defined = false;
  EXPECT_EQ(filled_but_undefined.get_info(25), "undefined device\n");
}

TEST(PhydriveInfo, FullDescriptionAtWidth25) {
  // Values of 25 characters or more are neither padded nor cut.
  const std::string expected =
      "identifier               sdb                      \n"
      "path                     /dev/sdb                 \n"
      "rawpath                  /dev/sdb                 \n"
      "name                     Generic STORAGE DEVICE   \n"
      "uuid                     00c0ffee                 \n"
      "disk size                15931539456 (14.84GiB)   \n"
      "block size               512                      \n"
      "number of blocks         31116288                 \n"
      "partitions               /dev/sdb1 29.000MiB EFI (vfat)\n"
      "                         /dev/sdb2 1.500MiB (root)\n"
      "                         /dev/sdb3 0.000MiB ()    \n"
      "internal/external        external                 \n"
      "removable/fixed          removable                \n"
      "SD card                  yes                      \n"
      "corrupt                  no                       \n";
  EXPECT_EQ(card_reader().get_info(25), expected);
}

TEST(PhydriveInfo, WidthBelowLabelsRunsLabelAndValueTogether) {
  phydrive drive = card_reader();
  drive.partitions.clear();
  drive.disk_size = 0;
  drive.number_of_blocks = 0;
  drive.internal = true;
  drive.removable = false;
  drive.sd_card = false;
  drive.corrupt = true;
  const std::string expected =
      "identifiersdb\n"
      "path/dev/sdb\n"
      "rawpath/dev/sdb\n"
      "nameGeneric STORAGE DEVICE\n"
      "uuid00c0ffee\n"
      "disk size0 (0.00GiB)\n"
      "block size512\n"
      "number of blocks0\n"
      "partitionsnone\n"
      "internal/externalinternal\n"
      "removable/fixedfixed\n"
      "SD cardno\n"
      "corruptyes\n";
  EXPECT_EQ(drive.get_info(0), expected);
  EXPECT_EQ(drive.get_info(-3), expected);
  EXPECT_EQ(drive.get_info(4).substr(0, 28), "identifiersdb \npath/dev/sdb\n");
}

TEST(PhydriveInfo, EmptyValuePrintsAsWidthBlanks) {
  phydrive drive = card_reader();
  drive.name = "";
  drive.uuid = "";
  const std::string info = drive.get_info(8);
  // Four blanks fill out each label, eight stand for each empty value.
  const std::string twelve_blanks(12, ' ');
  EXPECT_NE(info.find("\nname" + twelve_blanks + "\nuuid" + twelve_blanks + "\n"),
            std::string::npos)
      << info;
}

TEST(PhydriveInfo, PartitionDescriptions) {
  struct example {
    partition part;
    std::string description;
  };
  const std::vector<example> examples = {
      {make_partition("/dev/sdb1", 30408704, "EFI", "vfat", ""), "/dev/sdb1 29.000MiB EFI (vfat)"},
      {make_partition("/dev/sdb1", 30408704, "", "vfat", ""), "/dev/sdb1 29.000MiB (vfat)"},
      {make_partition("/dev/sdb2", 1572864, "rootfs", "ext4", "Linux root"),
       "/dev/sdb2 1.500MiB rootfs (Linux root)"},
      {make_partition("/dev/sdb3", 1048575, "", "", ""), "/dev/sdb3 1.000MiB ()"},
      {make_partition("/dev/sdb4", 1536, "A B", "ntfs", ""), "/dev/sdb4 0.001MiB A B (ntfs)"},
  };
  for (const auto& ex : examples) {
    phydrive drive = card_reader();
    drive.partitions = {ex.part};
    // At width 0 the partitions line is the label directly followed by the description.
    const std::string info = drive.get_info(0);
    EXPECT_NE(info.find("\npartitions" + ex.description + "\ninternal/external"), std::string::npos)
        << info;
  }
}

TEST(PhydriveInfo, SizesRoundLikeFixedFormatting) {
  const std::vector<std::pair<std::uint64_t, std::string>> sizes = {
      {0, "0 (0.00GiB)"},
      {1073741823, "1073741823 (1.00GiB)"},
      {1610612736, "1610612736 (1.50GiB)"},
      {274877906944, "274877906944 (256.00GiB)"},
      {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615 (17179869184.00GiB)"},
  };
  for (const auto& [bytes, text] : sizes) {
    phydrive drive = card_reader();
    drive.disk_size = bytes;
    EXPECT_NE(drive.get_info(0).find("\ndisk size" + text + "\n"), std::string::npos) << text;
  }
}

// A host application may switch the global locale to one with a decimal comma
// and digit grouping; the description must not follow it.
struct comma_decimal : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

class HostLocale : public ::testing::Test {
 protected:
  void SetUp() override {
    std::locale::global(std::locale(std::locale::classic(), new comma_decimal));
  }
  void TearDown() override { std::locale::global(saved_); }

 private:
  std::locale saved_ = std::locale();
};

TEST_F(HostLocale, NumbersKeepPointAndNoGrouping) {
  std::ostringstream probe;
  probe << std::fixed << 1234.5;
  ASSERT_EQ(probe.str(), "1.234,500000") << "the locale under test is not in effect";

  const std::string info = card_reader().get_info(0);
  EXPECT_NE(info.find("disk size15931539456 (14.84GiB)\n"), std::string::npos) << info;
  EXPECT_NE(info.find("number of blocks31116288\n"), std::string::npos) << info;
  EXPECT_NE(info.find("/dev/sdb1 29.000MiB EFI (vfat)"), std::string::npos) << info;
  EXPECT_NE(info.find("/dev/sdb2 1.500MiB (root)"), std::string::npos) << info;
}

TEST(PartitionEquality, ComparesEveryFieldButMountpoint) {
  const partition base = make_partition("/dev/sdb1", 30408704, "EFI", "vfat", "boot");
  const std::vector<std::pair<const char*, std::function<void(partition&)>>> compared = {
      {"name", [](partition& p) { p.name = "sdB1"; }},
      {"path", [](partition& p) { p.path = std::string("/dev/sdb1\0", 10); }},
      {"rawpath", [](partition& p) { p.rawpath = "/dev/sdb"; }},
      {"size", [](partition& p) { p.size += 1; }},
      {"fstype", [](partition& p) { p.fstype = "VFAT"; }},
      {"label", [](partition& p) { p.label = ""; }},
      {"partlabel", [](partition& p) { p.partlabel = "boot "; }},
      {"ptuuid", [](partition& p) { p.ptuuid = "00c0ffef"; }},
  };
  for (const auto& [field, change] : compared) {
    partition other = base;
    change(other);
    EXPECT_FALSE(base == other) << field;
    EXPECT_TRUE(base != other) << field;
  }

  partition remounted = base;
  remounted.mountpoint = "/media/user/EFI";
  EXPECT_TRUE(base == remounted);
  EXPECT_FALSE(base != remounted);
}

TEST(DriveEquality, ComparesIdentityAndGeometryOnly) {
  const phydrive base = card_reader();
  const std::vector<std::pair<const char*, std::function<void(phydrive&)>>> compared = {
      {"identifier", [](phydrive& d) { d.identifier = "sdB"; }},
      {"path", [](phydrive& d) { d.path = std::string("/dev/sdb\0", 9); }},
      {"rawpath", [](phydrive& d) { d.rawpath = "/dev/sdc"; }},
      {"name", [](phydrive& d) { d.name = "Generic STORAGE DEVICE "; }},
      {"disk_size", [](phydrive& d) { d.disk_size -= 512; }},
      {"block_size", [](phydrive& d) { d.block_size = 4096; }},
      {"number_of_blocks", [](phydrive& d) { d.number_of_blocks += 1; }},
      {"internal", [](phydrive& d) { d.internal = !d.internal; }},
      {"removable", [](phydrive& d) { d.removable = !d.removable; }},
      {"sd_card", [](phydrive& d) { d.sd_card = !d.sd_card; }},
  };
  for (const auto& [field, change] : compared) {
    phydrive other = base;
    change(other);
    EXPECT_FALSE(base == other) << field;
    EXPECT_TRUE(base != other) << field;
  }

  // A rewritten partition table leaves the drive equal to its earlier record.
  phydrive rewritten = base;
  rewritten.uuid = "5d1e7a52-0c3b-4e8a-9a4f-2b7d0e6c1f30";
  rewritten.partitions.pop_back();
  rewritten.partitions.front().size = 1;
  rewritten.defined = false;
  rewritten.corrupt = true;
  EXPECT_TRUE(base == rewritten);
  EXPECT_FALSE(base != rewritten);
}

}  // namespace
