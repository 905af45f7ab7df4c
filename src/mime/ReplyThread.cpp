#include "ReplyThread.h"

#include <cctype>
#include <string_view>

namespace mime {
namespace {

// "Name:" at the start of a line begins a field; any other line continues the one before,
// whether or not it kept its leading blank.
bool startsField(std::string_view line) {
  size_t n = 0;
  while (n < line.size() && (std::isalnum(static_cast<unsigned char>(line[n])) || line[n] == '-')) ++n;
  return n > 0 && n < line.size() && line[n] == ':';
}

bool named(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':') return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(line[i])) != std::tolower(static_cast<unsigned char>(name[i])))
      return false;
  return true;
}

// The value of the first field of that name, its lines joined by blanks.
std::string fieldValue(const std::vector<std::string>& lines, std::string_view name) {
  // An empty line ends the header.
  for (size_t i = 0; i < lines.size() && !lines[i].empty(); ++i) {
    if (!named(lines[i], name)) continue;
    std::string value = lines[i].substr(name.size() + 1);
    for (size_t j = i + 1; j < lines.size() && !lines[j].empty() && !startsField(lines[j]); ++j)
      value += " " + lines[j];
    return value;
  }
  return {};
}

// The "<...>" ids of a value, in order.
std::vector<std::string> ids(std::string_view value) {
  std::vector<std::string> found;
  for (size_t open = value.find('<'); open != std::string_view::npos; open = value.find('<', open + 1)) {
    const size_t close = value.find('>', open);
    if (close == std::string_view::npos) break;
    const std::string_view id = value.substr(open, close - open + 1);
    bool clean = id.size() > 2;
    for (unsigned char c : id.substr(1, id.size() - 2)) clean = clean && c > ' ' && c < 0x7F && c != '<';
    if (clean) found.emplace_back(id);
  }
  return found;
}

}  // namespace

ReplyThread ThreadOfReply(const std::vector<std::string>& headerLines) {
  const std::vector<std::string> own = ids(fieldValue(headerLines, "Message-ID"));
  if (own.empty()) return {};
  std::vector<std::string> thread = ids(fieldValue(headerLines, "References"));
  // Without References, a single id in In-Reply-To still names the parent.
  if (thread.empty()) {
    const std::vector<std::string> parent = ids(fieldValue(headerLines, "In-Reply-To"));
    if (parent.size() == 1) thread = parent;
  }
  thread.push_back(own.front());
  ReplyThread reply{own.front(), {}};
  for (const std::string& id : thread) reply.references += (reply.references.empty() ? "" : " ") + id;
  return reply;
}

}  // namespace mime
