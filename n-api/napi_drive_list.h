#pragma once
// listDrives() of the flasher module, and the drive records it gives.
#include <napi.h>

#include "drives/phydrive.h"

// Lists the machine's disks on a worker thread; returns a Promise of plain objects.
Napi::Value list_drives(const Napi::CallbackInfo& info);

// The plain object of one drive record, as listDrives() gives it.
Napi::Object drive_object(Napi::Env env, const phydrive& drive);
