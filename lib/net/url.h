#pragma once
// Telling URLs from paths, and the names around a URL.
#include <string>

namespace net {

// Whether `location` is an http:// or https:// URL rather than a path.
bool is_url(const std::string& location);

// The last segment of the URL's path (or of a path), percent-decoded: the name a
// checksums file lists.
std::string file_name_of(const std::string& location);

// The location with `suffix` added to its file name, before a URL's query:
// SHA256SUMS -> SHA256SUMS.gpg.
std::string with_suffix(const std::string& location, const std::string& suffix);

}  // namespace net
