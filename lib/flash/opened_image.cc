#include "flash/opened_image.h"

#include "flash/write_rules.h"
#include "net/url.h"

void check_fits(const image_pipeline& image, const phydrive& drive) {
  if (!write_rules::image_fits(image.size(), drive)) throw coded_error(reason::too_small, "drive is too small for given image");
}

void note_opened(const image_pipeline& image, statistics_record& stats) {
  const auto& map = image.map();
  stats.progress.total = map ? map->mapped_bytes : image.info().size.value_or(0);
  stats.progress.source_total = image.info().file_size;
  stats.update_report([&](job_report& r) {
    r.image_format = image::format_name(image.info().format);
    r.image_size = image.size();
    r.block_map = map != nullptr;
  });
}

void note_source(const image_pipeline& image, const origin::image_request& request, statistics_record& stats) {
  if (!net::is_url(request.location) && !request.checked() && !request.digest) return;
  const origin::source_account account = image.source();
  source_report source;
  source.location = request.location;
  source.from_cache = account.from_cache;
  source.downloaded = account.bytes;
  source.resumes = account.resumes;
  source.sha256 = account.actual_sha256;
  source.unused_block_map = image.unused_map();
  if (!account.expected_sha256.empty() && !account.actual_sha256.empty()) {
    source.checksum = account.actual_sha256 == account.expected_sha256 ? "matched" : "mismatched";
  }
  stats.progress.source_bytes = image.source_bytes();
  stats.update_report([&](job_report& r) { r.source = source; });
}
