// What discovery reads from servers it does not know: any bytes as an autoconfig document
// and as DNS answers (SRV, MX, addresses). Besides no crash, leak or hang: every server
// taken has a host and a port, and TLS; every name taken from a record is a host name.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Autoconfig.h"
#include "FuzzSupport.h"
#include "Resolver.h"

namespace {

void checkChoice(const TServerChoice& choice) {
  if (!choice.Found()) return;
  FUZZ_CHECK(choice.Port != 0);
  FUZZ_CHECK(choice.Security != secNone);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const corvane::setup::TAutoconfig config = corvane::setup::ParseAutoconfig(bytes, "a.b@x.test", "fuzz");
  checkChoice(config.Receive);
  checkChoice(config.Send);

  const auto srv = corvane::dns::ParseSrvAnswer(data, size);
  for (const auto& record : srv.Records) FUZZ_CHECK(record.Target.empty() || corvane::dns::IsHostName(record.Target));
  const auto mx = corvane::dns::ParseMxAnswer(data, size);
  for (size_t i = 1; i < mx.Records.size(); ++i) FUZZ_CHECK(mx.Records[i - 1].Preference <= mx.Records[i].Preference);
  const auto addresses = corvane::dns::ParseAddressAnswer(data, size);
  for (const TNetAddress& address : addresses.Addresses) FUZZ_CHECK(!address.Text().empty());
  return 0;
}
