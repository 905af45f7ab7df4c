#pragma once
// TExStringList: a string list whose lines are mail header lines "Name: value".
// A line's header name is its text before its first ":", unchanged; a line without
// ":" has none. Names compare as the list compares lines (case-insensitive, locale-aware).
#include <string_view>

#include "StringList.h"

class TExStringList : public TStringList {
 public:
  // Index of the first line (unsorted) or a line (sorted) whose header name equals Name, or -1.
  int IndexOfHeader(std::string_view Name) const;
  // Makes the list hold "Name: Value" in place of the line of that name, or at the end
  // when there is none; an empty Value removes that line instead.
  void SetHeader(std::string_view Name, std::string_view Value);
};
