// A login against any server: the input's lines are the server's replies to a SASL
// exchange ("+ " or "334 " a challenge, "+OK"/"235" success, else a refusal), run for
// every mechanism; then the input as an ID token. The exchange ends within its bound of
// rounds, succeeds only on a success reply and otherwise raises the refusal; every line the
// client sends is the command or base64; the ID token gives an account or nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "OAuthClient.h"
#include "SaslLogin.h"

using namespace corvane::sasl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> replies;
  for (size_t start = 0; start <= input.size();) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    replies.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  const Credentials credentials{"user@example.org", "secret-token", true, "mail.example.org", 995};
  for (const char* name : {"PLAIN", "LOGIN", "CRAM-MD5", "XOAUTH2", "OAUTHBEARER"}) {
    const auto mechanism = MakeMechanism(name, credentials);
    size_t next = 0;
    std::vector<std::string> sent;
    bool succeeded = false;
    const Exchange exchange = [&](const std::string& line) {
      sent.push_back(line);
      const std::string reply = next < replies.size() ? replies[next++] : "-ERR";
      if (reply.rfind("+ ", 0) == 0) return Reply{Reply::Challenge, reply.substr(2)};
      if (reply.rfind("334 ", 0) == 0) return Reply{Reply::Challenge, reply.substr(4)};
      const bool ok = reply.rfind("+OK", 0) == 0 || reply.rfind("235", 0) == 0;
      return Reply{ok ? Reply::Success : Reply::Refusal, reply};
    };
    try {
      Authenticate(*mechanism, credentials, 255, exchange);
      succeeded = true;
    } catch (const ELoginRefused& refused) {
      FUZZ_CHECK(refused.Bearer);
    }
    FUZZ_CHECK(!sent.empty() && sent.size() <= 10);
    FUZZ_CHECK(sent[0].rfind("AUTH " + std::string(name), 0) == 0);
    for (size_t i = 1; i < sent.size(); ++i)
      FUZZ_CHECK(sent[i] == "*" ||
                 sent[i].find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") ==
                     std::string::npos);
    if (succeeded) FUZZ_CHECK(replies[next - 1].rfind("+OK", 0) == 0 || replies[next - 1].rfind("235", 0) == 0);
  }
  const std::string account = corvane::auth::AccountOfIdToken(input);
  FUZZ_CHECK(account.size() <= input.size());
  return 0;
}
