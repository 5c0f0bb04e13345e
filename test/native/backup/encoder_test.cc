// Each encoder's output read back through the image decoders, and the sparse output's holes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "backup/backup_sink.h"
#include "image/image_source.h"
#include "image/range_checksum.h"
#include "test_support.h"

namespace {

// Data, zeros, data and a tail that is not a whole block: every kind of run.
std::vector<std::uint8_t> sample_image() {
  std::vector<std::uint8_t> bytes = test_support::pattern_bytes((5 << 20) + 700, 3);
  std::fill(bytes.begin() + (1 << 20), bytes.begin() + (4 << 20), 0);
  return bytes;
}

std::string sha256_of(const std::vector<std::uint8_t>& bytes) {
  image::range_checksum sum("sha256");
  sum.update(bytes.data(), bytes.size());
  return sum.hex_digest();
}

struct format_case {
  backup::output_format format;
  int level;
  image::format decoded_as;
  bool size_recorded;
};

void PrintTo(const format_case& c, std::ostream* out) { *out << backup::format_name(c.format); }

class Encoders : public ::testing::TestWithParam<format_case> {};

TEST_P(Encoders, OutputDecodesToTheImage) {
  const format_case c = GetParam();
  test_support::temp_dir dir;
  const std::string path = dir.file("out");
  const std::vector<std::uint8_t> image = sample_image();
  std::string sha256;
  {
    backup::staged_file output(path, false);
    const auto encoder = backup::make_encoder(c.format, c.level, image.size(), output);
    backup::backup_sink sink(*encoder, nullptr);
    for (std::size_t at = 0; at < image.size(); at += 1 << 20) {
      sink.take(image.data() + at, std::min<std::size_t>(1 << 20, image.size() - at));
    }
    encoder->finish();
    sha256 = output.finish();
    output.commit();
  }
  EXPECT_EQ(sha256, sha256_of(test_support::read_bytes(path)));

  const image::image_info info = image::inspect(path);
  EXPECT_EQ(info.format, c.decoded_as);
  if (c.size_recorded) EXPECT_EQ(info.size, image.size());
  std::vector<std::uint8_t> decoded(image.size() + 1);
  EXPECT_EQ(test_support::open_image(path)->read(decoded.data(), decoded.size()), image.size());
  decoded.pop_back();
  EXPECT_TRUE(decoded == image);
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, Encoders,
                         ::testing::Values(format_case{backup::output_format::raw, 0, image::format::raw, true},
                                           format_case{backup::output_format::zstd, 3, image::format::zstd, true},
                                           format_case{backup::output_format::xz, 0, image::format::xz, true},
                                           format_case{backup::output_format::gzip, 1, image::format::gzip, false}));

TEST(RawEncoder, LeavesTheZerosAsHoles) {
  test_support::temp_dir dir;
  const std::vector<std::uint8_t> image = sample_image();
  backup::staged_file output(dir.file("out.img"), false);
  const auto encoder = backup::make_encoder(backup::output_format::raw, 0, image.size(), output);
  backup::backup_sink(*encoder, nullptr).take(image.data(), image.size());
  output.finish();
  output.commit();
  struct stat status {};
  ASSERT_EQ(::stat(dir.file("out.img").c_str(), &status), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(status.st_size), image.size());
  EXPECT_LT(static_cast<std::uint64_t>(status.st_blocks) * 512, image.size() - (2 << 20)) << "the zeros take room";
}

}  // namespace
