#include "backup/blkid_library.h"

#include <dlfcn.h>

#include <mutex>
#include <string>

#include "support/coded_error.h"

namespace backup {

namespace {

struct loaded {
  blkid_library functions{};
  std::string failure;
};

template <class Function>
void resolve(void* handle, const char* name, Function& function, std::string& failure) {
  function = reinterpret_cast<Function>(::dlsym(handle, name));
  if (function == nullptr && failure.empty()) failure = std::string("libblkid.so.1 lacks ") + name;
}

loaded load() {
  loaded result;
  // Kept for the life of the process.
  void* handle = ::dlopen("libblkid.so.1", RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    result.failure = std::string("cannot load libblkid.so.1 (util-linux): ") + (why ? why : "unknown reason");
    return result;
  }
  blkid_library& f = result.functions;
  resolve(handle, "blkid_new_probe_from_filename", f.new_probe_from_filename, result.failure);
  resolve(handle, "blkid_free_probe", f.free_probe, result.failure);
  resolve(handle, "blkid_probe_enable_superblocks", f.probe_enable_superblocks, result.failure);
  resolve(handle, "blkid_probe_enable_partitions", f.probe_enable_partitions, result.failure);
  resolve(handle, "blkid_probe_get_partitions", f.probe_get_partitions, result.failure);
  resolve(handle, "blkid_partlist_numof_partitions", f.partlist_numof_partitions, result.failure);
  resolve(handle, "blkid_partlist_get_partition", f.partlist_get_partition, result.failure);
  resolve(handle, "blkid_partition_get_start", f.partition_get_start, result.failure);
  resolve(handle, "blkid_partition_get_size", f.partition_get_size, result.failure);
  return result;
}

}  // namespace

const blkid_library& blkid_library::get() {
  static const loaded library = load();
  if (!library.failure.empty()) throw coded_error(reason::read, library.failure);
  return library.functions;
}

}  // namespace backup
