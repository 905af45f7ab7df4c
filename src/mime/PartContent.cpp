#include "PartContent.h"

namespace mime {

void PartContent::Lines(std::string_view lines) {
  while (!lines.empty()) {
    const size_t lf = lines.find('\n');
    const size_t end = lf == std::string_view::npos ? lines.size() : lf + 1;
    Line(lines.substr(0, end));
    lines.remove_prefix(end);
  }
}

}  // namespace mime
