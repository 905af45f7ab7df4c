// The settings reader: any bytes as the settings file. Reading never crashes and returns
// at most the longest value; writing a key keeps the other section's values and reads
// back as the one line that was written.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "IniFile.h"
#include "Streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // The input's last line, after a "\x01" that files seldom hold, is the value to write.
  std::string_view value;
  const size_t cut = input.rfind('\x01');
  if (cut != std::string_view::npos) {
    value = input.substr(cut + 1);
    input = input.substr(0, cut);
  }
  const std::string path = fuzz::ScratchFolder() + "corvane.ini";
  corvane::WriteFileAtomically(path, input);

  IniFile ini(path);
  const IniFile& before = ini;
  const char* keys[] = {"Host", "Port", "UserId", "Password", "Name", "Email"};
  std::string outbox[6];
  for (int i = 0; i < 6; ++i) {
    FUZZ_CHECK(before.ReadString("INBOX", keys[i], "").size() <= IniFile::kMaxValue);
    outbox[i] = before.ReadString("OUTBOX", keys[i], "\x02");
    FUZZ_CHECK(outbox[i].size() <= IniFile::kMaxValue);
  }

  ini.WriteString("INBOX", "Password", value);
  const IniFile after(path);
  const std::string line(value.substr(0, value.find_first_of(std::string_view("\r\n\0", 3))));
  FUZZ_CHECK(after.ReadString("INBOX", "Password", "\x02") == line.substr(0, IniFile::kMaxValue));
  for (int i = 0; i < 6; ++i) FUZZ_CHECK(after.ReadString("OUTBOX", keys[i], "\x02") == outbox[i]);
  return 0;
}
