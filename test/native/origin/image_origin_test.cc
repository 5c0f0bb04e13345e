// Where an image comes from and how it is checked: the digest a request publishes
// (given, or from a checksums file in either form, signed or not), and the cache's
// entries. The comparison at the end of the image: first_block_test.cc.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <regex>

#include "cache/image_cache.h"
#include "origin/image_origin.h"
#include "support/coded_error.h"
#include "support/shell.h"
#include "test_support.h"

namespace {

std::string sha256_of(const std::vector<std::uint8_t>& bytes) {
  image::range_checksum sum("sha256");
  sum.update(bytes.data(), bytes.size());
  return sum.hex_digest();
}

// An image, its digest, and a keyring of the signer (and one of a stranger) made with gpg.
class Checks : public ::testing::Test {
 protected:
  Checks() {
    image = test_support::pattern_bytes(300000, 8);
    test_support::write_bytes(dir.file("image.img"), image);
    digest = sha256_of(image);
  }

  void run(const std::string& command) {
    ASSERT_EQ(std::system(("cd " + shell::quote(dir.path()) + " && (" + command + ") >/dev/null 2>&1").c_str()), 0) << command;
  }
  // gpg homes "signer" and "stranger", each with one key; the signer's public key
  // exported binary (signer.gpg) and armored (signer.asc).
  void make_keys() {
    for (const char* who : {"signer", "stranger"}) {
      run(std::string("mkdir -m 700 ") + who + " && gpg --homedir " + who +
          " --batch --passphrase '' --quick-gen-key '" + who + " <" + who + "@example.org>' ed25519 sign never");
    }
    run("gpg --homedir signer --export > signer.gpg && gpg --homedir signer --armor --export > signer.asc");
  }
  std::string sign(const std::string& who, const std::string& how, const std::string& file, const std::string& out) {
    run("gpg --homedir " + who + " --batch --yes " + how + " -o " + out + " " + file);
    return dir.file(out);
  }

  origin::image_request request(const std::string& checksums_text) {
    test_support::write_file(dir.file("SHA256SUMS"), checksums_text);
    origin::image_request r;
    r.location = dir.file("image.img");
    r.checksums = dir.file("SHA256SUMS");
    return r;
  }

  // The error's text, or the digest where there is none.
  std::string outcome(const origin::image_request& r, reason expected_reason = reason::none) {
    try {
      return origin::expected_sha256(r);
    } catch (const coded_error& e) {
      EXPECT_EQ(e.why(), expected_reason) << e.what();
      return e.what();
    }
  }

  test_support::temp_dir dir;
  std::vector<std::uint8_t> image;
  std::string digest;
};

}  // namespace

TEST_F(Checks, TheChecksumsFileGivesTheImagesLineInEitherForm) {
  const std::string upper = std::regex_replace(digest, std::regex("a"), "A");
  const std::pair<std::string, std::string> files[] = {
      {"0000000000000000000000000000000000000000000000000000000000000000  other.img\n" + digest + "  image.img\n", digest},
      {upper + " *image.img\r\n", digest},
      {"SHA512 (image.img) = 00\nSHA256 (image.img) = " + digest + "\n", digest},
      {digest + "\n", digest},  // a .sha256 file holding only the digest
      {digest + "  other.img\n", "no checksum for image.img in " + dir.file("SHA256SUMS")},
  };
  for (const auto& [text, expected] : files) {
    EXPECT_EQ(outcome(request(text), reason::checksum), expected) << text;
  }
  origin::image_request missing = request("");
  missing.checksums = dir.file("none");
  EXPECT_EQ(outcome(missing, reason::checksum), "no checksums file at " + dir.file("none"));
}

TEST_F(Checks, ASignedChecksumsFileCountsOnlyWithAGoodSignatureFromTheKeyring) {
  make_keys();
  const std::string sums = digest + "  image.img\n";
  origin::image_request r = request(sums);
  r.keyring = dir.file("signer.gpg");
  const std::string bad = "bad signature on " + r.checksums + ": ";
  const std::string stranger = bad + "no key of the keyring made it, or it cannot be checked";

  EXPECT_EQ(outcome(r, reason::signature), "no signature found for " + r.checksums +
                                               " (neither clearsigned nor with a .gpg, .sign or .asc file next to it)");
  sign("signer", "--detach-sign", "SHA256SUMS", "SHA256SUMS.gpg");
  EXPECT_EQ(outcome(r), digest) << "detached, binary";
  r.keyring = dir.file("signer.asc");
  EXPECT_EQ(outcome(r), digest) << "an armored keyring";
  sign("stranger", "--detach-sign", "SHA256SUMS", "SHA256SUMS.gpg");
  EXPECT_EQ(outcome(r, reason::signature), stranger) << "another key";
  run("rm SHA256SUMS.gpg");
  sign("signer", "--armor --detach-sign", "SHA256SUMS", "SHA256SUMS.asc");
  EXPECT_EQ(outcome(r), digest) << "detached, armored";
  test_support::write_file(r.checksums, "0000000000000000000000000000000000000000000000000000000000000000  image.img\n");
  EXPECT_EQ(outcome(r, reason::signature), bad + "the signed text does not match the signature")
      << "the file changed after signing";

  run("rm SHA256SUMS.asc && printf '%s' " + shell::quote(sums) + " > plain");
  sign("signer", "--clearsign", "plain", "SHA256SUMS");
  EXPECT_EQ(outcome(r), digest) << "clearsigned";
  // A line added outside the signed part counts for nothing.
  test_support::write_file(r.checksums, "0000000000000000000000000000000000000000000000000000000000000000  image.img\n" +
                                            test_support::read_file(r.checksums));
  EXPECT_EQ(outcome(r), digest) << "only the signed text is read";
  sign("stranger", "--clearsign", "plain", "SHA256SUMS");
  EXPECT_EQ(outcome(r, reason::signature), stranger) << "clearsigned by another key";
}

