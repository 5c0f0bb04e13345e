#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "drives/drives.h"
#include "drives/lsblk_listing.h"
#include "listing_fixture.h"
#include "support/process.h"

namespace {

using drives_test::disk_entry;
using drives_test::json;
using drives_test::listing_of;
using drives_test::part_entry;

std::vector<std::string> identifiers(const std::vector<phydrive>& list) {
  std::vector<std::string> ids;
  for (const auto& drive : list) ids.push_back(drive.identifier);
  return ids;
}

const phydrive& by_id(const physical_drives& model, const std::string& id) {
  for (const auto& drive : model.drive_list) {
    if (drive.identifier == id) return drive;
  }
  throw std::logic_error("no drive " + id + " in the list");
}

std::string update_error(physical_drives& model) {
  try {
    model.update(false);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no error)";
}

class Enumeration : public drives_test::listing_test {};

TEST_F(Enumeration, KeepsOnlyDisksInListingOrder) {
  use_fixture("laptop.json");
  physical_drives model;
  EXPECT_EQ(identifiers(model.drive_list), (std::vector<std::string>{"sda", "sdb", "nvme0n1"}));
  EXPECT_EQ(identifiers(model.external_drives), (std::vector<std::string>{"sda", "sdb"}));
  EXPECT_EQ(identifiers(model.internal_drives), (std::vector<std::string>{"nvme0n1"}));
}

TEST_F(Enumeration, RunsTheCheckThenOneListing) {
  use_fixture("laptop.json");
  physical_drives model;
  const std::string listing_command =
      "lsblk --bytes --json -o name,path,type,size,model,vendor,phy-sec,log-sec,rm,hotplug,"
      "label,fstype,uuid,ptuuid,parttype,partlabel,mountpoint,serial";
  EXPECT_EQ(lsblk_listing::command_line, listing_command);
  EXPECT_EQ(tools().calls(),
            (std::vector<std::string>{"which lsblk", "lsblk --version", listing_command}));
}

TEST_F(Enumeration, ReadsEveryMemberOfADiskAndItsPartitions) {
  use_fixture("laptop.json");
  physical_drives model;
  const phydrive& stick = by_id(model, "sda");
  EXPECT_EQ(stick.path, "/dev/sda");
  EXPECT_EQ(stick.rawpath, "/dev/sda");
  EXPECT_EQ(stick.name, "SanDisk Cruzer Blade");
  EXPECT_EQ(stick.uuid, "4f2c1b7a");
  EXPECT_EQ(stick.disk_size, 15931539456u);
  EXPECT_EQ(stick.block_size, 512u);
  EXPECT_EQ(stick.number_of_blocks, 31116288u);
  EXPECT_FALSE(stick.internal);
  EXPECT_TRUE(stick.removable);
  EXPECT_FALSE(stick.sd_card);
  EXPECT_TRUE(stick.defined);
  EXPECT_FALSE(stick.corrupt);

  ASSERT_EQ(stick.partitions.size(), 2u);
  const partition& iso = stick.partitions[0];
  EXPECT_EQ(iso.name, "sda1");
  EXPECT_EQ(iso.path, "/dev/sda1");
  EXPECT_EQ(iso.rawpath, "/dev/sda1");
  EXPECT_EQ(iso.size, 657457152u);
  EXPECT_EQ(iso.fstype, "iso9660");
  EXPECT_EQ(iso.label, "Debian 12.2.0 amd64 n");
  EXPECT_EQ(iso.partlabel, "");
  EXPECT_EQ(iso.ptuuid, "4f2c1b7a");
  EXPECT_EQ(iso.mountpoint, "/media/user/Debian 12.2.0 amd64 n");
  const partition& efi = stick.partitions[1];
  EXPECT_EQ(efi.name, "sda2");
  EXPECT_EQ(efi.label, "EFI");
  EXPECT_EQ(efi.fstype, "vfat");
  EXPECT_EQ(efi.mountpoint, "");
}

TEST_F(Enumeration, IgnoresEntriesNestedBelowPartitions) {
  use_fixture("laptop.json");
  physical_drives model;
  const phydrive& nvme = by_id(model, "nvme0n1");
  EXPECT_TRUE(nvme.internal);
  EXPECT_FALSE(nvme.removable);
  EXPECT_EQ(nvme.name, "Samsung SSD 970 EVO Plus 500GB");
  ASSERT_EQ(nvme.partitions.size(), 3u);
  EXPECT_EQ(nvme.partitions[0].partlabel, "EFI System Partition");
  EXPECT_EQ(nvme.partitions[2].name, "nvme0n1p3");
  EXPECT_EQ(nvme.partitions[2].mountpoint, "");
}

TEST_F(Enumeration, SdCardNeedsBothCapitalWords) {
  struct example {
    json vendor, model;
    std::string name;
    bool sd_card;
  };
  const std::vector<example> examples = {
      {"Generic ", "STORAGE DEVICE", "Generic STORAGE DEVICE", true},
      {"Generic ", "storage device", "Generic storage device", false},
      {"Generic ", "STORAGE", "Generic STORAGE", false},
      {nullptr, "USB DEVICE", "USB DEVICE", false},
      {"DEVICE", "Mass STORAGE", "DEVICEMass STORAGE", true},
      {"Generic-", nullptr, "Generic-", false},
  };
  std::vector<json> disks;
  for (std::size_t i = 0; i < examples.size(); ++i) {
    json disk = disk_entry("sd" + std::string(1, static_cast<char>('a' + i)));
    disk["vendor"] = examples[i].vendor;
    disk["model"] = examples[i].model;
    disks.push_back(disk);
  }
  use_listing(listing_of(disks));
  physical_drives model;
  ASSERT_EQ(model.drive_list.size(), examples.size());
  for (std::size_t i = 0; i < examples.size(); ++i) {
    EXPECT_EQ(model.drive_list[i].name, examples[i].name);
    EXPECT_EQ(model.drive_list[i].sd_card, examples[i].sd_card) << examples[i].name;
  }
}

TEST_F(Enumeration, ReadsTheSerialWhereTheDriveReportsOne) {
  json stick = disk_entry("sda");
  stick["serial"] = "4C530001230823115482";
  json reader = disk_entry("sdb");
  reader["serial"] = nullptr;
  use_listing(listing_of({stick, reader}));
  physical_drives model;
  EXPECT_EQ(by_id(model, "sda").serial, "4C530001230823115482");
  EXPECT_EQ(by_id(model, "sdb").serial, "");
}

TEST_F(Enumeration, HotplugAndRmDecideTheLists) {
  json hotplug_fixed = disk_entry("sda");  // an eSATA or USB hard disk
  hotplug_fixed["hotplug"] = true;
  hotplug_fixed["rm"] = false;
  json internal_fixed = disk_entry("sdb");
  internal_fixed["hotplug"] = false;
  internal_fixed["rm"] = false;
  json unknown = disk_entry("sdc");
  unknown["hotplug"] = nullptr;
  unknown["rm"] = nullptr;
  json internal_removable = disk_entry("sdd");
  internal_removable["hotplug"] = false;
  internal_removable["rm"] = true;
  json missing = disk_entry("sde");
  missing.erase("hotplug");
  missing.erase("rm");
  use_listing(listing_of({hotplug_fixed, internal_fixed, unknown, internal_removable, missing}));

  physical_drives model;
  struct flags {
    bool internal, removable;
  };
  const std::vector<flags> expected = {
      {false, false}, {true, false}, {false, false}, {true, true}, {false, false}};
  ASSERT_EQ(model.drive_list.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(model.drive_list[i].internal, expected[i].internal) << i;
    EXPECT_EQ(model.drive_list[i].removable, expected[i].removable) << i;
  }
  EXPECT_EQ(identifiers(model.external_drives),
            (std::vector<std::string>{"sda", "sdc", "sdd", "sde"}));
  EXPECT_EQ(identifiers(model.internal_drives), (std::vector<std::string>{"sdb"}));
}

TEST_F(Enumeration, NullAndMissingMembersBecomeEmptyOrZero) {
  json labelled = part_entry("sdx1", 4096, nullptr);
  labelled["label"] = nullptr;
  labelled["fstype"] = nullptr;
  json minimal = {{"name", "sdx"}, {"type", "disk"}};
  minimal["children"] = json::array({json::object(), labelled});
  use_listing(listing_of({minimal}));

  physical_drives model;
  ASSERT_EQ(model.drive_list.size(), 1u);
  const phydrive& drive = model.drive_list[0];
  EXPECT_TRUE(drive.defined);
  for (const std::string* text : {&drive.path, &drive.rawpath, &drive.name, &drive.uuid}) {
    EXPECT_EQ(*text, "");
  }
  EXPECT_EQ(drive.disk_size + drive.block_size + drive.number_of_blocks, 0u);
  EXPECT_FALSE(drive.internal || drive.removable || drive.sd_card || drive.corrupt);
  ASSERT_EQ(drive.partitions.size(), 2u);
  const partition& bare = drive.partitions[0];
  for (const std::string* text : {&bare.name, &bare.path, &bare.rawpath, &bare.fstype, &bare.label,
                                  &bare.partlabel, &bare.ptuuid, &bare.mountpoint}) {
    EXPECT_EQ(*text, "");
  }
  EXPECT_EQ(bare.size, 0u);
  EXPECT_EQ(drive.partitions[1].label, "");
  EXPECT_EQ(drive.partitions[1].fstype, "");
  EXPECT_EQ(drive.partitions[1].ptuuid, "0badcafe");
}

TEST_F(Enumeration, NumbersAcceptFloatsAndBooleans) {
  json disk = disk_entry("sda");
  disk["size"] = 2048.0;
  disk["phy-sec"] = true;
  use_listing(listing_of({disk}));
  physical_drives model;
  ASSERT_EQ(model.drive_list.size(), 1u);
  EXPECT_EQ(model.drive_list[0].disk_size, 2048u);
  EXPECT_EQ(model.drive_list[0].block_size, 1u);
  EXPECT_EQ(model.drive_list[0].number_of_blocks, 2048u);
}

TEST_F(Enumeration, DiskWithoutSectorSizeStaysListedWithoutBlocks) {
  json zero = disk_entry("sda");
  zero["phy-sec"] = 0;
  json null = disk_entry("sdb");
  null["phy-sec"] = nullptr;
  json missing = disk_entry("sdc");
  missing.erase("phy-sec");
  use_listing(listing_of({zero, null, missing}));

  physical_drives model;
  ASSERT_EQ(identifiers(model.drive_list), (std::vector<std::string>{"sda", "sdb", "sdc"}));
  for (const auto& drive : model.drive_list) {
    EXPECT_EQ(drive.disk_size, 1073741824u) << drive.identifier;
    EXPECT_EQ(drive.block_size, 0u) << drive.identifier;
    EXPECT_EQ(drive.number_of_blocks, 0u) << drive.identifier;
  }
}

TEST_F(Enumeration, EmptyCardReaderHasNoBlocks) {
  use_fixture("workstation.json");
  physical_drives model;
  EXPECT_EQ(identifiers(model.drive_list),
            (std::vector<std::string>{"sda", "sdb", "sdc", "zram0", "vda"}));
  const phydrive& reader = by_id(model, "sdc");
  EXPECT_TRUE(reader.sd_card);
  EXPECT_EQ(reader.disk_size, 0u);
  EXPECT_EQ(reader.number_of_blocks, 0u);
  EXPECT_EQ(by_id(model, "sda").number_of_blocks, 1000204886016u / 4096);
  EXPECT_EQ(identifiers(model.internal_drives), (std::vector<std::string>{"sda", "zram0", "vda"}));
}

TEST_F(Enumeration, OnlyTheJsonStringDiskCounts) {
  std::vector<json> entries;
  for (const json& type : {json("Disk"), json("disk "), json(nullptr), json(1),
                           json::array({"disk"}), json("part"), json("rom")}) {
    json entry = disk_entry("sdz");
    entry["type"] = type;
    entries.push_back(entry);
  }
  json untyped = disk_entry("sdy");
  untyped.erase("type");
  entries.push_back(untyped);
  // Entries of other types are not read at all, so their odd members do no harm.
  json odd_loop = disk_entry("loop7");
  odd_loop["type"] = "loop";
  odd_loop["size"] = "58327040";
  odd_loop["children"] = 3;
  entries.push_back(odd_loop);
  entries.push_back(disk_entry("sda"));
  use_listing(listing_of(entries));

  physical_drives model;
  EXPECT_EQ(identifiers(model.drive_list), (std::vector<std::string>{"sda"}));
}

TEST(LsblkListing, LoopDevicesOnlyWhenAskedForAndOnlyAttachedOnes) {
  json attached = disk_entry("loop3");
  attached["type"] = "loop";
  json detached = disk_entry("loop4");
  detached["type"] = "loop";
  detached["size"] = 0;
  const std::string text = listing_of({attached, detached, disk_entry("sda")}).dump();
  EXPECT_EQ(identifiers(lsblk_listing::parse(text)), (std::vector<std::string>{"sda"}));
  const std::vector<phydrive> with_loops = lsblk_listing::parse(text, true);
  EXPECT_EQ(identifiers(with_loops), (std::vector<std::string>{"loop3", "sda"}));
  EXPECT_TRUE(with_loops[0].loop);
  EXPECT_FALSE(with_loops[1].loop);
}

TEST_F(Enumeration, ListingWithoutDevicesGivesNoDrives) {
  for (const char* text : {"{}", "{\"blockdevices\": null}", "{\"blockdevices\": []}\n"}) {
    use_listing_text(text);
    physical_drives model;
    EXPECT_TRUE(model.drive_list.empty()) << text;
  }
}

TEST_F(Enumeration, EachUpdateReplacesTheListing) {
  use_fixture("laptop.json");
  physical_drives model;
  use_fixture("workstation.json");
  model.update(false);
  EXPECT_EQ(identifiers(model.drive_list),
            (std::vector<std::string>{"sda", "sdb", "sdc", "zram0", "vda"}));
  EXPECT_EQ(model.drive_list[0].name, "ATA     WDC WD10EZEX-08W");
  EXPECT_EQ(identifiers(model.external_drives), (std::vector<std::string>{"sdb", "sdc"}));
  EXPECT_EQ(listing_calls(), 2u);
}

TEST_F(Enumeration, WrongMemberTypeNamesTheJsonError) {
  use_fixture("laptop.json");
  physical_drives model;
  json disk = disk_entry("sda");
  disk["size"] = "15931539456";
  use_listing(listing_of({disk}));

  std::string library_message;
  try {
    json("15931539456").get<std::uint64_t>();
  } catch (const json::type_error& e) {
    library_message = e.what();
  }
  ASSERT_FALSE(library_message.empty());
  EXPECT_EQ(update_error(model), "failed to list drives: " + library_message);
}

// Each of these makes the update fail and leaves all three lists empty, even
// though the update before it had filled them.
class BrokenListing : public drives_test::listing_test,
                      public ::testing::WithParamInterface<std::pair<const char*, std::string>> {};

TEST_P(BrokenListing, FailsAndEmptiesTheLists) {
  use_fixture("laptop.json");
  physical_drives model;
  ASSERT_FALSE(model.internal_drives.empty());
  ASSERT_FALSE(model.external_drives.empty());

  use_listing_text(GetParam().second);
  const std::string message = update_error(model);
  EXPECT_EQ(message.rfind("failed to list drives: ", 0), 0u) << message;
  EXPECT_GT(message.size(), std::string("failed to list drives: ").size());
  EXPECT_TRUE(model.drive_list.empty());
  EXPECT_TRUE(model.external_drives.empty());
  EXPECT_TRUE(model.internal_drives.empty());
}

std::string with_disk_member(const std::string& key, const json& value) {
  json disk = disk_entry("sda", {part_entry("sda1", 1024, nullptr)});
  disk[key] = value;
  return listing_of({disk}).dump();
}

std::string with_child_member(const std::string& key, const json& value) {
  json child = part_entry("sda1", 1024, nullptr);
  child[key] = value;
  return listing_of({disk_entry("sda", {child})}).dump();
}

INSTANTIATE_TEST_SUITE_P(
    Enumeration, BrokenListing,
    ::testing::Values(
        std::make_pair("tool_error", std::string("lsblk: unknown column: phy-sec\n")),
        std::make_pair("empty_output", std::string()),
        std::make_pair("trailing_text", listing_of({disk_entry("sda")}).dump() + "\nlsblk: oops\n"),
        std::make_pair("comment", std::string("{/* none */ \"blockdevices\": []}")),
        std::make_pair("truncated", listing_of({disk_entry("sda")}).dump().substr(0, 80)),
        std::make_pair("document_not_object", std::string("[{\"name\": \"sda\"}]")),
        std::make_pair("devices_not_array", std::string("{\"blockdevices\": {\"name\": \"sda\"}}")),
        std::make_pair("device_not_object", std::string("{\"blockdevices\": [\"sda\"]}")),
        std::make_pair("device_null", std::string("{\"blockdevices\": [null]}")),
        std::make_pair("size_string", with_disk_member("size", "15931539456")),
        std::make_pair("name_number", with_disk_member("name", 8)),
        std::make_pair("vendor_object", with_disk_member("vendor", json::object())),
        std::make_pair("rm_string", with_disk_member("rm", "1")),
        std::make_pair("hotplug_number", with_disk_member("hotplug", 1)),
        std::make_pair("phy_sec_array", with_disk_member("phy-sec", json::array({512}))),
        std::make_pair("size_beyond_64_bits", with_disk_member("size", 1e300)),
        std::make_pair("size_negative_float", with_disk_member("size", -5.5)),
        std::make_pair("children_object", with_disk_member("children", json::object())),
        std::make_pair("children_text", with_disk_member("children", "sda1")),
        std::make_pair("child_not_object", with_disk_member("children", json::array({1, 2}))),
        std::make_pair("child_size_string", with_child_member("size", "1024")),
        std::make_pair("child_mountpoint_bool", with_child_member("mountpoint", false))),
    [](const auto& info) { return std::string(info.param.first); });

class Lookup : public drives_test::listing_test {
 protected:
  phydrive lookup(const std::string& key) { return model_->get_drive(key); }
  std::string found(const std::string& key) { return lookup(key).identifier; }
  void load(const json& listing) {
    use_listing(listing);
    model_ = std::make_unique<physical_drives>();
  }

