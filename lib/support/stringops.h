#pragma once
// Byte-string operations. Where a byte is compared with a number it is taken as a
// signed 8-bit value, so bytes 0x80..0xFF count as negative.
#include <string>
#include <vector>

namespace stringops {

bool includes(std::string text, std::string part);
std::string remove_non_printable(std::string text);
std::string remove_nulls(std::string text);
std::string lowercase(std::string text);
std::string uppercase(std::string text);
std::string replace(std::string text, char from, char to);
std::string remove(std::string text, char character);
std::string get_common(std::string a, std::string b);
// Without the spaces, tabs and line ends at either end.
std::string trimmed(const std::string& text);

// Removes every leading and trailing occurrence of `character`.
std::string remove_heals(std::string text, char character);
// The same, comparing bytes as signed values with `code`; `verbose` prints three
// diagnostic lines to standard output.
std::string remove_heals(std::string text, int code, bool verbose);

// The non-empty runs between separator bytes.
std::vector<std::string> split(std::string text, int separator);
// Tokens between occurrences of `separator`; empty tokens are dropped except the last.
std::vector<std::string> split(std::string text, std::string separator);
// Tokens between occurrences of `separator`, empty ones kept; the search resumes one
// byte after the start of each match.
std::vector<std::string> split(std::string text, const char* separator);

}  // namespace stringops
