#include "SendQueue.h"

#include <algorithm>

#include "Exceptions.h"
#include "HeaderEncoding.h"
#include "OutboxStore.h"
#include "SmtpReply.h"
#include "SysUtils.h"
#include "Znsmtp.h"

namespace {

constexpr int64_t kRetryMinutes[] = {1, 2, 5, 10, 30};

std::string inMinutes(int64_t seconds) {
  const int64_t minutes = std::max<int64_t>(1, (seconds + 59) / 60);
  return minutes == 1 ? "1 minute" : std::to_string(minutes) + " minutes";
}

std::string joined(const std::vector<std::string>& entries) {
  std::string text;
  for (const std::string& entry : entries) text += (text.empty() ? "" : ", ") + entry;
  return text;
}

}  // namespace

// While it lives an attempt is under way; background tells the queue's own from the user's.
class SendQueue::Running {
 public:
  Running(SendQueue& queue, bool background) : queue_(queue), background_(background) {
    queue_.running_ = true;
    queue_.background_ = background;
  }
  ~Running() {
    queue_.running_ = false;
    queue_.background_ = false;
    queue_.rearm();
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  SendQueue& queue_;
  bool background_;
};

SendQueue::SendQueue(QueueStore& store, SendSession& session, TZnSMTP& smtp, Host host)
    : store_(store), session_(session), smtp_(smtp), host_(std::move(host)) {}

int64_t SendQueue::RetryDelay(int attempts) {
  return kRetryMinutes[std::clamp(attempts, 1, 5) - 1] * 60;
}

void SendQueue::step(const std::string& name) {
  if (host_.changed) host_.changed();
  if (StepHook) StepHook(name);
}

void SendQueue::rearm() {
  if (!closed_ && host_.wake) host_.wake(NextDue());
}

// ---- start-up ----------------------------------------------------------------------------

void SendQueue::Load() {
  const MessageStore::LoadReport report = store_.Load();
  for (int r = 0; r < store_.Count();) {
    QueuedMessage m = store_.At(r);
    const bool interrupted = m.State == QueueState::Sending;
    if (interrupted) {
      m.State = QueueState::MaybeSent;
      m.NextAttempt = 0;
      m.Reply = "Corvane ended while the end of the message was going out: it may have been sent";
    }
    const bool unrecorded = !m.InOutbox && (m.OutboxBefore >= 0 || m.State == QueueState::Accepted);
    if (unrecorded) recordSent(m);
    if (m.State == QueueState::Accepted) {
      store_.Delete(r);
      step("removed");
      continue;
    }
    if (interrupted || unrecorded) {
      store_.Put(r, m);
      step("recovered");
    }
    ++r;
  }
  if (host_.changed) host_.changed();
  rearm();
  if (!report.failure.empty()) throw Exception(report.Message());
}

// ---- what the user does ----------------------------------------------------------------------

namespace {

// A new message gets its identity once: every later attempt is the same message.
void identify(QueuedMessage& message, int64_t now) {
  if (message.MessageID.empty()) message.MessageID = mime::NewMessageId(message.Fields.FromAddress);
  if (message.Date.empty()) message.Date = mime::DateText(static_cast<std::time_t>(now));
  if (message.Recipients.size() != message.Fields.ToAddress.size()) message.ResetRecipients();
}

}  // namespace

void SendQueue::SendNow(QueuedMessage message) {
  // A second click during the user's own send does nothing, as it always did.
  if (running_ && !background_) return;
  identify(message, host_.now());
  const int held = store_.Find(message.MessageID);
  if (held >= 0) message.InOutbox = store_.At(held).InOutbox;
  if (running_ || smtp_.Busy()) {
    message.State = QueueState::Queued;
    message.NextAttempt = host_.now();
    held >= 0 ? put(message) : (store_.Add(message), step("queued"));
    host_.status("Another send is under way: the message waits in the queue and follows it");
    return;
  }
  SendOutcome outcome;
  {
    Running run(*this, false);
    // An edited message has a record: a crash after its end went out must not leave it
    // looking unsent.
    const std::string id = message.MessageID;
    outcome = held >= 0 ? session_.Send(message, [this, id] { markSending(id); }) : session_.Send(message);
    // A held record always learns the outcome: one left "sending" would read as maybe sent.
    if (outcome.kind != SendOutcome::Permanent || held >= 0) settle(message, outcome, held >= 0);
  }
  if (outcome.kind != SendOutcome::Permanent || session_.Closing()) return;
  if (outcome.failure) std::rethrow_exception(outcome.failure);
  throw Exception(outcome.reply);
}

void SendQueue::SendLater(QueuedMessage message) {
  // What could never go out is refused now, while the user is there to complete it.
  if (message.Fields.FromAddress.empty() || message.Fields.ToAddress.empty())
    throw Exception("Incomplete Header: the message needs a sender address (Connect page) and a recipient");
  identify(message, host_.now());
  message.State = QueueState::Queued;
  message.NextAttempt = host_.now() + RetryDelay(1);
  const int held = store_.Find(message.MessageID);
  if (held >= 0) {
    message.InOutbox = store_.At(held).InOutbox;
    put(message);
  } else {
    store_.Add(message);
    step("queued");
  }
  host_.status("Queued: the message goes out at the next connect or in " + inMinutes(RetryDelay(1)));
  rearm();
}

QueuedMessage SendQueue::userChoice(int r) {
  if (r < 0 || r >= store_.Count()) throw EListError(corvane::Format("List index out of bounds (%d)", r));
  QueuedMessage m = store_.At(r);
  if (!sendingId_.empty() && m.MessageID == sendingId_)
    throw Exception("The message is being sent right now; try again when the status bar says it is done");
  // A record that lost its Message-ID (a damaged file) gets one, so the queue can find it.
  if (m.MessageID.empty()) {
    identify(m, host_.now());
    store_.Put(r, m);
  }
  return m;
}

void SendQueue::Resend(int r) {
  QueuedMessage m = userChoice(r);
  for (QueuedRecipient& recipient : m.Recipients)
    if (recipient.state == RecipientState::Refused) recipient.state = RecipientState::Pending;
  m.State = QueueState::Queued;
  m.Attempts = 0;
  m.NextAttempt = host_.now();
  put(m);
  RetryDue();
}

void SendQueue::Remove(int r) {
  userChoice(r);
  store_.Delete(r);
  step("removed");
  rearm();
}

QueuedMessage SendQueue::Edit(int r) {
  QueuedMessage m = userChoice(r);
  m.State = QueueState::Held;
  m.NextAttempt = 0;
  put(m);
  // Those that have the message are not sent the edited one again.
  QueuedMessage edited = m;
  edited.Fields.ToAddress.clear();
  for (size_t i = 0; i < m.Recipients.size(); ++i)
    if (m.Recipients[i].state != RecipientState::Accepted) edited.Fields.ToAddress.push_back(m.Fields.ToAddress[i]);
  edited.ResetRecipients();
  rearm();
  return edited;
}

// ---- attempts of the queue --------------------------------------------------------------------

int64_t SendQueue::NextDue() const {
  int64_t due = 0;
  for (int r = 0; r < store_.Count(); ++r) {
    const QueuedMessage m = store_.At(r);
    if (m.State != QueueState::Queued) continue;
    const int64_t at = retryAll_ ? host_.now() : m.NextAttempt;
    if (due == 0 || at < due) due = std::max<int64_t>(at, 1);
  }
  return due;
}

void SendQueue::Connected() {
  if (running_ && background_) return;
  retryAll_ = true;
  rearm();
}

void SendQueue::Close() {
  closed_ = true;
  if (host_.wake) host_.wake(0);
}

void SendQueue::RetryDue() {
  if (closed_ || running_) return;
  const int64_t now = host_.now();
  if (smtp_.Busy()) {
    // The user's connect or disconnect is under way; the queue follows it.
    host_.wake(now + 5);
    return;
  }
  std::vector<std::string> due;
  for (int r = 0; r < store_.Count(); ++r) {
    const QueuedMessage m = store_.At(r);
    if (m.State == QueueState::Queued && (retryAll_ || m.NextAttempt <= now)) due.push_back(m.MessageID);
  }
  retryAll_ = false;
  if (due.empty()) return rearm();
  Running run(*this, true);
  const bool wasConnected = smtp_.Connected;
  std::string unreachable;  // why no connection could be had
  for (const std::string& id : due) {
    if (closed_ || session_.Closing()) break;
    const int r = store_.Find(id);
    if (r < 0) continue;
    if (!unreachable.empty()) {
      // No second wait for a server that could not be reached a moment ago.
      SendOutcome skipped;
      skipped.kind = SendOutcome::Temporary;
      skipped.reply = unreachable;
      settle(store_.At(r), skipped, true);
      continue;
    }
    attempt(id);
    if (!smtp_.Connected) {
      const int after = store_.Find(id);
      if (after >= 0 && store_.At(after).State == QueueState::Queued) unreachable = store_.At(after).Reply;
    }
  }
  if (!wasConnected && smtp_.Connected && !session_.Closing()) session_.SignOffQuietly();
}

void SendQueue::attempt(const std::string& messageId) {
  const QueuedMessage m = store_.At(store_.Find(messageId));
  host_.status("Sending the queued message \"" + m.Fields.Subject + "\"");
  sendingId_ = messageId;
  const SendOutcome outcome =
      session_.SendUnattended(m, host_.account(), [this, messageId] { markSending(messageId); });
  sendingId_.clear();
  settle(m, outcome, true);
}

void SendQueue::markSending(const std::string& messageId) {
  const int r = store_.Find(messageId);
  if (r < 0) throw Exception("The queued message is gone");
  QueuedMessage m = store_.At(r);
  m.State = QueueState::Sending;
  store_.Put(r, m);
  step("sending");
}

// ---- what an attempt ended with -------------------------------------------------------------

void SendQueue::markRecipients(QueuedMessage& message, const SendOutcome& outcome) const {
  using corvane::smtp::ClassOf;
  using corvane::smtp::ReplyClass;
  const bool sent = outcome.kind == SendOutcome::Sent;
  size_t next = 0;
  for (const TSmtpRecipientReply& reply : outcome.recipients) {
    while (next < message.Recipients.size() &&
           (message.Recipients[next].state != RecipientState::Pending || message.Fields.ToAddress[next] != reply.Entry))
      ++next;
    if (next == message.Recipients.size()) break;
    QueuedRecipient& recipient = message.Recipients[next++];
    recipient.reply = reply.Reply;
    if (reply.Code <= 300) {
      // Accepted in a transaction whose text never went through counts for nothing.
      if (sent) recipient.state = RecipientState::Accepted;
    } else if (ClassOf(reply.Code) != ReplyClass::Transient) {
      recipient.state = RecipientState::Refused;
    }
  }
  // An entry without an address was never a recipient.
  for (size_t i = 0; sent && i < message.Recipients.size(); ++i)
    if (corvane::smtp::ExtractAddress(message.Fields.ToAddress[i]).empty())
      message.Recipients[i].state = RecipientState::Accepted;
}

void SendQueue::settle(QueuedMessage message, const SendOutcome& outcome, bool stored) {
  markRecipients(message, outcome);
  message.Reply = outcome.reply;
  if (outcome.kind == SendOutcome::Sent) return settleSent(message, stored);
  const bool attended = !stored && !session_.Closing();
  std::string news;
  if (outcome.kind == SendOutcome::MaybeSent) {
    message.State = QueueState::MaybeSent;
    message.NextAttempt = 0;
    message.Reply = "The connection was lost after the end of the message went out (" + outcome.reply + ")";
    news = "The connection was lost after the message was handed to the server, so it may have been sent (" +
           outcome.reply + "). It is kept in the queue and is not sent again unless you choose Resend.";
  } else if (outcome.kind == SendOutcome::Temporary) {
    message.State = QueueState::Queued;
    message.NextAttempt = host_.now() + RetryDelay(++message.Attempts);
    news = "The message could not be sent now (" + outcome.reply +
           "). It waits in the queue and is sent by itself: the next attempt is in " +
           inMinutes(RetryDelay(message.Attempts)) + ", or at once when you connect.";
  } else {
    message.State = QueueState::Failed;
    message.NextAttempt = 0;
  }
  stored ? put(message) : (store_.Add(message), step("queued"));
  host_.status(std::string("Queue: ") + QueueStateText(message.State) + ": " + message.Reply);
  if (attended && !news.empty()) host_.tell(news);
}

void SendQueue::settleSent(QueuedMessage& message, bool stored) {
  const std::vector<std::string> pending = message.PendingRecipients();
  const bool refused = std::any_of(message.Recipients.begin(), message.Recipients.end(),
                                   [](const QueuedRecipient& r) { return r.state == RecipientState::Refused; });
  if (!pending.empty()) {
    message.State = QueueState::Queued;
    message.NextAttempt = host_.now() + RetryDelay(++message.Attempts);
    message.Reply = "Sent to the others; refused for now for " + joined(pending);
  } else if (refused && stored) {
    // Nobody saw the refusals: the message stays for the user to read who did not get it.
    message.State = QueueState::Failed;
    message.NextAttempt = 0;
  } else {
    message.State = QueueState::Accepted;
  }
  const bool keep = message.State != QueueState::Accepted;
  if (!message.InOutbox) {
    if (!stored && !keep) return host_.recordSent(message.Fields);
    message.OutboxBefore = host_.outbox().Count();
    stored ? put(message) : (store_.Add(message), step("accepted"));
    stored = true;
    recordSent(message);
  }
  if (!keep) return remove(message.MessageID);
  put(message);
  if (!session_.Closing() && !pending.empty())
    host_.tell("The message was sent, but the server refused it for now for " + joined(pending) +
               ". It waits in the queue for them and is sent to them alone: the next attempt is in " +
               inMinutes(RetryDelay(message.Attempts)) + ".");
}

void SendQueue::recordSent(QueuedMessage& message) {
  if (message.OutboxBefore < 0 || !outboxHolds(message)) host_.recordSent(message.Fields);
  step("outbox");
  message.InOutbox = true;
  message.OutboxBefore = -1;
}

// A crash between the outbox record and the queue's note of it: the record is there when a
// record after the count noted holds the same values.
bool SendQueue::outboxHolds(const QueuedMessage& message) const {
  const OutboxStore& outbox = host_.outbox();
  const OutboxMessage& f = message.Fields;
  const auto same = [&](int r, int label, const std::vector<std::string>& values) {
    std::vector<std::string> stored;
    for (const std::string& value : values) stored.push_back(corvane::StoreValue(value));
    return outbox.Values(r, label) == stored;
  };
  for (int r = static_cast<int>(std::max<int64_t>(0, message.OutboxBefore)); r < outbox.Count(); ++r) {
    if (same(r, OutboxStore::lbFromAddress, {f.FromAddress}) && same(r, OutboxStore::lbFromName, {f.FromName}) &&
        same(r, OutboxStore::lbSubject, {f.Subject}) && same(r, OutboxStore::lbToAddress, f.ToAddress) &&
        same(r, OutboxStore::lbAttachments, f.Attachments) && same(r, OutboxStore::lbBody, f.Body))
      return true;
  }
  return false;
}

void SendQueue::put(const QueuedMessage& message) {
  const int r = store_.Find(message.MessageID);
  if (r < 0) {
    store_.Add(message);
  } else {
    store_.Put(r, message);
  }
  step(QueueStateText(message.State));
}

void SendQueue::remove(const std::string& messageId) {
  const int r = store_.Find(messageId);
  if (r < 0) return;
  store_.Delete(r);
  step("removed");
}
