#pragma once
// What a job learns of its image once it opened it (an image at a URL tells its format
// and sizes only then), and tells in its statistics and report.
#include "drives/phydrive.h"
#include "flash/image_pipeline.h"
#include "flash/statistics_record.h"

// Refuses an image whose decoded size is known and larger than the drive: throws
// coded_error (ETOOSMALL) "drive is too small for given image".
void check_fits(const image_pipeline& image, const phydrive& drive);

// The image's format and sizes into the job's report and live counters.
void note_opened(const image_pipeline& image, statistics_record& stats);

// Where the bytes came from and the checksum's verdict, into the report: for an image
// at a URL, or one with a published checksum.
void note_source(const image_pipeline& image, const origin::image_request& request, statistics_record& stats);
