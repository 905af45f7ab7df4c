// Every message once in the store and once in the archive, whatever ends a receive session
// early: a kill at each of its steps, a torn write of each file it keeps, a connection cut
// at each byte offset. Each fault is followed by a normal session against the same real
// Dovecot, as a user would simply connect again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "AliceMailbox.h"
#include "InboxStore.h"
#include "MboxArchive.h"
#include "ReceiveSession.h"
#include "ScriptedDialogs.h"
#include "SeenIds.h"
#include "Streams.h"

using Lines = std::vector<std::string>;

namespace {

// The session's reports are not what these tests look at.
class QuietView : public ReceiveView {
 public:
  void Status(const std::string&) override {}
  void ShowFailure(const std::exception&) override {}
  Dialogs& Ask() override { return dialogs_; }
  void Busy(bool) override {}
  void ShowInbox() override {}
  void Receiving(bool) override {}
  void Stored() override {}
  void ShowReceived(const InboxMessage&, size_t, int) override {}
  void UniqueIds(bool) override {}

 private:
  ScriptedDialogs dialogs_;
};

const Lines kSubjects{"One", "Two", "Three"};

// One receive session on folder against port, as the window runs it: connect, retrieve,
// sign off. step, when given, sees every step of the retrieval. Returns the error the
// window would show, empty when none.
std::string receive(const std::string& folder, uint16_t port, const std::function<void(std::string_view)>& step = {}) {
  InboxStore inbox(folder + "mailin.txt");
  inbox.Load();
  TZnPOP3 pop3;
  QuietView view;
  ReceiveSession session(pop3, view, [&]() -> InboxStore& { return inbox; });
  session.SetFolder(folder, {});
  session.OnStep = step;
  pop3.OnConnect = [&](TObject*) { session.Connected(); };
  Account alice;
  alice.host = "127.0.0.1";
  alice.port = std::to_string(port);
  alice.userId = "alice";
  alice.password = "secret";
  try {
    session.Connect(alice, 5000, [](const std::string&) {});
    if (pop3.Connected) session.Disconnect();
  } catch (const std::exception& failure) {
    return failure.what();
  }
  return {};
}

// Runs steps in a child process killed where it reports ready, as a crash would end it.
void runAndKill(const std::function<void(const std::function<void()>& ready)>& steps) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    steps([&] {
      const char byte = 'x';
      if (::write(fds[1], &byte, 1) != 1) ::_exit(4);
      for (int i = 0; i < 1000; ++i) ::pause();
    });
    ::_exit(3);  // never at the crash point
  }
  ::close(fds[1]);
  char byte = 0;
  const ssize_t got = ::read(fds[0], &byte, 1);
  ::close(fds[0]);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_EQ(got, 1) << "the session ended before its crash point";
}

class ExactlyOnce : public AliceMailbox {
 protected:
  // Each message once in the store and once in the archive, and the server emptied by the
  // normal session that followed the fault.
  void expectEachOnce(const std::string& folder, Lines expected = kSubjects) {
    InboxStore inbox(folder + "mailin.txt");
    EXPECT_EQ(inbox.Load().failure, "");
    Lines stored;
    for (int r = 0; r < inbox.Count(); ++r) stored.push_back(inbox.RowAt(r).Subject);
    std::sort(stored.begin(), stored.end());
    Lines archived;
    for (const std::string& message : MboxArchive::ReadMessages(folder + "mailin.mbox")) {
      const size_t at = message.find("Subject: ");
      archived.push_back(at == std::string::npos ? message
                                                 : message.substr(at + 9, message.find_first_of("\r\n", at) - at - 9));
    }
    std::sort(archived.begin(), archived.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(stored, expected);
    EXPECT_EQ(archived, expected);
    EXPECT_TRUE(servers->Mailbox("alice").empty());
  }
};

// What a power cut could leave after the last write of each file.
const std::map<std::string, std::string> kTornTails{
    {"", ""},
    {"mailin.txt", "\tmsg\r\n\t\tFrom\r\n\t\t\tAd"},
    {"mailin.mbox", "From MAILER-DAEMON Tue Dec  8 05:00:00 2026\nFrom: Ada <ada@example.org>\nSubj"},
    {"mailin.uidl", "127.0.0.1 alice torn"},
};

}  // namespace

TEST_F(ExactlyOnce, AKillAtEachStepWithATornWriteOfEachFileThenANormalSession) {
  // Each step of a session of three messages, and its how-many-th occurrence.
  const std::vector<std::pair<std::string, int>> steps{{"stored", 1},          {"stored", 2},   {"stored", 3},
                                                       {"synced", 1},          {"prepared", 1}, {"ids committed", 1},
                                                       {"batch committed", 1}, {"marked", 1}};
  for (const auto& [step, nth] : steps) {
    for (const auto& [file, tail] : kTornTails) {
      // The store is synced from "prepared" on and appends nothing after: no tail to tear.
      const bool synced = step != "stored" && step != "synced";
      if (file == "mailin.txt" && synced) continue;
      SCOPED_TRACE("killed at " + step + " #" + std::to_string(nth) + ", torn " + (file.empty() ? "nothing" : file));
      QTemporaryDir dir;
      const std::string folder = dir.path().toStdString() + "/";
      Deliver(kSubjects);
      // Straight to the server: the proxy turns on this process's event loop, which waits.
      runAndKill([&, step = step, nth = nth](const std::function<void()>& ready) {
        int seen = 0;
        receive(folder, servers->Pop3Port(), [&](std::string_view name) {
          if (name == step && ++seen == nth) ready();
        });
      });
      if (!file.empty()) {
        TMemoryStream torn;
        if (corvane::FileExists(folder + file)) torn.LoadFromFile(folder + file);
        torn.SetData(torn.Data() + tail);
        torn.SaveToFile(folder + file);
      }
      EXPECT_EQ(receive(folder, proxy->Port()), "");
      expectEachOnce(folder);
    }
  }
}

TEST_F(ExactlyOnce, AConnectionCutAtEachByteOffsetThenANormalSession) {
  // One short message keeps the offsets few; the kill table above has several.
  const Lines one{"One"};
  // How many bytes each side sends in a whole session: the offsets to cut at.
  std::array<size_t, 2> total{};
  {
    QTemporaryDir dir;
    Deliver(one);
    receive(dir.path().toStdString() + "/", proxy->Port());
    for (const bool fromClient : {false, true}) total[fromClient] = proxy->Wrote(1, fromClient).size();
  }
  ASSERT_GT(total[0], 50u);
  for (const bool fromClient : {false, true}) {
    for (size_t bytes = 0; bytes < total[fromClient]; ++bytes) {
      SCOPED_TRACE(std::string(fromClient ? "client" : "server") + " cut after " + std::to_string(bytes));
      QTemporaryDir dir;
      const std::string folder = dir.path().toStdString() + "/";
      Deliver(one);
      proxy->CutNext(fromClient, bytes);
      receive(folder, proxy->Port());
      EXPECT_EQ(receive(folder, proxy->Port()), "");
      expectEachOnce(folder, one);
      if (HasFailure()) return;
    }
  }
}
