// The send queue against the real SMTP test server: refusals for now and for good, a
// connection cut at every byte of a session, and a crash at every step, each followed by the
// retries; every message arrives exactly once (counted by Message-ID at the server) unless it
// is reported "may have been sent".
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "OutboxStore.h"
#include "QueueStore.h"
#include "RealMailServers.h"
#include "RecordingProxy.h"
#include "ScriptedDialogs.h"
#include "SendQueue.h"
#include "SendSession.h"
#include "SysUtils.h"

namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

// The Message-ID of a message as received.
std::string messageIdOf(const std::string& message) {
  const size_t at = message.find("\r\nMessage-ID: ");
  if (at == std::string::npos) return {};
  const size_t start = at + 14;
  return message.substr(start, message.find("\r\n", start) - start);
}

std::map<std::string, int> countIds(const Lines& messages) {
  std::map<std::string, int> counts;
  for (const std::string& message : messages) ++counts[messageIdOf(message)];
  return counts;
}

class QuietView : public SendView {
 public:
  ScriptedDialogs dialogs;
  void Status(const std::string&) override {}
  void ShowFailure(const std::exception& failure) override { ADD_FAILURE() << failure.what(); }
  Dialogs& Ask() override { return dialogs; }
};

// A send queue with its stores in a folder of its own, and a clock that moves only when told.
struct QueueRig {
  QueueRig(const std::string& folder, uint16_t port, bool login)
      : outbox(folder + "mailout.txt"), store(folder + QueueStore::kFileName), session(smtp, view) {
    account.host = "127.0.0.1";
    account.port = std::to_string(port);
    account.userId = "tester";
    if (login) {
      account.loginUser = "alice";
      account.loginPassword = "secret";
    }
    smtp.TimeOut = 10000;
    smtp.PostMessage.LocalProgram = "Corvane 1.0";
    outbox.Load();
    SendQueue::Host host;
    host.now = [this] { return now; };
    host.outbox = [this]() -> OutboxStore& { return outbox; };
    host.recordSent = [this](const OutboxMessage& m) {
      outbox.Add(m);
      outbox.SaveAdded();
    };
    host.account = [this] { return account; };
    host.changed = [] {};
    host.wake = [](int64_t) {};
    host.tell = [this](const std::string& text) { told.push_back(text); };
    host.status = [](const std::string&) {};
    queue = std::make_unique<SendQueue>(store, session, smtp, host);
  }

  // The connect button: the user's own sends need an open connection.
  void connect() {
    session.Connect(account, [](const std::string&) {});
  }
  static QueuedMessage message(const std::string& subject, const Lines& to) {
    QueuedMessage m;
    m.Fields = {"tess@example.org", "Tess", subject, to, {}, {"Hi"}};
    return m;
  }
  // Moves the clock past the longest wait and retries, until nothing waits (at most rounds).
  void settle(int rounds = 8) {
    for (int i = 0; i < rounds && queue->NextDue() > 0; ++i) {
      now += SendQueue::RetryDelay(5);
      queue->RetryDue();
    }
  }
  int count(QueueState state) const {
    int n = 0;
    for (int r = 0; r < store.Count(); ++r) n += store.At(r).State == state ? 1 : 0;
    return n;
  }

  int64_t now = 1'800'000'000;
  Account account;
  QuietView view;
  TZnSMTP smtp;
  OutboxStore outbox;
  QueueStore store;
  SendSession session;
  std::unique_ptr<SendQueue> queue;
  Lines told;
};

class QueueOnRealServer : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    servers = RealMailServers::Start(&why, true);
    ASSERT_TRUE(servers) << why;
    for (const char* user : {"alice", "bob", "carol"}) servers->AddUser(user, "secret");
  }
  // A fresh folder, in memory where the machine allows: the sweeps below sync many times.
  std::string freshFolder() {
    const QString base = QDir("/dev/shm").exists() ? "/dev/shm" : QDir::tempPath();
    folders.push_back(std::make_unique<QTemporaryDir>(base + "/corvane-queue-XXXXXX"));
    return folders.back()->path().toStdString() + "/";
  }

  std::unique_ptr<RealMailServers> servers;
  std::vector<std::unique_ptr<QTemporaryDir>> folders;
};

