// The header list: any text as header lines, then a header set from the input. The list
// never crashes; a set header is found by its name and holds exactly "Name: value"; a
// header set to the empty value is gone when the name was there once.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "ZnExtstr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // The last line gives the name and value to set: "name\x01value".
  const size_t lastBreak = input.find_last_of('\n');
  const std::string_view last = lastBreak == std::string_view::npos ? input : input.substr(lastBreak + 1);
  const std::string_view lines = lastBreak == std::string_view::npos ? std::string_view() : input.substr(0, lastBreak);
  const size_t split = last.find('\x01');
  const std::string_view name = last.substr(0, split);
  const std::string_view value = split == std::string_view::npos ? std::string_view() : last.substr(split + 1);

  TExStringList list;
  list.SetText(lines);
  for (int i = 0; i < list.Count(); ++i) {
    const std::string& line = list[i];
    const size_t colon = line.find(':');
    if (colon != std::string::npos) FUZZ_CHECK(list.IndexOfHeader(line.substr(0, colon)) <= i);
  }
  // A name with ":" or a line break cannot be one header's name.
  if (name.find_first_of(":\r\n") != std::string_view::npos || value.find_first_of("\r\n") != std::string_view::npos)
    return 0;
  const int count = list.Count();
  const int at = list.IndexOfHeader(name);
  list.SetHeader(name, value);
  if (!value.empty()) {
    const int now = list.IndexOfHeader(name);
    FUZZ_CHECK(now >= 0);
    FUZZ_CHECK(list[now] == std::string(name) + ": " + std::string(value));
    FUZZ_CHECK(list.Count() == (at < 0 ? count + 1 : count));
    if (at >= 0) FUZZ_CHECK(now == at);
  } else {
    FUZZ_CHECK(list.Count() == (at < 0 ? count : count - 1));
  }
  return 0;
}
