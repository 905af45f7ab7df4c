#include "SaslMechanism.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace corvane::sasl {

std::string CramMd5Response(const std::string& user, const std::string& password, std::string_view challenge) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_md5(), password.data(), static_cast<int>(password.size()),
       reinterpret_cast<const unsigned char*>(challenge.data()), challenge.size(), digest, &length);
  static const char hex[] = "0123456789abcdef";
  std::string answer = user + " ";
  for (unsigned int i = 0; i < length; ++i) {
    answer += hex[digest[i] >> 4];
    answer += hex[digest[i] & 15];
  }
  return answer;
}

namespace {

// A mechanism whose whole answer is its first message: sent at once where the protocol
// allows, else in reply to the server's empty challenge.
class ClientFirst : public Mechanism {
 public:
  std::optional<std::string> InitialResponse() const override { return message(); }
  std::string Respond(std::string_view challenge) override {
    if (!initialSent_) {
      initialSent_ = true;
      return message();
    }
    return afterFirst(challenge);
  }

 protected:
  virtual std::string message() const = 0;
  // A challenge after the whole answer went out: the server explains a refusal.
  virtual std::string afterFirst(std::string_view challenge) = 0;
};

class Plain : public ClientFirst {
 public:
  explicit Plain(const Credentials& c) : c_(c) {}
  std::string_view Name() const override { return "PLAIN"; }

 private:
  std::string message() const override { return std::string(1, '\0') + c_.user + '\0' + c_.secret; }
  std::string afterFirst(std::string_view) override { return message(); }
  const Credentials c_;
};

class Login : public Mechanism {
 public:
  explicit Login(const Credentials& c) : c_(c) {}
  std::string_view Name() const override { return "LOGIN"; }
  // The server asks for the name, then the password; its prompts are not to be relied on.
  std::string Respond(std::string_view) override { return step_++ == 0 ? c_.user : c_.secret; }

 private:
  const Credentials c_;
  int step_ = 0;
};

class CramMd5 : public Mechanism {
 public:
  explicit CramMd5(const Credentials& c) : c_(c) {}
  std::string_view Name() const override { return "CRAM-MD5"; }
  std::string Respond(std::string_view challenge) override { return CramMd5Response(c_.user, c_.secret, challenge); }

 private:
  const Credentials c_;
};

// Google's and Microsoft's token mechanism: after a refusal the server sends its error as
// a challenge and awaits an empty answer before the final reply.
class XOAuth2 : public ClientFirst {
 public:
  explicit XOAuth2(const Credentials& c) : c_(c) {}
  std::string_view Name() const override { return "XOAUTH2"; }

 private:
  std::string message() const override {
    return "user=" + c_.user +
           "\x01"
           "auth=Bearer " +
           c_.secret + "\x01\x01";
  }
  std::string afterFirst(std::string_view challenge) override {
    errorReport_ = std::string(challenge);
    return {};
  }
  const Credentials c_;
};

// RFC 7628: the GS2 header names the account; a failure challenge is answered with the
// single byte 0x01, after which the server sends its final refusal.
class OAuthBearer : public ClientFirst {
 public:
  explicit OAuthBearer(const Credentials& c) : c_(c) {}
  std::string_view Name() const override { return "OAUTHBEARER"; }

 private:
  // RFC 5801's saslname: "," and "=" are escaped.
  static std::string saslName(const std::string& user) {
    std::string out;
    for (const char c : user) out += c == ',' ? "=2C" : c == '=' ? "=3D" : std::string(1, c);
    return out;
  }
  std::string message() const override {
    return "n,a=" + saslName(c_.user) +
           ",\x01"
           "host=" +
           c_.host +
           "\x01"
           "port=" +
           std::to_string(c_.port) +
           "\x01"
           "auth=Bearer " +
           c_.secret + "\x01\x01";
  }
  std::string afterFirst(std::string_view challenge) override {
    errorReport_ = std::string(challenge);
    return "\x01";
  }
  const Credentials c_;
};

}  // namespace

std::unique_ptr<Mechanism> MakeMechanism(std::string_view name, const Credentials& credentials) {
  if (name == "PLAIN") return std::make_unique<Plain>(credentials);
  if (name == "LOGIN") return std::make_unique<Login>(credentials);
  if (name == "CRAM-MD5") return std::make_unique<CramMd5>(credentials);
  if (name == "XOAUTH2") return std::make_unique<XOAuth2>(credentials);
  if (name == "OAUTHBEARER") return std::make_unique<OAuthBearer>(credentials);
  return nullptr;
}

}  // namespace corvane::sasl
