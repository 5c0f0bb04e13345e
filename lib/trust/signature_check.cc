#include "trust/signature_check.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "support/coded_error.h"
#include "support/shell.h"

namespace trust {

namespace {

const char* const clearsign_header = "-----BEGIN PGP SIGNED MESSAGE-----";
const char* const armored_key_header = "-----BEGIN PGP PUBLIC KEY BLOCK-----";

// A private folder for gpgv's inputs and home, removed with everything in it.
class work_folder {
 public:
  work_folder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/flasher-gpgv-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw coded_error(reason::signature, "failed to check the signature: no temporary folder", errno);
    }
    path_ = pattern;
  }
  ~work_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& name, const std::string& contents) const {
    const std::string path = path_ + "/" + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }
  std::string read(const std::string& name) const {
    std::ifstream file(path_ + "/" + name, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string file_contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw coded_error(reason::signature, "failed to read the keyring " + path);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

// The keyring as gpgv reads it: an armored one is turned into binary first.
std::string binary_keyring(const work_folder& folder, const std::string& keyring) {
  const std::string keys = file_contents(keyring);
  const std::string absolute = std::filesystem::absolute(keyring).string();
  if (keys.find(armored_key_header) == std::string::npos) return absolute;
  const std::string binary = folder.path() + "/keyring.gpg";
  const std::string command = "gpg --batch --homedir " + shell::quote(folder.path()) + " --dearmor --output " +
                              shell::quote(binary) + " " + shell::quote(absolute) + " >/dev/null 2>&1";
  if (shell::run(command) != 0) throw coded_error(reason::signature, "failed to read the keyring " + keyring);
  return binary;
}

// gpgv exits 0 for a good signature from a revoked or expired key, so its verdict is
// read from its status lines instead: one VALIDSIG and none of the refusals. VALIDSIG
// only follows a signature whose key is in the keyring, the only keyring gpgv reads.
void require_valid(const std::string& status_lines, const std::string& what) {
  static const std::pair<const char*, const char*> refusals[] = {
      {"REVKEYSIG", "the signing key is revoked"},
      {"EXPKEYSIG", "the signing key has expired"},
      {"EXPSIG", "the signature has expired"},
      {"BADSIG", "the signed text does not match the signature"},
      {"ERRSIG", "no key of the keyring made it, or it cannot be checked"},
  };
  bool valid = false;
  std::istringstream lines(status_lines);
  std::string prefix, keyword;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    if (!(words >> prefix >> keyword) || prefix != "[GNUPG:]") continue;
    for (const auto& [refused, why] : refusals) {
      if (keyword == refused) throw coded_error(reason::signature, "bad signature on " + what + ": " + why);
    }
    valid = valid || keyword == "VALIDSIG";
  }
  if (!valid) throw coded_error(reason::signature, "bad signature on " + what + ": no valid signature from a key of the keyring");
}

}  // namespace

bool is_clearsigned(const std::string& text) {
  const std::size_t at = text.find(clearsign_header);
  return at != std::string::npos && (at == 0 || text[at - 1] == '\n');
}

std::string verified_text(const std::string& text, const std::optional<std::string>& detached_signature,
                          const std::string& keyring, const std::string& what) {
  work_folder folder;
  const std::string keys = binary_keyring(folder, keyring);
  // gpgv's home is the empty work folder: only `keyring` holds trusted keys.
  std::string command = "gpgv --status-fd 1 --homedir " + shell::quote(folder.path()) + " --keyring " + shell::quote(keys);
  if (detached_signature) {
    command += " " + shell::quote(folder.file("signature", *detached_signature)) + " " +
               shell::quote(folder.file("signed", text));
  } else {
    command += " --output " + shell::quote(folder.path() + "/covered") + " " + shell::quote(folder.file("signed", text));
  }
  const shell::outcome checked = shell::run_capturing(command + " 2>/dev/null", {});
  if (WIFEXITED(checked.status) && WEXITSTATUS(checked.status) == 127) {
    throw coded_error(reason::signature, "failed to check the signature on " + what + ": gpgv is not installed");
  }
  require_valid(checked.output, what);
  if (checked.status != 0) throw coded_error(reason::signature, "bad signature on " + what);
  return detached_signature ? text : folder.read("covered");
}

}  // namespace trust
