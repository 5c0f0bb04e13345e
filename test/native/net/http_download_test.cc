// The download of an image as the decoders take it, against the tests' server: resumed
// after drops and stalls, restarted once where the server cannot resume, and the
// failures that end it.
#include <gtest/gtest.h>

#include <regex>

#include "image/byte_source.h"
#include "net/http_download.h"
#include "support/coded_error.h"
#include "url_server.h"

namespace {

constexpr std::size_t image_size = 3 << 20;

struct download_case {
  const char* name;
  const char* path;
  nlohmann::json misbehaviour;
  bool seal_at_once;         // decoded bytes go on to the drives from the first read on
  unsigned resumes;          // of a download that succeeds
  const char* failure;       // the error's text (a regular expression) where it fails
};

const nlohmann::json weak_etag_alone_then_changed = {
    {"weakEtag", true}, {"noLastModified", true}, {"dropAfter", 100000}, {"alter", 10}, {"alterFrom", 1}};

const download_case cases[] = {
    {"drop_at_40_percent_resumes", "/image", {{"dropAfter", image_size * 4 / 10}}, true, 1, nullptr},
    {"stall_resumes", "/image", {{"stallAfter", 1 << 20}}, true, 1, nullptr},
    {"no_ranges_restarts_once_before_bytes_went_on", "/image", {{"noRanges", true}, {"dropAfter", 100000}}, false, 1, nullptr},
    {"no_ranges_fails_once_bytes_went_on", "/image", {{"noRanges", true}, {"dropAfter", 1 << 20}}, true, 0,
     "^download failed: the server cannot resume the download after 1048576 bytes$"},
    {"a_sixth_drop_fails", "/image", {{"dropAfter", 100000}, {"drops", 10}}, true, 0, "^download failed: .+ after 600000 bytes$"},
    {"too_long_a_content_length_fails", "/image", {{"extraLength", 100}}, true, 0, "^download failed: the server holds fewer bytes than it announced after 3145728 bytes$"},
    {"a_missing_file_fails", "/missing", nullptr, true, 0, "^download failed: HTTP 404 after 0 bytes$"},
    // A weak ETag names no exact bytes: the file changed behind it after the drop.
    {"a_weak_etag_alone_starts_over_and_sees_the_change", "/image", weak_etag_alone_then_changed, false, 0,
     "^download failed: the file changed on the server after 100000 bytes$"},
    {"a_weak_etag_alone_fails_once_bytes_went_on", "/image", weak_etag_alone_then_changed, true, 0,
     // Which words depends on whether the reader sealed before the drop or before the answer
     // that sends the whole file again.
     "^download failed: (.+, and the server names no version of the file to resume \\(a strong ETag or "
     "Last-Modified\\)|the server cannot resume the download) after 100000 bytes$"},
    {"a_weak_etag_resumes_with_the_date", "/image", {{"weakEtag", true}, {"dropAfter", 100000}}, true, 1, nullptr},
};

void PrintTo(const download_case& c, std::ostream* out) { *out << c.name; }

class Download : public ::testing::TestWithParam<download_case> {};

}  // namespace

TEST_P(Download, ResumesOrFailsWithItsCause) {
  const download_case& c = GetParam();
  test_support::temp_dir dir;
  const auto image = test_support::pattern_bytes(image_size, 3);
  test_support::write_bytes(dir.file("image"), image);
  nlohmann::json file = c.misbehaviour.is_null() ? nlohmann::json::object() : c.misbehaviour;
  file["file"] = dir.file("image");
  net_test::url_server server(dir, {{"/image", file}});

  net::download_settings settings;
  settings.stall_timeout_ms = 1000;
  settings.first_wait_ms = 10;
  auto input = std::make_unique<net::http_download>(server.url(c.path), settings);
  net::http_download& download = *input;
  image::byte_source stored(std::move(input));
  std::vector<std::uint8_t> got(image_size + 1);
  std::size_t at = 0;
  try {
    for (std::size_t n; (n = stored.read(got.data() + at, std::min<std::size_t>(65536, got.size() - at))) > 0;) {
      at += n;
      if (c.seal_at_once) stored.seal();
    }
    ASSERT_EQ(c.failure, nullptr) << "the download did not fail";
    got.resize(at);
    EXPECT_TRUE(got == image) << "the bytes differ";
    EXPECT_EQ(download.received(), image_size);
    EXPECT_EQ(download.resumes(), c.resumes);
  } catch (const coded_error& e) {
    ASSERT_NE(c.failure, nullptr) << e.what();
    EXPECT_TRUE(std::regex_match(e.what(), std::regex(c.failure))) << e.what();
    EXPECT_EQ(e.why(), reason::network);
  }
}

INSTANTIATE_TEST_SUITE_P(Misbehaviours, Download, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });
