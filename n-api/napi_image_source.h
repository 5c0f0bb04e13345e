#pragma once
// The flasher module's functions about images beyond FlashDrive: reading what an image
// (a file or a URL) is, off the JavaScript thread, and the cache of downloads.
#include <napi.h>

void add_image_source_functions(Napi::Env env, Napi::Object exports);