// gpgv exits 0 on the first two; the origin refuses them before any job opens a drive.
TEST_F(Checks, SignaturesFromRevokedOrExpiredKeysAndExpiredSignaturesAreRefused) {
  origin::image_request r = request(digest + "  image.img\n");
  r.keyring = dir.file("keys.gpg");
  const std::string gpg = "gpg --homedir g --batch --yes --passphrase '' --faked-system-time 2020010";
  // gpg signs nothing with a revoked key: the revocation comes after its signature.
  run("mkdir -m 700 g && for k in revoked:never lapsed:2020-06-01 lasting:never; do " + gpg +
      "1T000000 --quick-gen-key ${k%:*} ed25519 sign ${k#*:} || exit 1; done && " + gpg +
      "2T000000 -u revoked --detach-sign -o revoked.sig SHA256SUMS && sed 's/^:-----/-----/' g/openpgp-revocs.d/$(gpg "
      "--homedir g --with-colons -k revoked | awk -F: '/^fpr/{print $10; exit}').rev | gpg --homedir g --batch --import "
      "&& gpg --homedir g --export > keys.gpg");
  const std::string sign = " --detach-sign -o SHA256SUMS.gpg SHA256SUMS";
  for (const auto& [how, why] : {std::pair<std::string, std::string>{"cp revoked.sig SHA256SUMS.gpg", "the signing key is revoked"},
                                 {gpg + "2T000000 -u lapsed" + sign, "the signing key has expired"},
                                 {gpg + "2T000000 -u lasting --default-sig-expire 1d" + sign, "the signature has expired"}}) {
    run(how);
    EXPECT_EQ(outcome(r, reason::signature), "bad signature on " + r.checksums + ": " + why) << how;
  }
}

TEST(ImageCache, KeepsWholeDownloadsAndDropsTheLeastRecentlyUsedPastItsLimit) {
  test_support::temp_dir dir;
  const cache::image_cache cache(dir.path(), 250);
  const auto keep = [&](const std::string& sha256, std::size_t size, const std::string& url) {
    auto filling = cache.start_filling();
    const auto bytes = test_support::pattern_bytes(size, 1);
    filling->observe(bytes.data(), bytes.size());
    filling->keep({sha256, url, "\"tag\"", "", 0, 0, {}});
  };
  const std::string a(64, 'a'), b(64, 'b'), c(64, 'c');
  keep(a, 100, "http://x/a");
  { auto abandoned = cache.start_filling(); }  // a download that did not end keeps nothing
  keep(b, 100, "http://x/b");
  ASSERT_TRUE(cache.find_sha256(a));
  EXPECT_EQ(cache.find_url("http://x/b")->sha256, b);
  EXPECT_EQ(cache.find_url("http://x/b")->etag, "\"tag\"");
  EXPECT_EQ(cache.entries().size(), 2u);

  // a used last: b goes when c needs the room.
  const timespec older[2] = {{1000, 0}, {1000, 0}};
  ::utimensat(AT_FDCWD, cache.find_sha256(b)->path.c_str(), older, 0);
  cache.mark_used(*cache.find_sha256(a));
  keep(c, 100, "http://x/c");
  EXPECT_TRUE(cache.find_sha256(a));
  EXPECT_FALSE(cache.find_sha256(b));
  EXPECT_TRUE(cache.find_sha256(c));

  keep(std::string(64, 'd'), 300, "http://x/d");
  EXPECT_FALSE(cache.find_sha256(std::string(64, 'd'))) << "larger than the whole cache";
  EXPECT_EQ(cache.clear(), 2u);
  EXPECT_TRUE(cache.entries().empty());
}

// Under sudo -E the folder may be a user's: nothing planted there is followed, and
// records (whose URLs may hold tokens) are private.
TEST(ImageCache, FollowsNoLinkKeepsRecordsPrivateAndRefusesAnotherUsersFolder) {
  test_support::temp_dir dir;
  const cache::image_cache cache(dir.file("flasher"), 1000);
  cache.require_own_folder();
  const std::string a(64, 'a'), b(64, 'b'), victim = dir.file("victim");
  test_support::write_file(victim, "root's");
  for (const std::string& planted : {a + ".json.partial", b + ".img"}) ::symlink(victim.c_str(), dir.file("flasher/" + planted).c_str());
  cache.start_filling()->keep({a, "http://x/a?token=t", "", "", 0, 0, {}});
  EXPECT_EQ(test_support::read_file(victim), "root's");
  struct stat record {};
  EXPECT_EQ(::stat(dir.file("flasher/" + a + ".json").c_str(), &record) == 0 ? record.st_mode & 0777 : 0, 0600u);
  EXPECT_FALSE(cache.find_sha256(b)) << "a link is no entry";
  if (::chown(dir.file("flasher").c_str(), ::geteuid() + 1, ::getegid()) != 0) GTEST_SKIP() << "chown needs root";
  EXPECT_THROW(cache.require_own_folder(), coded_error) << "another user's folder";
}
