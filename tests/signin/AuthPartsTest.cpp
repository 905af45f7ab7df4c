// The parts of the sign-in without a server: PKCE against RFC 7636's example, the ID
// token's account, the provider presets, and the secret store in whichever place this run
// has (the test keyring, or the private file without one).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QProcess>
#include <QTemporaryDir>

#include "OAuthClient.h"
#include "Pkce.h"
#include "SecretStore.h"

using namespace corvane::auth;

namespace {

OAuthSettings with(const char* provider) {
  OAuthSettings settings;
  settings.provider = provider;
  settings.clientId = "id";
  return settings;
}

bool keyringExpected() {
  return qgetenv("CORVANE_TEST_KEYRING") == "1";
}

TEST(AuthParts, PkceIdTokenAndPresets) {
  // RFC 7636 appendix B.
  EXPECT_EQ(Base64Url(Sha256("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk")),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  const Pkce a = Pkce::Make(), b = Pkce::Make();
  EXPECT_EQ(a.verifier.size(), 43u);
  EXPECT_NE(a.verifier, b.verifier);
  EXPECT_EQ(a.challenge, Base64Url(Sha256(a.verifier)));

  const std::string claims = Base64Url(R"({"sub":"1","email":"ann@example.org"})");
  EXPECT_EQ(AccountOfIdToken("e30." + claims + ".sig"), "ann@example.org");
  EXPECT_EQ(AccountOfIdToken("e30." + Base64Url(R"({"preferred_username":"bo@x"})") + "."), "bo@x");
  EXPECT_EQ(AccountOfIdToken("not a token"), "");

  const OAuthSettings google = Resolved(with("Google"));
  EXPECT_EQ(google.tokenUrl, "https://oauth2.googleapis.com/token");
  EXPECT_EQ(google.mechanism, "XOAUTH2");
  OAuthSettings tenant = with("Microsoft");
  tenant.tokenUrl = "https://login.microsoftonline.com/contoso/oauth2/v2.0/token";
  EXPECT_EQ(Resolved(tenant).tokenUrl, tenant.tokenUrl);
  EXPECT_EQ(Resolved(with("Custom")).mechanism, "OAUTHBEARER");
  EXPECT_EQ(MissingForSignIn(Resolved(with("Custom"))), "OAuthTokenUrl");
  OAuthSettings plain = with("Custom");
  plain.authUrl = "http://login.example.org/authorize";
  plain.tokenUrl = "https://login.example.org/token";
  EXPECT_EQ(MissingForSignIn(plain), plain.authUrl);
  plain.authUrl = "http://localhost.example.org/authorize";  // a look-alike of this machine
  EXPECT_EQ(MissingForSignIn(plain), plain.authUrl);
  plain.authUrl = "http://[::1]:8080/authorize";
  EXPECT_EQ(MissingForSignIn(plain), "");
  EXPECT_EQ(MissingForSignIn(Resolved(with("Google"))), "");
}

TEST(AuthParts, SecretsGoToTheKeyringOrElseToAPrivateFileWithOneNotice) {
  QTemporaryDir dir;
  const std::string file = dir.path().toStdString() + "/mailsecrets.txt";
  SecretStore store(file);
  std::vector<std::string> notices;
  store.OnNoKeyring = [&](const std::string& text) { notices.push_back(text); };
  const std::string key = "test " + dir.path().toStdString();
  store.Write(key, "s3cret\twith tab\nand line");
  EXPECT_EQ(store.Read(key).value_or("(none)"), "s3cret\twith tab\nand line");
  store.Write(key + " 2", "two");
  EXPECT_EQ(store.KeyringReachable(), keyringExpected());
  struct stat info {};
  if (keyringExpected()) {
    EXPECT_TRUE(notices.empty());
    EXPECT_NE(::stat(file.c_str(), &info), 0);
    QProcess lookup;
    lookup.start("secret-tool", {"lookup", "server", SecretStore::kService, "user", QString::fromStdString(key)});
    ASSERT_TRUE(lookup.waitForFinished(10000));
    EXPECT_EQ(lookup.readAllStandardOutput().toStdString(), "s3cret\twith tab\nand line");
  } else {
    EXPECT_EQ(notices.size(), 1u);
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
  }
  store.Remove(key);
  EXPECT_FALSE(store.Read(key).has_value());
  EXPECT_EQ(store.Read(key + " 2").value_or("(none)"), "two");
  store.Remove(key + " 2");
}

}  // namespace
