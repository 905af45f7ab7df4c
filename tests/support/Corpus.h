#pragma once
// The messages from the wild in tests/data/corpus: each NAME.eml beside what reading it
// must give.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace corpus {

inline std::filesystem::path Folder() {
  return std::filesystem::path(CORVANE_TEST_DATA) / "corpus";
}

// The messages' names without ".eml", in order.
inline std::vector<std::string> Names() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(Folder()))
    if (entry.path().extension() == ".eml") names.push_back(entry.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace corpus
