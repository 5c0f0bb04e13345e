#include "drives/lsblk_listing.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace lsblk_listing {

// "log-sec", "uuid" and "parttype" are asked for but not read.
const char* const command_line =
    "lsblk --bytes --json -o name,path,type,size,model,vendor,phy-sec,log-sec,rm,hotplug,"
    "label,fstype,uuid,ptuuid,parttype,partlabel,mountpoint,serial";

namespace {

using json = nlohmann::json;

// The accessors below read one member each. A missing or null member is an
// ordinary case (lsblk prints null for an unknown vendor, label or mount point);
// a member of another JSON type is a broken listing and raises the library's
// type_error, as do the get_ref calls on an element that is not an object or array.

const json* member(const json::object_t& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end() || found->second.is_null()) return nullptr;
  return &found->second;
}

std::string text(const json::object_t& object, const char* key) {
  const json* value = member(object, key);
  return value ? value->get<std::string>() : std::string();
}

// A boolean reads as 0 or 1.
std::uint64_t number(const json::object_t& object, const char* key) {
  const json* value = member(object, key);
  if (!value) return 0;
  if (value->is_boolean()) return value->get<bool>() ? 1 : 0;
  if (value->is_number_float()) {
    // Converting a double outside the range of the target type is undefined.
    const double d = value->get<double>();
    if (!(d > -1.0 && d < 18446744073709551616.0)) {
      throw std::out_of_range(std::string("lsblk member \"") + key + "\" out of range");
    }
  }
  return value->get<std::uint64_t>();
}

const json::array_t* array_member(const json::object_t& object, const char* key) {
  const json* value = member(object, key);
  return value ? &value->get_ref<const json::array_t&>() : nullptr;
}

partition read_partition(const json& element) {
  const auto& fields = element.get_ref<const json::object_t&>();
  partition part;
  part.name = text(fields, "name");
  part.path = text(fields, "path");
  part.rawpath = part.path;
  part.size = number(fields, "size");
  part.fstype = text(fields, "fstype");
  part.label = text(fields, "label");
  part.partlabel = text(fields, "partlabel");
  part.ptuuid = text(fields, "ptuuid");
  part.mountpoint = text(fields, "mountpoint");
  return part;
}

phydrive read_disk(const json::object_t& fields) {
  phydrive drive;
  drive.identifier = text(fields, "name");
  drive.path = text(fields, "path");
  drive.rawpath = drive.path;
  drive.vendor = text(fields, "vendor");
  drive.model = text(fields, "model");
  drive.name = drive.vendor + drive.model;
  drive.uuid = text(fields, "ptuuid");
  drive.serial = text(fields, "serial");
  drive.disk_size = number(fields, "size");
  drive.block_size = number(fields, "phy-sec");
  // A card reader without a card, or a virtual disk, may report no sector size.
  drive.number_of_blocks = drive.block_size == 0 ? 0 : drive.disk_size / drive.block_size;
  if (const auto* children = array_member(fields, "children")) {
    for (const json& child : *children) drive.partitions.push_back(read_partition(child));
  }
  if (const json* hotplug = member(fields, "hotplug")) drive.internal = !hotplug->get<bool>();
  if (const json* rm = member(fields, "rm")) drive.removable = rm->get<bool>();
  drive.sd_card = drive.name.find("STORAGE") != std::string::npos &&
                  drive.name.find("DEVICE") != std::string::npos;
  drive.defined = true;
  return drive;
}

bool is_type(const json::object_t& fields, const char* kind) {
  const json* type = member(fields, "type");
  return type != nullptr && *type == kind;
}

}  // namespace

std::vector<phydrive> parse(const std::string& json_text, bool loops) {
  // Strict: no comments, nothing but white space after the document.
  const json document = json::parse(json_text, nullptr, true, false);
  std::vector<phydrive> disks;
  const auto* devices = array_member(document.get_ref<const json::object_t&>(), "blockdevices");
  if (devices == nullptr) return disks;
  for (const json& element : *devices) {
    const auto& fields = element.get_ref<const json::object_t&>();
    if (is_type(fields, "disk")) {
      disks.push_back(read_disk(fields));
    } else if (loops && is_type(fields, "loop") && number(fields, "size") > 0) {
      disks.push_back(read_disk(fields));
      disks.back().loop = true;
    }
  }
  return disks;
}

}  // namespace lsblk_listing
