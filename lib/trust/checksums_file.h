#pragma once
// The SHA-256 digests that distributions publish beside their images: a SHA256SUMS
// file in GNU form ("HEX  name", "HEX *name") or BSD form ("SHA256 (name) = HEX"), or
// a .sha256 file that holds one digest (alone, or on a line of either form).
#include <optional>
#include <string>

namespace trust {

// Whether `text` is a SHA-256 digest in hex (either case).
bool is_sha256_hex(const std::string& text);

// The digest `text` gives for the file `name`, in lower case: from the line naming it,
// or the only digest of a file that names none. None where it gives none for it.
std::optional<std::string> sha256_for(const std::string& text, const std::string& name);
// The digest only from a line naming `name`.
std::optional<std::string> named_sha256(const std::string& text, const std::string& name);

}  // namespace trust
