#pragma once
// Bytes of an image's decoded data at any offset, for the checks before a write: the
// head (where partition tables live) is kept, and a compressed image is decoded only
// as far as the bytes asked for.
#include <memory>
#include <vector>

#include "finish/partition_table.h"
#include "flash/image_pipeline.h"

// A reader of the image `plan` names; it keeps its own decoder.
read_at image_reader(const image_plan& plan);
