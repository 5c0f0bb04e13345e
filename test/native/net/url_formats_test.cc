// Every format from a URL through the image pipeline, as the drives' jobs take it: the
// chunks hold the decoded image, and its size is known where the format records it in
// a place that range requests reach (the xz index, the zip directory).
#include <gtest/gtest.h>

#include <cstdlib>

#include "flash/image_pipeline.h"
#include "support/shell.h"
#include "url_server.h"

namespace {

struct url_format {
  const char* name;
  const char* compress;  // shell command from raw.img to the image file
  bool size_known;
};

const url_format formats[] = {
    {"raw", "cp raw.img image", true},
    {"gzip", "gzip -c raw.img > image", false},
    {"xz", "xz -T2 --block-size=256KiB -c raw.img > image", true},
    {"zstd", "zstd -q -c raw.img > image", false},  // its frames' sizes would take a request each
    {"bzip2", "bzip2 -c raw.img > image", false},
    {"zip", "echo note > readme.txt && zip -q image.zip readme.txt raw.img && mv image.zip image", true},
};

void PrintTo(const url_format& f, std::ostream* out) { *out << f.name; }

class UrlFormats : public ::testing::TestWithParam<url_format> {};

}  // namespace

TEST_P(UrlFormats, DecodeAsFromAFile) {
  const url_format& format = GetParam();
  test_support::temp_dir dir;
  const auto raw = test_support::pattern_bytes((1 << 20) + 1000, 4);
  test_support::write_bytes(dir.file("raw.img"), raw);
  ASSERT_EQ(std::system(("cd " + shell::quote(dir.path()) + " && " + format.compress).c_str()), 0);
  net_test::url_server server(dir, {{"/image", {{"file", dir.file("image")}}}});

  image_plan plan;
  plan.request.location = server.url("/image");
  plan.block_size = 64 << 10;
  image_pipeline pipeline(plan);
  EXPECT_EQ(pipeline.info().size.has_value(), format.size_known);
  if (format.size_known) EXPECT_EQ(*pipeline.info().size, raw.size());
  std::vector<std::uint8_t> decoded;
  while (image_chunk* chunk = pipeline.next()) {
    decoded.insert(decoded.end(), chunk->bytes.get(), chunk->bytes.get() + chunk->length);
    pipeline.done(chunk);
  }
  EXPECT_FALSE(pipeline.failure()) << pipeline.failure()->what();
  EXPECT_TRUE(decoded == raw) << decoded.size() << " bytes decoded";
}

INSTANTIATE_TEST_SUITE_P(Formats, UrlFormats, ::testing::ValuesIn(formats),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UrlProbes, ReadTheFileTheBodyCameFromNotWhereTheUrlLeadsNow) {
  test_support::temp_dir dir;
  const auto raw = test_support::pattern_bytes((1 << 20) + 1000, 4);
  test_support::write_bytes(dir.file("raw.img"), raw);
  test_support::write_bytes(dir.file("other.img"), test_support::pattern_bytes(3 << 20, 5));
  ASSERT_EQ(std::system(("cd " + shell::quote(dir.path()) + " && xz -k raw.img other.img").c_str()), 0);
  // The first request goes to one mirror, every later one to a mirror of another release.
  net_test::url_server server(dir, {{"/image", {{"file", dir.file("raw.img.xz")}, {"redirect", {"/mirror", "/other"}}}},
                                    {"/mirror", {{"file", dir.file("raw.img.xz")}}},
                                    {"/other", {{"file", dir.file("other.img.xz")}}}});
  image_plan plan;
  plan.request.location = server.url("/image");
  plan.block_size = 64 << 10;
  image_pipeline pipeline(plan);
  EXPECT_EQ(pipeline.info().size, std::optional<std::uint64_t>(raw.size()));
}
