#include "flash_fixture.h"

namespace flash_test {

flash_fixture::flash_fixture() : listing("FAKE_LSBLK_LISTING", dir.file("lsblk.json")) {
  disk.path = dir.file("drive.img");
  image_path = dir.file("image.bin");
  list_disks({disk});
}

void flash_fixture::list_disks(const std::vector<fake_disk>& disks) {
  nlohmann::json devices = nlohmann::json::array();
  for (const auto& d : disks) {
    devices.push_back({{"name", d.name},
                       {"path", d.path},
                       {"type", "disk"},
                       {"size", d.size},
                       {"model", "Flash Disk"},
                       {"vendor", "Test "},
                       {"phy-sec", d.sector},
                       {"log-sec", d.sector},
                       {"rm", d.removable},
                       {"hotplug", d.hotplug},
                       {"label", nullptr},
                       {"fstype", nullptr},
                       {"uuid", nullptr},
                       {"ptuuid", nullptr},
                       {"parttype", nullptr},
                       {"partlabel", nullptr},
                       {"mountpoint", nullptr}});
    if (!d.children.is_null()) devices.back()["children"] = d.children;
  }
  test_support::write_file(dir.file("lsblk.json"), nlohmann::json{{"blockdevices", devices}}.dump(2));
}

std::shared_ptr<flash_device> flash_fixture::make_device() {
  auto device = std::make_shared<flash_device>();
  device->drive_model.mount_retry_delay_ms = 5;
  device->end_pause_ms = 10;
  return device;
}

std::shared_ptr<flash_device> flash_fixture::make_job_device() {
  auto device = make_device();
  device->password = "fixture password";
  return device;
}

void flash_fixture::prepare(flash_device& device, std::uint64_t image_size, std::uint64_t block_size) {
  test_support::write_bytes(disk.path, std::vector<std::uint8_t>(disk.size, 0));
  choose(device, image_size, block_size);
}

void flash_fixture::choose(flash_device& device, std::uint64_t image_size, std::uint64_t block_size) {
  image = test_support::pattern_bytes(image_size, 7);
  test_support::write_bytes(image_path, image);
  device.set_drive(disk.name);
  device.set_image(image_path);
  device.set_write_block_size(block_size);
  device.set_validate_block_size(block_size);
  device.password = "fixture password";
}

void flash_fixture::run_write(flash_device& device) {
  job_end end;
  device.write_async(end.callback());
  ASSERT_TRUE(end.wait()) << "write job did not end";
}

void flash_fixture::run_validate(flash_device& device, const std::string& report_path) {
  job_end end;
  device.validate_async(end.callback(), report_path);
  ASSERT_TRUE(end.wait()) << "validation job did not end";
}

std::string failure_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "accepted";
}

nlohmann::json flash_fixture::stats(const statistics_record& record) {
  return nlohmann::json::parse(record.get_json());
}

}  // namespace flash_test
