#include "fault_options.h"

#include <stdexcept>

namespace fault_device {
namespace {

std::uint64_t number(const std::string& name, const std::string& text) {
  std::size_t used = 0;
  unsigned long long value = 0;
  try {
    value = std::stoull(text, &used, 10);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || text[0] == '-') {
    throw std::invalid_argument(name + " needs a byte count, not \"" + text + "\"");
  }
  return value;
}

// "A-B": bytes A up to B, B excluded.
byte_range range(const std::string& name, const std::string& text) {
  const std::size_t dash = text.find('-');
  if (dash == std::string::npos) throw std::invalid_argument(name + " needs BEGIN-END, not \"" + text + "\"");
  byte_range r{number(name, text.substr(0, dash)), number(name, text.substr(dash + 1))};
  if (r.end <= r.begin) throw std::invalid_argument(name + " needs BEGIN below END");
  return r;
}

}  // namespace

options parse(int argc, char** argv) {
  options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::size_t eq = arg.find('=');
    if (arg.rfind("--", 0) != 0 || eq == std::string::npos) {
      o.fuse_args.push_back(arg);
      continue;
    }
    const std::string name = arg.substr(0, eq);
    const std::string value = arg.substr(eq + 1);
    if (name == "--backing") {
      o.backing = value;
    } else if (name == "--size") {
      o.size = number(name, value);
    } else if (name == "--keep") {
      o.keep = number(name, value);
    } else if (name == "--past-keep") {
      if (value != "wrap" && value != "drop") throw std::invalid_argument("--past-keep is wrap or drop");
      o.wrap = value == "wrap";
    } else if (name == "--fail-read") {
      o.fail_read.push_back(range(name, value));
    } else if (name == "--fail-write") {
      o.fail_write.push_back(range(name, value));
    } else if (name == "--fail") {
      o.fail_read.push_back(range(name, value));
      o.fail_write.push_back(o.fail_read.back());
    } else if (name == "--lose-once") {
      o.lose_once.push_back(range(name, value));
    } else if (name == "--lose") {
      o.lose.push_back(range(name, value));
    } else if (name == "--pull-after") {
      o.pull_armed = true;
      o.pull_after = number(name, value);
    } else if (name == "--pull-errno") {
      if (value != "EIO" && value != "ENODEV") throw std::invalid_argument("--pull-errno is EIO or ENODEV");
      o.pull_errno = value == "EIO" ? EIO : ENODEV;
    } else if (name == "--rate") {
      o.rate = number(name, value);
    } else if (name == "--rate-after") {
      const std::size_t colon = value.find(':');
      if (colon == std::string::npos) throw std::invalid_argument("--rate-after needs BYTES:RATE, not \"" + value + "\"");
      o.rate_changes = true;
      o.rate_change_after = number(name, value.substr(0, colon));
      o.later_rate = number(name, value.substr(colon + 1));
    } else if (name == "--delay-us") {
      o.delay_us = number(name, value);
    } else if (name == "--fail-flush") {
      if (value != "EIO") throw std::invalid_argument("--fail-flush is EIO");
      o.fail_flush = true;
    } else {
      throw std::invalid_argument("unknown option " + name);
    }
  }
  if (o.backing.empty() || o.size == 0) throw std::invalid_argument("--backing and --size are required");
  if (o.keep == 0 || o.keep > o.size) o.keep = o.size;
  for (const auto* list : {&o.lose_once, &o.lose}) {
    for (const byte_range& r : *list) {
      if (r.begin % 512 != 0 || r.end % 512 != 0) throw std::invalid_argument("--lose and --lose-once take whole 512-byte sectors");
    }
  }
  return o;
}

}  // namespace fault_device
