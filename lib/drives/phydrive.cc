#include "drives/phydrive.h"

#include <cmath>
#include <iomanip>
#include <locale>
#include <sstream>

namespace {

// The host process may have set any locale; the description always uses a point
// and no digit grouping.
std::string fixed(double value, int decimals) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << std::fixed << std::setprecision(decimals) << value;
  return out.str();
}

// Left-aligned in `width` columns; longer texts are kept whole.
std::string padded(const std::string& text, int width) {
  if (width <= 0 || text.size() >= static_cast<std::size_t>(width)) return text;
  return text + std::string(static_cast<std::size_t>(width) - text.size(), ' ');
}

std::string size_text(std::uint64_t bytes) {
  return std::to_string(bytes) + " (" + fixed(std::ldexp(static_cast<double>(bytes), -30), 2) +
         "GiB)";
}

std::string describe(const partition& part) {
  std::string text =
      part.path + " " + fixed(std::ldexp(static_cast<double>(part.size), -20), 3) + "MiB";
  text += part.label.empty() ? " " : " " + part.label + " ";
  text += "(" + (part.partlabel.empty() ? part.fstype : part.partlabel) + ")";
  return text;
}

}  // namespace

std::string phydrive::get_info(int width) const {
  if (!defined) return "undefined device\n";

  std::string text;
  auto line = [&](const std::string& label, const std::string& value) {
    text += padded(label, width) + padded(value, width) + "\n";
  };
  line("identifier", identifier);
  line("path", path);
  line("rawpath", rawpath);
  line("name", name);
  line("uuid", uuid);
  line("disk size", size_text(disk_size));
  line("block size", std::to_string(block_size));
  line("number of blocks", std::to_string(number_of_blocks));
  if (partitions.empty()) {
    line("partitions", "none");
  } else {
    line("partitions", describe(partitions.front()));
    for (std::size_t i = 1; i < partitions.size(); ++i) line("", describe(partitions[i]));
  }
  line("internal/external", internal ? "internal" : "external");
  line("removable/fixed", removable ? "removable" : "fixed");
  line("SD card", sd_card ? "yes" : "no");
  line("corrupt", corrupt ? "yes" : "no");
  return text;
}

bool operator==(const partition& a, const partition& b) {
  return a.name == b.name && a.path == b.path && a.rawpath == b.rawpath && a.size == b.size &&
         a.fstype == b.fstype && a.label == b.label && a.partlabel == b.partlabel &&
         a.ptuuid == b.ptuuid;
}

bool operator==(const phydrive& a, const phydrive& b) {
  return a.identifier == b.identifier && a.path == b.path && a.rawpath == b.rawpath &&
         a.name == b.name && a.disk_size == b.disk_size && a.block_size == b.block_size &&
         a.number_of_blocks == b.number_of_blocks && a.internal == b.internal &&
         a.removable == b.removable && a.sd_card == b.sd_card;
}

bool operator!=(const partition& a, const partition& b) { return !(a == b); }
bool operator!=(const phydrive& a, const phydrive& b) { return !(a == b); }
