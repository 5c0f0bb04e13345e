#pragma once
// listDrives() of the flasher module.
#include <napi.h>

#include "drives/phydrive.h"

// A drive as listDrives shows it: { name, path, size, model, vendor, removable, hotplug,
// sectorSize, partitions }.
Napi::Object drive_object(Napi::Env env, const phydrive& drive);

// Lists the machine's disks on a worker thread; returns a Promise of plain objects.
Napi::Value list_drives(const Napi::CallbackInfo& info);
