#pragma once
// Proof Key for Code Exchange (RFC 7636, method S256), which Qt 6.4's code flow lacks: a
// code taken from the redirect is worth nothing without the verifier that only this
// sign-in knows.
#include <string>
#include <string_view>

namespace corvane::auth {

struct Pkce {
  std::string verifier;   // 43 characters of base64url from 32 random bytes
  std::string challenge;  // base64url of the verifier's SHA-256
  static Pkce Make();
};

// Base64 with the URL- and file-safe alphabet and no padding (RFC 4648 section 5).
std::string Base64Url(std::string_view bytes);
// A random value for state and verifiers: count random bytes as base64url.
std::string RandomToken(size_t count);
std::string Sha256(std::string_view bytes);

}  // namespace corvane::auth
