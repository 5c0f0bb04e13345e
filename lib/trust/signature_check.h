#pragma once
// The OpenPGP signature of a checksums file, checked with gpgv (the system's tool,
// through the shell seam) against the keys of one keyring and no other: the user's own
// keyrings play no part.
#include <optional>
#include <string>

namespace trust {

// Whether `text` holds a clearsigned message (a line "-----BEGIN PGP SIGNED MESSAGE-----").
bool is_clearsigned(const std::string& text);

// The text the signature covers: the signed part of a clearsigned `text`, or `text`
// itself when `detached_signature` signs it. `keyring` is a file of public keys as
// `gpg --export` writes them (binary or ASCII-armored). Throws coded_error (ESIGNATURE)
// "bad signature on <what>: <why>" unless gpgv finds a valid signature by a key of the
// keyring that is neither revoked nor expired, on a signature that has not expired.
std::string verified_text(const std::string& text, const std::optional<std::string>& detached_signature,
                          const std::string& keyring, const std::string& what);

}  // namespace trust