TEST_F(QueueOnRealServer, RefusalsForNowAreRetriedAndARecipientRefusedForNowGetsTheMessageAlone) {
  QueueRig rig(freshFolder(), servers->SmtpPort(), false);
  servers->ScriptSmtp({"MAIL * 421 4.3.2 Service shutting down", "RCPT bob 450 4.2.0 Greylisted",
                       "DATA * 451 4.3.0 Try again later", "RCPT bob 450 4.2.0 Still greylisted"});
  rig.connect();
  rig.queue->SendNow(QueueRig::message("Greylisted", {"alice@example.org", "bob@example.org", "carol@example.org"}));
  ASSERT_EQ(rig.told.size(), 1u);
  EXPECT_NE(rig.told[0].find("(421 4.3.2 Service shutting down)"), std::string::npos) << rig.told[0];
  ASSERT_EQ(rig.store.Count(), 1);
  const std::string id = rig.store.At(0).MessageID;
  EXPECT_EQ(rig.store.At(0).NextAttempt, rig.now + 60);

  // 451 at the end of data: nobody has it, all three stay; then alice and carol get it.
  std::vector<QueuedMessage> seen;
  for (int round = 0; round < 4 && rig.store.Count() > 0; ++round) {
    rig.now = rig.store.At(0).NextAttempt;
    rig.queue->RetryDue();
    if (rig.store.Count() > 0) seen.push_back(rig.store.At(0));
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].PendingRecipients(), (Lines{"alice@example.org", "bob@example.org", "carol@example.org"}));
  EXPECT_EQ(seen[0].Reply, "451 4.3.0 Try again later");
  EXPECT_EQ(seen[1].PendingRecipients(), Lines{"bob@example.org"});
  EXPECT_EQ(seen[1].Recipients[1].reply, "450 4.2.0 Still greylisted");
  EXPECT_TRUE(seen[1].InOutbox);
  // The waits grow: 1, 2, 5 minutes.
  EXPECT_EQ(seen[0].Attempts, 2);
  EXPECT_EQ(seen[1].Attempts, 3);
  EXPECT_EQ(rig.store.Count(), 0);

  for (const char* user : {"alice", "bob", "carol"}) {
    const Lines mailbox = servers->Mailbox(user);
    ASSERT_EQ(mailbox.size(), 1u) << user;
    EXPECT_EQ(messageIdOf(mailbox[0]), id);
  }
  // The last transaction named bob alone; the outbox has the message once.
  const Lines commands = servers->SmtpCommands("smtp");
  const auto lastMail =
      std::find_if(commands.rbegin(), commands.rend(), [](const std::string& c) { return c.starts_with("MAIL FROM"); });
  EXPECT_EQ(*(lastMail - 1), "RCPT TO:<bob@example.org>");
  EXPECT_EQ(*(lastMail - 2), "DATA");
  EXPECT_EQ(rig.outbox.Count(), 1);
  EXPECT_EQ(rig.outbox.Values(0, OutboxStore::lbToAddress),
            (Lines{"alice@example.org", "bob@example.org", "carol@example.org"}));
}

TEST_F(QueueOnRealServer, APermanentRefusalStopsTheRetriesWithTheExplainedReplyAndResendTriesAgain) {
  QueueRig rig(freshFolder(), servers->SmtpExtPort(), true);
  // Nothing that could never go out is queued.
  EXPECT_THROW(rig.queue->SendLater(QueueRig::message("Nobody", {})), Exception);
  EXPECT_EQ(rig.store.Count(), 0);
  servers->ScriptSmtp({"RCPT bob 550 5.1.1 No such user"});
  rig.queue->SendLater(QueueRig::message("Refused", {"bob@example.org"}));
  rig.settle();
  ASSERT_EQ(rig.store.Count(), 1);
  QueuedMessage m = rig.store.At(0);
  EXPECT_EQ(m.State, QueueState::Failed);
  EXPECT_EQ(m.Reply, "550 5.1.1 No such user (5.1.1: Bad destination mailbox address)");
  EXPECT_EQ(m.NextAttempt, 0);
  EXPECT_TRUE(servers->SmtpReceived().empty());

  rig.queue->Resend(0);
  EXPECT_EQ(rig.store.Count(), 0);
  EXPECT_EQ(servers->Mailbox("bob").size(), 1u);
}

