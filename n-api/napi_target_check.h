#pragma once
// checkTargets() of the flasher module.
#include <napi.h>

// checkTargets({ drives, image, blockMap, blockSize, verifyBlockSize }): the engine's
// checks of a write, off the JavaScript thread; a Promise of { image, blockMap, drives }.
Napi::Value check_targets(const Napi::CallbackInfo& info);
