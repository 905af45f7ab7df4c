#pragma once
// The send queue "mailqueue.txt": every message waiting to go out, one record each, with
// the outbox's six labels ("FromAddress", "FromName", "Subject", "ToAddress",
// "Attachments", "Body") followed by what sending it again exactly once takes: "MessageID",
// "Date", "InReplyTo", "References", "State", "Reply", "NextAttempt", "Attempts",
// "Recipients" (the state of each ToAddress entry) and "Outbox".
//
// A value that begins with a blank, a control character or "|" is stored with a "|" in
// front, so that a queued message goes out with the very text it was queued with (the
// outbox, which only shows what was sent, drops such leading characters).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "MessageStore.h"
#include "OutboxStore.h"

// Where a queued message stands.
enum class QueueState {
  Queued,     // waiting for its next attempt
  Sending,    // the end of its text is about to go out or went out
  Accepted,   // the server took it for every recipient; the outbox record comes next
  MaybeSent,  // the connection was lost after the end of its text: never sent again unasked
  Failed,     // refused for good; waits for the user
  Held,       // loaded into the compose fields for editing; not sent meanwhile
};

// Where one recipient stands.
enum class RecipientState { Pending, Accepted, Refused };

struct QueuedRecipient {
  RecipientState state = RecipientState::Pending;
  std::string reply;  // the server's last reply to its RCPT TO, if any
};

struct QueuedMessage {
  OutboxMessage Fields;  // the compose fields, as the outbox keeps them
  std::string MessageID;
  std::string Date;
  std::string InReplyTo;
  std::string References;
  QueueState State = QueueState::Queued;
  std::string Reply;                        // the last server reply or failure, for the user
  int64_t NextAttempt = 0;                  // seconds since 1970 (UTC); 0 when no attempt is planned
  int Attempts = 0;                         // attempts that failed for now since the last success
  std::vector<QueuedRecipient> Recipients;  // one per Fields.ToAddress entry
  // The outbox record: not written yet (-1), being written after the outbox held
  // OutboxBefore records, or written.
  int64_t OutboxBefore = -1;
  bool InOutbox = false;

  // Every recipient pending, as for a message queued afresh.
  void ResetRecipients();
  // The entries that still need the message.
  std::vector<std::string> PendingRecipients() const;
};

const char* QueueStateText(QueueState state);

class QueueStore : public MessageStore {
 public:
  enum Label {
    lbFromAddress,
    lbFromName,
    lbSubject,
    lbToAddress,
    lbAttachments,
    lbBody,
    lbMessageID,
    lbDate,
    lbInReplyTo,
    lbReferences,
    lbState,
    lbReply,
    lbNextAttempt,
    lbAttempts,
    lbRecipients,
    lbOutbox,
    kLabelCount
  };

  static constexpr const char* kFileName = "mailqueue.txt";

  explicit QueueStore(std::string path);

  // Record r as a message. What a damaged record lacks reads as empty; a state the program
  // does not know, or a record without a Message-ID, reads as Held, so that nothing unknown
  // is sent by itself.
  QueuedMessage At(int r) const;
  // The record of a Message-ID, or -1.
  int Find(std::string_view messageId) const;
  // Appends the message as a new record and writes it to the file before returning.
  void Add(const QueuedMessage& message);
  // Replaces record r by the message and writes the store before returning.
  void Put(int r, const QueuedMessage& message);

 private:
  std::vector<TLineList> valuesOf(const QueuedMessage& message) const;
};