TEST_F(QueueOnRealServer, TooLargeForTheServerIsRefusedBeforeAnyDataAndNotQueued) {
  QueueRig rig(freshFolder(), servers->SmtpExtPort(), true);
  QueuedMessage big = QueueRig::message("Big", {"bob@example.org"});
  big.Fields.Body.assign(20000, std::string(70, 'x'));
  rig.connect();
  try {
    rig.queue->SendNow(big);
    ADD_FAILURE() << "sent";
  } catch (const Exception& e) {
    EXPECT_TRUE(e.Message().ends_with("bytes as sent, more than the 1048576 bytes 127.0.0.1 accepts")) << e.Message();
  }
  EXPECT_EQ(rig.store.Count(), 0);
  for (const std::string& command : servers->SmtpCommands("smtp-ext")) {
    EXPECT_FALSE(command.starts_with("MAIL")) << command;
    EXPECT_FALSE(command.starts_with("DATA")) << command;
  }
}

// Cuts one session at every byte it carries either way, then lets the retries run.
TEST_F(QueueOnRealServer, ACutAtEveryByteOfASessionDeliversOnceOrReportsMayHaveBeenSent) {
  struct Account {
    const char* what;
    uint16_t port;
    bool login;
  };
  for (const Account& a :
       {Account{"HELO", servers->SmtpPort(), false}, Account{"EHLO", servers->SmtpExtPort(), true}}) {
    SCOPED_TRACE(a.what);
    RecordingProxy proxy(a.port);
    {
      QueueRig rig(freshFolder(), proxy.Port(), a.login);
      rig.queue->SendLater(QueueRig::message("Measure", {"bob@example.org"}));
      rig.settle();
      ASSERT_EQ(rig.outbox.Count(), 1);
    }
    // Where the message text begins and where the reply to its end is whole, each way.
    const std::string up = proxy.Wrote(1, true);
    const std::string down = proxy.Wrote(1, false);
    const size_t textStart = up.find("DATA\r\n") + 6;
    const size_t go = down.find("\r\n", down.find("354 ")) + 2;
    const size_t replied = down.find("\r\n", go) + 2;
    int maybe = 0;
    size_t seen = servers->SmtpReceived().size();
    for (const bool fromClient : {true, false}) {
      for (size_t offset = 0; offset <= (fromClient ? up : down).size(); ++offset) {
        SCOPED_TRACE((fromClient ? "client byte " : "server byte ") + std::to_string(offset));
        QueueRig rig(freshFolder(), proxy.Port(), a.login);
        rig.queue->SendLater(QueueRig::message("Cut", {"bob@example.org"}));
        const std::string id = rig.store.At(0).MessageID;
        proxy.CutNext(fromClient, offset);
        rig.settle();
        const Lines received = servers->SmtpReceived(seen);
        seen += received.size();
        const int delivered = countIds(received)[id];
        if (rig.store.Count() == 0) {
          EXPECT_EQ(delivered, 1);
          EXPECT_EQ(rig.outbox.Count(), 1);
        } else {
          // Only when the end of the text went out and no reply came back.
          ASSERT_EQ(rig.count(QueueState::MaybeSent), 1);
          if (fromClient) {
            EXPECT_GE(offset, textStart);
          } else {
            EXPECT_GE(offset, go);
            EXPECT_LT(offset, replied);
          }
          EXPECT_LE(delivered, 1);
          EXPECT_EQ(rig.outbox.Count(), 0);
          ++maybe;
        }
        if (HasFailure()) return;
      }
    }
    // The window is there: after the end of the text, before its reply.
    EXPECT_GT(maybe, 0);
  }
}

