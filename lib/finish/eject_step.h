#pragma once
// The last step: powers the drive off through udisks (`udisksctl power-off -b`), so it
// can be pulled out. Where udisks is missing or refuses, the drive's buffers are
// flushed and the record says "not ejected: <reason>"; the job does not fail for it.
#include <string>

#include "finish/step_records.h"

step_record eject_drive(const std::string& device_path);
