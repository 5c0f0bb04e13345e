#include "station/disk_watch.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace station {

std::optional<disk_change::kind> disk_sizes::after(const uevent& event, std::uint64_t size_now) {
  if (!event.is_disk()) return std::nullopt;
  const auto found = sizes_.find(event.devpath);
  const std::uint64_t before = found == sizes_.end() ? 0 : found->second;
  if (event.action == "remove") {
    if (found != sizes_.end()) sizes_.erase(found);
    return before > 0 ? std::optional(disk_change::kind::gone) : std::nullopt;
  }
  if (event.action != "add" && event.action != "change") return std::nullopt;
  sizes_[event.devpath] = size_now;
  if (before == 0 && size_now > 0) return disk_change::kind::appeared;
  if (before > 0 && size_now == 0) return disk_change::kind::gone;
  return std::nullopt;
}

std::vector<std::string> disk_sizes::sized() const {
  std::vector<std::string> devpaths;
  for (const auto& [devpath, size] : sizes_) {
    if (size > 0) devpaths.push_back(devpath);
  }
  return devpaths;
}

namespace {

std::string first_line(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

disk_watch::disk_watch(std::string sysfs_root) : root_(std::move(sysfs_root)) {
  for (const disk_state& disk : scan()) {
    sizes_.known(disk.devpath, disk.size);
    names_[disk.devpath] = disk;
    if (disk.size > 0) present_.push_back(change_of(disk_change::kind::appeared, disk.devpath, disk.name, disk.devnum, disk.size));
  }
}

std::vector<disk_watch::disk_state> disk_watch::scan() const {
  namespace fs = std::filesystem;
  std::vector<disk_state> disks;
  std::error_code error;
  const fs::path block = fs::path(root_) / "class" / "block";
  for (fs::directory_iterator entry(block, error), end; !error && entry != end; entry.increment(error)) {
    std::error_code own_error;
    if (fs::exists(entry->path() / "partition", own_error)) continue;
    const fs::path device = fs::canonical(entry->path(), own_error);
    if (own_error) continue;
    disk_state disk;
    disk.devpath = device.string().substr(root_.size());
    disk.name = entry->path().filename().string();
    disk.devnum = first_line((device / "dev").string());
    disk.size = size_of(disk.devpath);
    disks.push_back(disk);
  }
  return disks;
}

std::uint64_t disk_watch::size_of(const std::string& devpath) const {
  const std::string sectors = first_line(root_ + devpath + "/size");
  try {
    return std::stoull(sectors) * 512;  // sysfs counts 512-byte sectors whatever the disk's own
  } catch (const std::exception&) {
    return 0;  // gone meanwhile
  }
}

disk_change disk_watch::change_of(disk_change::kind what, const std::string& devpath, const std::string& name,
                                  const std::string& devnum, std::uint64_t size) const {
  return disk_change{what, root_ + devpath, devnum, name, what == disk_change::kind::gone ? 0 : size};
}

void disk_watch::look_again() {
  std::map<std::string, disk_state> now;
  for (const disk_state& disk : scan()) now[disk.devpath] = disk;
  const auto tell = [&](const char* action, const disk_state& disk) {
    uevent event;
    event.action = action;
    event.devpath = disk.devpath;
    event.values = {{"SUBSYSTEM", "block"}, {"DEVTYPE", "disk"}};
    if (const auto what = sizes_.after(event, disk.size)) {
      pending_.push_back(change_of(*what, disk.devpath, disk.name, disk.devnum, disk.size));
    }
  };
  for (const auto& [devpath, disk] : names_) {
    if (now.count(devpath) == 0) tell("remove", disk);
  }
  for (const auto& [devpath, disk] : now) tell("change", disk);
  names_ = std::move(now);
}

std::optional<disk_change> disk_watch::next(std::chrono::milliseconds timeout) {
  if (pending_.empty()) {
    const uevent_monitor::received message = monitor_.next(timeout);
    if (message.lost) look_again();
    if (message.event) {
      const uevent& event = *message.event;
      const std::uint64_t size = event.action == "remove" ? 0 : size_of(event.devpath);
      if (event.is_disk() && event.action != "remove") {
        names_[event.devpath] = disk_state{event.devpath, event.value("DEVNAME"), event.devnum(), size};
      }
      if (const auto what = sizes_.after(event, size)) {
        pending_.push_back(change_of(*what, event.devpath, event.value("DEVNAME"), event.devnum(), size));
      }
    }
  }
  if (pending_.empty()) return std::nullopt;
  disk_change change = pending_.front();
  pending_.pop_front();
  return change;
}

}  // namespace station
