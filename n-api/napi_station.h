#pragma once
// watchDrives() of the flasher module.
#include <napi.h>

// watchDrives(rules, onEvent) -> { close() }: every drive that appears or goes, told
// to onEvent on the JavaScript thread.
Napi::Value watch_drives(const Napi::CallbackInfo& info);
