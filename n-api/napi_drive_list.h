#pragma once
// listDrives() of the flasher module.
#include <napi.h>

// Lists the machine's disks on a worker thread; returns a Promise of plain objects.
Napi::Value list_drives(const Napi::CallbackInfo& info);
