#include "Pkce.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "Base64.h"
#include "Exceptions.h"

namespace corvane::auth {

std::string Base64Url(std::string_view bytes) {
  std::string text = mime::EncodeBase64(bytes);
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return text;
}

std::string RandomToken(size_t count) {
  std::string bytes(count, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1)
    throw Exception("No random numbers for the sign-in");
  return Base64Url(bytes);
}

std::string Sha256(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<const char*>(digest), length);
}

Pkce Pkce::Make() {
  Pkce pkce;
  pkce.verifier = RandomToken(32);
  pkce.challenge = Base64Url(Sha256(pkce.verifier));
  return pkce;
}

}  // namespace corvane::auth