// A crash leaves the files as they were after one of the queue's steps; the server may have
// gone on to the next step's state meanwhile. A start from each such state finishes the
// work: every recipient gets each message once (or it is reported "may have been sent").
TEST_F(QueueOnRealServer, AStartAfterACrashAtAnyStepLosesNothingAndSendsNothingTwice) {
  struct Snapshot {
    std::map<std::string, std::string> files;
    std::map<std::string, int> delivered;  // per "user id"
  };
  const auto deliveredNow = [&] {
    std::map<std::string, int> counts;
    for (const char* user : {"alice", "bob", "carol"})
      for (const std::string& message : servers->Mailbox(user))
        ++counts[std::string(user) + " " + messageIdOf(message)];
    return counts;
  };
  const std::string folder = freshFolder();
  std::vector<Snapshot> snapshots;
  const auto take = [&](const std::string&) {
    Snapshot s;
    for (const auto& entry : fs::directory_iterator(folder))
      s.files[entry.path().filename().string()] = corvane::ReadFile(entry.path().string());
    s.delivered = deliveredNow();
    snapshots.push_back(std::move(s));
  };
  std::map<std::string, Lines> recipients;
  {
    QueueRig rig(folder, servers->SmtpPort(), false);
    rig.queue->StepHook = take;
    servers->ScriptSmtp({"RCPT bob 450 4.2.0 Greylisted"});
    for (const auto& [subject, to] : {std::pair<std::string, Lines>{"One", {"alice@example.org", "bob@example.org"}},
                                      std::pair<std::string, Lines>{"Two", {"carol@example.org"}}}) {
      rig.queue->SendLater(QueueRig::message(subject, to));
      recipients[rig.store.At(rig.store.Count() - 1).MessageID] = to;
    }
    rig.settle();
    ASSERT_EQ(rig.store.Count(), 0);
    take("end");
  }
  ASSERT_GT(snapshots.size(), 10u);
  const std::map<std::string, int> before = snapshots.front().delivered;
  std::set<std::string> queuedSoFar;
  for (size_t i = 0; i + 1 < snapshots.size(); ++i) {
    SCOPED_TRACE("after step " + std::to_string(i));
    const std::string again = freshFolder();
    for (const auto& [name, bytes] : snapshots[i].files) corvane::WriteFileAtomically(again + name, bytes);
    {
      QueueStore peek(again + QueueStore::kFileName);
      peek.Load();
      for (int r = 0; r < peek.Count(); ++r) queuedSoFar.insert(peek.At(r).MessageID);
    }
    const std::map<std::string, int> start = deliveredNow();
    QueueRig rig(again, servers->SmtpPort(), false);
    rig.queue->Load();
    rig.settle();
    const std::map<std::string, int> end = deliveredNow();
    std::set<std::string> maybeSent;
    for (int r = 0; r < rig.store.Count(); ++r) {
      ASSERT_EQ(rig.store.At(r).State, QueueState::MaybeSent);
      maybeSent.insert(rig.store.At(r).MessageID);
    }
    for (const auto& [id, to] : recipients) {
      if (!queuedSoFar.count(id)) continue;  // the user had not queued it yet
      int outboxRecords = 0;
      for (int r = 0; r < rig.outbox.Count(); ++r)
        outboxRecords += rig.outbox.Values(r, OutboxStore::lbToAddress) == to ? 1 : 0;
      for (const std::string& address : to) {
        const std::string key = address.substr(0, address.find('@')) + " " + id;
        const auto at = [&](const std::map<std::string, int>& m) {
          const auto found = m.find(key);
          return found == m.end() ? 0 : found->second;
        };
        const int resent = at(end) - at(start);
        const int least = at(snapshots[i].delivered) - at(before);
        const int most = at(snapshots[i + 1].delivered) - at(before);
        EXPECT_LE(most + resent, 1) << key;
        if (!maybeSent.count(id)) {
          EXPECT_GE(least + resent, 1) << key;
        }
      }
      if (!maybeSent.count(id)) {
        EXPECT_EQ(outboxRecords, 1) << id;
      }
    }
  }
}

}  // namespace
