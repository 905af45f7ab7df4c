#pragma once
// What a mail session tells the window, and asks of the user through it. A test can
// implement these without a widget.
#include <exception>
#include <string>

#include "Dialogs.h"

struct InboxMessage;

class SessionView {
 public:
  virtual ~SessionView() = default;

  // The one text area of the status bar; nothing once the window is being torn down.
  virtual void Status(const std::string& text) = 0;
  // The error box, for a failure that is shown while the session goes on.
  virtual void ShowFailure(const std::exception& failure) = 0;
  // The boxes and questions of the dialogs seam.
  virtual Dialogs& Ask() = 0;
};

class ReceiveView : public SessionView {
 public:
  // The hourglass while a message comes in.
  virtual void Busy(bool busy) = 0;
  // The Inbox page comes to the front.
  virtual void ShowInbox() = 0;
  // A session that stores many messages begins or ends: the list and the status bar may
  // be painted a few times a second meanwhile instead of after every message.
  virtual void Receiving(bool receiving) = 0;
  // The inbox store has a new last record (or was merged with another writer's changes).
  virtual void Stored() = 0;
  // The display fields show a retrieved message: its record with only the first lines of
  // a long body, which has bodyLines lines in all and is inbox record row (-1 when it is in
  // no record).
  virtual void ShowReceived(const InboxMessage& shown, size_t bodyLines, int row) = 0;
  // Whether the server of the session gave unique ids, which keeping mail there needs.
  virtual void UniqueIds(bool available) = 0;
};

// The send session reports nothing beyond what every session does: what was sent is
// recorded by the send queue, which knows what the server took.
class SendView : public SessionView {};