 private:
  std::unique_ptr<physical_drives> model_;
};

TEST_F(Lookup, ByDriveNameOrPathOrPartitionNameOrPath) {
  load(drives_test::fixture("laptop.json"));
  EXPECT_EQ(found("sdb"), "sdb");
  EXPECT_EQ(found("/dev/sdb"), "sdb");
  EXPECT_EQ(found("sdb1"), "sdb");
  EXPECT_EQ(found("/dev/sdb1"), "sdb");
  EXPECT_EQ(found("nvme0n1p2"), "nvme0n1");
  EXPECT_EQ(found("/dev/nvme0n1p2"), "nvme0n1");
  // Part of one drive's path is enough.
  EXPECT_EQ(found("dev/nvme"), "nvme0n1");
}

TEST_F(Lookup, UnknownKeysGiveTheDefaultRecord) {
  load(drives_test::fixture("laptop.json"));
  // Partitions match only whole; case counts; entries below partitions are not read.
  for (const char* key : {"sdz", "SDA", "/DEV/SDA", "db1", "/dev/sdb11", "nvme0n1p3_crypt",
                          "/dev/mapper/nvme0n1p3_crypt", "loop0", "sr0"}) {
    const phydrive drive = lookup(key);
    EXPECT_EQ(drive.identifier, "undefined") << key;
    EXPECT_FALSE(drive.defined) << key;
  }
}

TEST_F(Lookup, ExactNamesComeFirstAndAmbiguousKeysNameNoDrive) {
  const json laptop = drives_test::fixture("laptop.json");
  const json shadowing = listing_of(
      {disk_entry("sda", {part_entry("sdb", 1, nullptr), part_entry("both", 1, nullptr)}),
       disk_entry("sdb", {part_entry("both", 1, nullptr)})});
  struct example {
    json listing;
    std::string key, found;
  };
  const std::vector<example> examples = {
      {listing_of({disk_entry("sdbc"), disk_entry("sdb")}), "/dev/sdb", "sdb"},
      {listing_of({disk_entry("sdbc"), disk_entry("sdbd")}), "/dev/sdb", "undefined"},
      {listing_of({disk_entry("sdbc")}), "/dev/sdb", "sdbc"},  // one drive by part of its path
      {laptop, "/dev/sd", "undefined"},
      {laptop, "", "undefined"},
      {shadowing, "sdb", "sdb"},  // a drive's own name before a partition's
      {shadowing, "both", "undefined"},
  };
  for (const example& e : examples) {
    load(e.listing);
    EXPECT_EQ(found(e.key), e.found) << "key \"" << e.key << "\" in " << e.listing.dump();
  }
}

TEST_F(Lookup, DoesNotRefreshTheList) {
  load(drives_test::fixture("laptop.json"));
  use_fixture("workstation.json");
  EXPECT_EQ(found("vda"), "undefined");
  EXPECT_EQ(listing_calls(), 1u);
}

TEST_F(Enumeration, VerbosePrintsEachDriveAndAnEmptyLine) {
  use_fixture("laptop.json");
  physical_drives model;
  testing::internal::CaptureStdout();
  model.update(false);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  testing::internal::CaptureStdout();
  model.update(true);
  const std::string printed = testing::internal::GetCapturedStdout();
  ASSERT_EQ(model.drive_list.size(), 3u);
  EXPECT_EQ(printed, model.drive_list[0].get_info(25) + "\n" + model.drive_list[1].get_info(25) +
                         "\n" + model.drive_list[2].get_info(25) + "\n");
  EXPECT_EQ(printed.rfind("identifier               sda                      \n", 0), 0u);
}

TEST_F(Enumeration, LookupsDuringRefreshesSeeWholeListings) {
  use_fixture("laptop.json");
  physical_drives model;
  std::thread refresher([&] {
    for (int i = 0; i < 15; ++i) model.update(false);
  });
  for (int i = 0; i < 300; ++i) {
    const phydrive drive = model.get_drive("sda2");
    // A refresh swaps the listing in whole: never empty lists, never half a drive.
    EXPECT_EQ(drive.identifier, "sda") << "lookup " << i;
    EXPECT_EQ(drive.partitions.size(), 2u);
  }
  refresher.join();
  EXPECT_EQ(model.get_drive("sda2").identifier, "sda");
}

// The machine's own lsblk, read only: every disk it lists becomes a full record.
TEST(RealLsblk, EveryDiskBecomesADefinedRecord) {
  physical_drives model;

  std::vector<std::string> disks;  // from lsblk's plain-text mode, as a cross-check
  std::istringstream lines(process::system("lsblk -d -n -r -o NAME,TYPE"));
  for (std::string name, type; lines >> name >> type;) {
    if (type == "disk") disks.push_back(name);
  }
  EXPECT_EQ(identifiers(model.drive_list), disks);

  for (const phydrive& drive : model.drive_list) {
    SCOPED_TRACE(drive.identifier);
    EXPECT_TRUE(drive.defined);
    EXPECT_EQ(drive.path.rfind("/dev/", 0), 0u);
    EXPECT_EQ(drive.rawpath, drive.path);
    for (const std::string* text :
         {&drive.identifier, &drive.path, &drive.rawpath, &drive.name, &drive.uuid}) {
      EXPECT_NE(*text, "undefined");
    }
    if (drive.block_size != 0)
      EXPECT_EQ(drive.number_of_blocks, drive.disk_size / drive.block_size);
    for (const partition& part : drive.partitions) {
      for (const std::string* text :
           {&part.name, &part.path, &part.rawpath, &part.fstype, &part.label, &part.partlabel,
            &part.ptuuid, &part.mountpoint}) {
        EXPECT_NE(*text, "undefined") << part.name;
      }
    }
    EXPECT_EQ(drive.get_info(25).find("undefined"), std::string::npos);
  }
}

}  // namespace
