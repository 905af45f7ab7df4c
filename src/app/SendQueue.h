#pragma once
// The send queue: messages sent later, or whose send failed for a reason that may pass,
// kept in "mailqueue.txt" and tried again at growing intervals (1, 2, 5, 10, 30 minutes,
// then every 30) while the program runs, and all at once after a successful connect.
//
// Each message goes out exactly once. Its Message-ID is fixed when it is first sent or
// queued, so another attempt is the same message, and recipients that took it are not sent
// it again. Before the end of a queued message's text goes out its record says "sending";
// once the server took it the record says so, then the outbox record is written, then the
// queue record goes, each step on disk before the next. A start after a crash finishes what
// was begun, never sends twice what the server took, and marks a message whose end went out
// without an answer "may have been sent", which only the user can send again.
#include <cstdint>
#include <functional>
#include <string>

#include "Account.h"
#include "QueueStore.h"
#include "SendSession.h"

class OutboxStore;

class SendQueue {
 public:
  // What the queue needs of the program around it.
  struct Host {
    std::function<int64_t()> now;  // seconds since 1970 (UTC)
    std::function<OutboxStore&()> outbox;
    // Appends a sent message to the outbox store, on disk before it returns.
    std::function<void(const OutboxMessage&)> recordSent;
    // The Send group's account, for an attempt while no connection is open.
    std::function<Account()> account;
    // The records changed: the list shows them anew.
    std::function<void()> changed;
    // RetryDue should run at this time (seconds since 1970); 0 when nothing waits.
    std::function<void(int64_t)> wake;
    // Tells the user something that needs no answer.
    std::function<void(const std::string&)> tell;
    std::function<void(const std::string&)> status;
  };

  SendQueue(QueueStore& store, SendSession& session, TZnSMTP& smtp, Host host);

  QueueStore& Store() { return store_; }

  // Start-up: loads the store and finishes what a crash interrupted. A damaged store file
  // raises after the records that could be read were taken in.
  void Load();

  // The message the user sends now. Sent, it is recorded in the outbox (and queued for the
  // recipients refused for now); failing for a reason that may pass, it is queued and the
  // user told; refused for good, the failure is raised as before. While the queue is
  // sending on its own the message waits in the queue instead.
  void SendNow(QueuedMessage message);
  // Queued without an attempt: the next retry or connect sends it.
  void SendLater(QueuedMessage message);
  // The user's choices on a queued message (row r): send it again now, to every recipient
  // that does not have it; remove it; take it out for editing (it is held, not sent, until
  // the edited message is sent or queued, which replaces it).
  void Resend(int r);
  void Remove(int r);
  QueuedMessage Edit(int r);

  // Every queued message whose time has come; after a connect, every queued message.
  void RetryDue();
  // The connection is up: what waits is sent at the next moment the component is idle.
  void Connected();
  // The window is closing: no further attempt starts.
  void Close();
  // The earliest planned attempt (0 when none), or now when all wait for the next chance.
  int64_t NextDue() const;

  // The waits between the failed attempts of a message, in seconds: 1, 2, 5, 10 and 30
  // minutes, then 30 minutes each.
  static int64_t RetryDelay(int attempts);

  // Called after each change of the store file with a word naming the step; tests copy
  // the folder there to start again from every state a crash could leave.
  std::function<void(const std::string&)> StepHook;

 private:
  class Running;
  // One attempt at a stored message.
  void attempt(const std::string& messageId);
  // What an attempt ended with, written to the store (or the record added) step by step.
  void settle(QueuedMessage message, const SendOutcome& outcome, bool stored);
  void settleSent(QueuedMessage& message, bool stored);
  void markRecipients(QueuedMessage& message, const SendOutcome& outcome) const;
  void put(const QueuedMessage& message);
  void remove(const std::string& messageId);
  void markSending(const std::string& messageId);
  // The outbox record of a message the server took, written once.
  void recordSent(QueuedMessage& message);
  bool outboxHolds(const QueuedMessage& message) const;
  void step(const std::string& name);
  void rearm();
  // Row r for a user action: one on a message that is being sent right now is refused.
  QueuedMessage userChoice(int r);

  QueueStore& store_;
  SendSession& session_;
  TZnSMTP& smtp_;
  Host host_;
  bool running_ = false;     // an attempt of this queue or the user's own send is under way
  bool background_ = false;  // the attempt under way is the queue's own
  bool retryAll_ = false;    // a connect asked for every queued message
  bool closed_ = false;
  std::string sendingId_;  // the message being sent right now
};
