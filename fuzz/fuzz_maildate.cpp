// The Date field reader: any bytes give an instant or nothing, never a crash; an instant
// written back as a Date field in UTC reads as the same instant.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

#include "FuzzSupport.h"
#include "HeaderEncoding.h"
#include "MailDate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto instant = mime::ParseMailDate(input);
  if (!instant) return 0;
  // Years 1900 to 9999, zones of at most 99:59 either way.
  FUZZ_CHECK(*instant >= -2209075200 - 360000 && *instant <= 253402300799 + 360000);
  const std::time_t t = static_cast<std::time_t>(*instant);
  std::tm utc{};
  if (!gmtime_r(&t, &utc) || utc.tm_year + 1900 > 9999 || utc.tm_year + 1900 < 1900) return 0;
  FUZZ_CHECK(mime::ParseMailDate(mime::DateText(utc, 0)) == instant);
  return 0;
}
