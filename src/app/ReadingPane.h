#pragma once
// The Inbox page's display fields, which hold the current message: sender, subject,
// header, body and attachment names. A body too long for the memo to lay out at once is
// shown in part; the rest is then read from the inbox record it came from.
#include <string>

#include "LineList.h"

struct InboxMessage;
class InboxStore;
struct TpopformControls;

class ReadingPane {
 public:
  explicit ReadingPane(TpopformControls& controls) : c_(controls) {}

  // A retrieved message: its record with only the first lines of a long body, which has
  // bodyLines lines in all and is inbox record row (-1 when it is in no record).
  void ShowReceived(const InboxMessage& shown, size_t bodyLines, int row);
  // The body and attachment names of record r; header, sender and subject stay.
  void ShowStored(const InboxStore& store, int r);
  // The current message whole, as it is to be stored.
  InboxMessage Current(const InboxStore& store) const;
  // The body on display, whole: its lines, or its text with CR LF between lines.
  TLineList BodyLines(const InboxStore& store) const;
  std::string BodyText(const InboxStore& store) const;
  // Fails when the body on display is shown in part and no record holds the rest.
  void RequireWholeBody() const;
  // Records may have moved: the one whose body is shown in part can no longer be found.
  void ForgetRecord();

 private:
  static constexpr int kWhole = -1;      // the memo holds the whole body
  static constexpr int kNotStored = -2;  // the memo holds part of a body that is in no record

  TpopformControls& c_;
  int cutRow_ = kWhole;  // else the inbox record whose body the memo shows in part
};
