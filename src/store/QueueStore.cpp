#include "QueueStore.h"

#include <charconv>
#include <utility>

#include "Exceptions.h"

namespace {

constexpr const char* kLabels[QueueStore::kLabelCount] = {
    "FromAddress", "FromName",   "Subject", "ToAddress", "Attachments", "Body",     "MessageID",  "Date",
    "InReplyTo",   "References", "State",   "Reply",     "NextAttempt", "Attempts", "Recipients", "Outbox"};

constexpr std::pair<QueueState, const char*> kStates[] = {
    {QueueState::Queued, "queued"},     {QueueState::Sending, "sending"},
    {QueueState::Accepted, "accepted"}, {QueueState::MaybeSent, "may have been sent"},
    {QueueState::Failed, "failed"},     {QueueState::Held, "held"},
};

constexpr std::pair<RecipientState, std::string_view> kRecipientStates[] = {
    {RecipientState::Pending, "pending"}, {RecipientState::Accepted, "accepted"}, {RecipientState::Refused, "refused"}};

// What the tree would lose (leading blanks and controls) is kept behind a "|".
std::string escaped(std::string_view value) {
  if (value.empty() || (static_cast<unsigned char>(value[0]) > ' ' && value[0] != '|')) return std::string(value);
  return "|" + std::string(value);
}

std::string unescaped(std::string_view value) {
  if (!value.empty() && value[0] == '|') value.remove_prefix(1);
  return std::string(value);
}

TLineList escapedLines(const std::vector<std::string>& values) {
  TLineList lines;
  for (const std::string& value : values) lines.Add(escaped(value));
  return lines;
}

int64_t number(std::string_view text) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() ? value : 0;
}

std::string recipientText(const QueuedRecipient& recipient) {
  for (const auto& [state, text] : kRecipientStates)
    if (state == recipient.state)
      return recipient.reply.empty() ? std::string(text) : std::string(text) + " " + recipient.reply;
  return "pending";
}

QueuedRecipient recipientOf(std::string_view text) {
  const std::string_view word = text.substr(0, text.find(' '));
  QueuedRecipient recipient;
  for (const auto& [state, name] : kRecipientStates)
    if (word == name) recipient.state = state;
  if (word.size() < text.size()) recipient.reply = std::string(text.substr(word.size() + 1));
  return recipient;
}

std::string outboxText(const QueuedMessage& message) {
  if (message.InOutbox) return "recorded";
  return message.OutboxBefore >= 0 ? "pending " + std::to_string(message.OutboxBefore) : std::string();
}

}  // namespace

const char* QueueStateText(QueueState state) {
  for (const auto& [s, text] : kStates)
    if (s == state) return text;
  return "held";
}

void QueuedMessage::ResetRecipients() {
  Recipients.assign(Fields.ToAddress.size(), QueuedRecipient{});
}

std::vector<std::string> QueuedMessage::PendingRecipients() const {
  std::vector<std::string> pending;
  for (size_t i = 0; i < Fields.ToAddress.size(); ++i)
    if (i >= Recipients.size() || Recipients[i].state == RecipientState::Pending)
      pending.push_back(Fields.ToAddress[i]);
  return pending;
}

QueueStore::QueueStore(std::string path)
    : MessageStore(std::move(path), "Send Queue", std::vector<std::string>(std::begin(kLabels), std::end(kLabels)),
                   // The row, and what sending it again needs first: its identity, its state and
                   // where its outbox record stands.
                   RowLabels{lbFromAddress, lbSubject, true, -1, 1u << lbMessageID | 1u << lbState | 1u << lbOutbox}) {}

QueuedMessage QueueStore::At(int r) const {
  const auto values = [&](int label) {
    std::vector<std::string> out;
    try {
      for (const std::string& value : Values(r, label)) out.push_back(unescaped(value));
    } catch (const EListError&) {
      // A record a crash or another program cut short lacks the label: nothing there.
    }
    return out;
  };
  const auto value = [&](int label) {
    std::vector<std::string> all = values(label);
    return all.empty() ? std::string() : std::move(all.front());
  };
  QueuedMessage m;
  m.Fields = {value(lbFromAddress), value(lbFromName),     value(lbSubject),
              values(lbToAddress),  values(lbAttachments), values(lbBody)};
  m.MessageID = value(lbMessageID);
  m.Date = value(lbDate);
  m.InReplyTo = value(lbInReplyTo);
  m.References = value(lbReferences);
  m.State = QueueState::Held;
  for (const auto& [state, text] : kStates)
    if (value(lbState) == text) m.State = state;
  // Without its identity a message cannot be sent again as the same message.
  if (m.MessageID.empty()) m.State = QueueState::Held;
  m.Reply = value(lbReply);
  m.NextAttempt = number(value(lbNextAttempt));
  m.Attempts = static_cast<int>(number(value(lbAttempts)));
  for (const std::string& text : values(lbRecipients)) m.Recipients.push_back(recipientOf(text));
  m.Recipients.resize(m.Fields.ToAddress.size());
  const std::string outbox = value(lbOutbox);
  m.InOutbox = outbox == "recorded";
  if (outbox.starts_with("pending ")) m.OutboxBefore = number(std::string_view(outbox).substr(8));
  return m;
}

int QueueStore::Find(std::string_view messageId) const {
  for (int r = 0; r < Count(); ++r) {
    std::string id;
    try {
      if (FirstValue(r, lbMessageID, id) && unescaped(id) == messageId) return r;
    } catch (const EListError&) {
      // A record without its labels has no Message-ID.
    }
  }
  return -1;
}

std::vector<TLineList> QueueStore::valuesOf(const QueuedMessage& m) const {
  std::vector<std::string> recipients;
  for (const QueuedRecipient& recipient : m.Recipients) recipients.push_back(recipientText(recipient));
  return {escapedLines({m.Fields.FromAddress}),
          escapedLines({m.Fields.FromName}),
          escapedLines({m.Fields.Subject}),
          escapedLines(m.Fields.ToAddress),
          escapedLines(m.Fields.Attachments),
          escapedLines(m.Fields.Body),
          escapedLines({m.MessageID}),
          escapedLines({m.Date}),
          escapedLines({m.InReplyTo}),
          escapedLines({m.References}),
          escapedLines({QueueStateText(m.State)}),
          escapedLines({m.Reply}),
          escapedLines({std::to_string(m.NextAttempt)}),
          escapedLines({std::to_string(m.Attempts)}),
          escapedLines(recipients),
          escapedLines({outboxText(m)})};
}

void QueueStore::Add(const QueuedMessage& message) {
  AddRecord(valuesOf(message));
  SaveAdded();
}

void QueueStore::Put(int r, const QueuedMessage& message) {
  ReplaceRecord(r, valuesOf(message));
}
