// The SASL mechanisms against their published examples, the choice of mechanism over a
// plain and an encrypted connection, and the exchange with a server that refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Base64.h"
#include "SaslLogin.h"

using namespace corvane::sasl;
using Names = std::vector<std::string>;

namespace {

std::string coded(std::string_view bytes) {
  return mime::EncodeBase64(bytes);
}

TEST(SaslMechanisms, FirstMessagesMatchTheirReferences) {
  const Credentials user{"user@example.com", "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==", true, "server.example.com",
                         143};
  const Credentials someuser{"someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg", true, "", 0};
  const Credentials tim{"tim", "tanstaaftanstaaf", false, "", 0};
  // RFC 7628 section 4.1; Google's XOAUTH2 example; RFC 4616.
  EXPECT_EQ(*MakeMechanism("OAUTHBEARER", user)->InitialResponse(),
            "n,a=user@example.com,\x01host=server.example.com\x01port=143\x01"
            "auth=Bearer vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==\x01\x01");
  EXPECT_EQ(coded(*MakeMechanism("XOAUTH2", someuser)->InitialResponse()),
            "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJoZG1semRHRXVZMj"
            "l0Q2cBAQ==");
  EXPECT_EQ(*MakeMechanism("PLAIN", tim)->InitialResponse(), std::string("\0tim\0tanstaaftanstaaf", 21));
  // RFC 2195's example exchange.
  EXPECT_EQ(MakeMechanism("CRAM-MD5", tim)->Respond("<1896.697170952@postoffice.reston.mci.net>"),
            "tim b913a602c7eda7a495b4e6e7334d3890");
  const auto login = MakeMechanism("LOGIN", tim);
  EXPECT_EQ(login->Respond("Username:"), "tim");
  EXPECT_EQ(login->Respond("Password:"), "tanstaaftanstaaf");
  // The account name's "," and "=" would end the GS2 header early.
  EXPECT_EQ(MakeMechanism("OAUTHBEARER", {"a,b=c", "t", true, "h", 1})->InitialResponse()->substr(0, 13),
            "n,a=a=2Cb=3Dc");
  EXPECT_EQ(MakeMechanism("GSSAPI", tim), nullptr);
}

TEST(SaslChoice, StrongestOfferedMechanismThatTheConnectionPermits) {
  const Credentials password{"bob", "pw", false, "mail.test", 110};
  const Credentials token{"bob", "tok", true, "mail.test", 110};
  const Names passwords{"CRAM-MD5", "PLAIN", "LOGIN"};
  const Names tokens{"OAUTHBEARER", "XOAUTH2"};
  struct Case {
    const Credentials& credentials;
    Names offered;
    bool secure, plainAllowed;
    std::string chosen;  // or the start of the refusal after "Cannot log in as bob at mail.test: "
  };
  const Case cases[] = {
      {password, {"PLAIN", "LOGIN", "CRAM-MD5"}, false, false, "CRAM-MD5"},
      {password, {"PLAIN", "LOGIN"}, true, false, "PLAIN"},
      {password, {"LOGIN"}, true, false, "LOGIN"},
      {password, {"PLAIN", "LOGIN"}, false, true, "PLAIN"},
      {password, {"PLAIN", "LOGIN"}, false, false, "!without an encrypted connection"},
      {password, {"GSSAPI"}, true, false, "!the server offers none of CRAM-MD5, PLAIN and LOGIN"},
      {token, {"XOAUTH2", "OAUTHBEARER"}, true, false, "OAUTHBEARER"},
      {token, {"PLAIN", "XOAUTH2"}, true, false, "XOAUTH2"},
      {token, {"XOAUTH2"}, false, true, "!an OAuth 2.0 token goes only over an encrypted connection"},
  };
  for (const Case& c : cases) {
    const Names& candidates = c.credentials.bearer ? tokens : passwords;
    const LoginTerms terms{c.credentials, c.secure, c.plainAllowed};
    if (c.chosen[0] != '!') {
      EXPECT_EQ(ChooseMechanism(c.offered, candidates, terms), c.chosen);
      continue;
    }
    try {
      ChooseMechanism(c.offered, candidates, terms);
      ADD_FAILURE() << "no refusal for " << c.chosen;
    } catch (const Exception& refused) {
      EXPECT_EQ(refused.Message().rfind("Cannot log in as bob at mail.test: " + c.chosen.substr(1), 0), 0u)
          << refused.Message();
      EXPECT_EQ(refused.Message().find("pw"), std::string::npos);
    }
  }
}

// A server played from a list of replies; the client's lines are kept.
struct Script {
  std::vector<Reply> replies;
  Names sent;
  Exchange exchange() {
    return [this](const std::string& line) {
      sent.push_back(line);
      if (replies.empty()) return Reply{Reply::Refusal, "(no more replies)"};
      Reply next = replies.front();
      replies.erase(replies.begin());
      return next;
    };
  }
};

TEST(SaslExchange, InitialResponseOnlyWhereItFitsAndTheTokenRefusalIsReadToTheEnd) {
  const Credentials token{"bob@example.org", std::string(300, 't'), true, "mail.test", 995};
  const auto bearer = MakeMechanism("OAUTHBEARER", token);
  const std::string first = coded(*bearer->InitialResponse());
  const std::string error = R"({"status":"invalid_token","schemes":"bearer","scope":"mail"})";
  Script server{{{Reply::Challenge, ""}, {Reply::Challenge, coded(error)}, {Reply::Refusal, "-ERR [AUTH] refused"}},
                {}};
  try {
    Authenticate(*bearer, token, 255, server.exchange());
    ADD_FAILURE() << "accepted";
  } catch (const ELoginRefused& refused) {
    EXPECT_TRUE(refused.Bearer);
    EXPECT_EQ(refused.Message(), "Login as bob@example.org at mail.test refused: -ERR [AUTH] refused");
  }
  // Too long for POP3's 255 octets: the response waits for the empty challenge; the error
  // challenge gets the dummy byte.
  EXPECT_EQ(server.sent, (Names{"AUTH OAUTHBEARER", first, "AQ=="}));
  EXPECT_EQ(bearer->ErrorReport(), error);

  const Credentials password{"bob", "pw", false, "mail.test", 25};
  Script accepting{{{Reply::Success, "235 ok"}}, {}};
  Authenticate(*MakeMechanism("PLAIN", password), password, 512, accepting.exchange());
  EXPECT_EQ(accepting.sent, (Names{"AUTH PLAIN " + coded(std::string("\0bob\0pw", 7))}));

  // XOAUTH2's error challenge is answered with an empty line.
  Script xoauth{{{Reply::Challenge, coded("{}")}, {Reply::Refusal, "535 no"}}, {}};
  EXPECT_THROW(Authenticate(*MakeMechanism("XOAUTH2", token), token, 12288, xoauth.exchange()), ELoginRefused);
  EXPECT_EQ(xoauth.sent.back(), "");
}

TEST(SaslExchange, AServerThatOnlyEverChallengesIsCancelled) {
  const Credentials password{"bob", "pw", false, "mail.test", 25};
  Script endless;
  for (int i = 0; i < 20; ++i) endless.replies.push_back({Reply::Challenge, coded("more?")});
  EXPECT_THROW(Authenticate(*MakeMechanism("CRAM-MD5", password), password, 512, endless.exchange()), ELoginRefused);
  EXPECT_LT(endless.sent.size(), 12u);
  EXPECT_EQ(endless.sent.back(), "*");
}

}  // namespace
