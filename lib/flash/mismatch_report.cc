#include "flash/mismatch_report.h"

#include <iomanip>
#include <locale>

namespace {

constexpr int column_width = 15;

// Bytes are shown as signed values widened to 32 bits: 0x80 reads ffffff80.
std::uint32_t widened(std::uint8_t byte) {
  return static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(byte)));
}

}  // namespace

mismatch_report::mismatch_report(const std::string& path) {
  if (path.empty()) return;
  file_.imbue(std::locale::classic());  // digits without grouping, whatever the host set
  file_.open(path, std::ios::out | std::ios::trunc);
  if (!file_) return;
  file_ << "# ";
  for (const char* title : {"position", "block", "offset", "byteset", "byteval"}) {
    file_ << std::setw(column_width) << title;
  }
  file_ << '\n';
}

void mismatch_report::add(std::uint64_t position, std::uint64_t block, std::uint64_t offset,
                          std::uint8_t byte_read, std::uint8_t byte_expected) {
  sectors_.add(position);
  if (!file_.is_open()) return;
  file_ << std::dec << std::setw(column_width) << position << std::setw(column_width) << block
        << std::setw(column_width) << offset << std::hex << std::setw(column_width) << widened(byte_read)
        << std::setw(column_width) << widened(byte_expected) << std::dec << '\n';
}

void mismatch_report::close() {
  if (file_.is_open()) file_.close();
}
