#pragma once
// Small helpers the whole-program bench drivers share: their command-line options and the
// memory figures they report.
#include <cstring>
#include <fstream>
#include <string>

namespace bench {

// VmRSS or VmHWM of this process in KiB, or -1.
inline long memoryKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field) + 1));
  }
  return -1;
}

// The value after "name" on the command line, or fallback.
inline std::string argument(int argc, char** argv, const std::string& name, const std::string& fallback = "") {
  for (int i = 1; i + 1 < argc; ++i) {
    if (name == argv[i]) return argv[i + 1];
  }
  return fallback;
}

}  // namespace bench
