#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// The shared secret of a session server: a client proves that it knows the secret by
// sending HMAC-SHA256(secret, nonce) for the nonce of the server's hello, so the secret
// itself never crosses the network.
namespace SessionAuth {

using Digest = std::array<uint8_t, 32>;

Digest sha256(std::string_view bytes);
Digest hmacSha256(std::string_view key, std::string_view message);

// The proof for a nonce (its 32 hex digits as sent): 64 lowercase hex digits.
std::string proof(std::string_view secret, std::string_view nonce);
// Compares two proofs in a time that does not depend on where they differ.
bool sameProof(std::string_view a, std::string_view b);

// The secret held by a secret file's content: the content without the line ends and
// blanks at its end, so an editor's final newline does not change it. Empty when
// nothing is left.
std::string secretFromFile(std::string_view content);

} // namespace SessionAuth
