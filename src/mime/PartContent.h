#pragma once
// What the walker of a message's part tree hands on about one part: where the part stands,
// and its content as it arrives.
#include <cstddef>
#include <string_view>

namespace mime {

// Where a part stands in the tree.
struct PartPlace {
  size_t depth = 0;            // multiparts around the part
  bool inAlternative = false;  // the innermost of them is a multipart/alternative
  int alternative = -1;        // the level of the innermost alternative around it, or -1
  bool hidden = false;         // an alternative to a part before it, or inside one
  bool inRelated = false;      // the innermost of them is a multipart/related
};

// One part's content: its lines with their line ends, in order. The line end before a
// delimiter belongs to the delimiter, so a receiver holds each line end back until the
// next line shows that the part goes on.
class PartContent {
 public:
  virtual ~PartContent() = default;
  virtual void Line(std::string_view line) = 0;
  // Whole lines, each with its line end, as if given one by one.
  virtual void Lines(std::string_view lines);
  // The part is complete; atMessageEnd: it ran to the end of the message, whose last line
  // end is its own.
  virtual void End(bool atMessageEnd) = 0;
};

}  // namespace mime
