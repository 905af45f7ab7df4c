// Servers that misbehave, met through the window: a line without end, a server that goes
// silent, and what must be on disk by the time the server hears the first DELE.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <QLabel>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "Account.h"
#include "InboxStore.h"
#include "MboxArchive.h"
#include "ScriptedServer.h"
#include "WindowSession.h"

using Kind = ScriptedDialogs::Kind;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int64_t kMB = 1 << 20;

// A field of /proc/self/status in kB, or -1 when the system does not tell.
int64_t statusKb(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with(field + ":")) return std::stoll(line.substr(field.size() + 1));
  return -1;
}

// Restarts the peak resident size of the process; false when the system refuses.
bool resetPeakRss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return clear.good();
}

// A POP3 server on its own thread for one client. It answers the login, STAT with one
// message, refuses CAPA and UIDL, and leaves RETR and DELE to the test. Every wait is cut
// off by a deadline, so it ends by itself whatever the client does.
class LoopbackPop3 {
 public:
  struct Script {
    std::function<void(LoopbackPop3&)> retr;  // sends the whole reply to "RETR 1"
    std::function<void()> dele;               // runs before a DELE is answered
  };

  explicit LoopbackPop3(Script script) : script_(std::move(script)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listen_, 1) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      ADD_FAILURE() << "loopback listen failed";
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~LoopbackPop3() {
    stop_ = true;
    thread_.join();
    if (client_ >= 0) ::close(client_);
    ::close(listen_);
  }
  LoopbackPop3(const LoopbackPop3&) = delete;
  LoopbackPop3& operator=(const LoopbackPop3&) = delete;

  uint16_t Port() const { return port_; }
  // Waits (bounded) for the server to end: the client closed, or the deadline passed.
  bool WaitEnded() {
    std::unique_lock lock(mutex_);
    return endedChanged_.wait_for(lock, std::chrono::seconds(10), [this] { return ended_; });
  }
  // The command lines received, without their line ends.
  Lines Commands() const {
    const std::lock_guard lock(mutex_);
    return commands_;
  }
  // Sends bytes to the client; false once the client is gone or the deadline passed.
  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      if (!ready(POLLOUT)) return false;
      const ssize_t n = ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) {
        clientGone_ = true;
        return false;
      }
      sent_ += n;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }
  bool Line(const std::string& text) { return Send(text + "\r\n"); }
  int64_t Sent() const { return sent_; }
  // The client closed the connection (rather than the server giving up on it).
  bool ClientGone() const { return clientGone_; }

 private:
  // Waits for the client socket in short slices, so that stop_ and the deadline are seen.
  bool ready(short events) {
    while (!stop_ && Clock::now() < deadline_) {
      pollfd fd{client_, events, 0};
      const int n = ::poll(&fd, 1, 50);
      if (n > 0) return true;
    }
    return false;
  }

  bool readLine(std::string& line) {
    for (size_t end; (end = pending_.find('\n')) == std::string::npos;) {
      if (!ready(POLLIN)) return false;
      char buffer[4096];
      const ssize_t n = ::recv(client_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        clientGone_ = true;
        return false;
      }
      pending_.append(buffer, static_cast<size_t>(n));
    }
    const size_t end = pending_.find('\n');
    line = pending_.substr(0, end > 0 && pending_[end - 1] == '\r' ? end - 1 : end);
    pending_.erase(0, end + 1);
    return true;
  }

  void run() {
    pollfd fd{listen_, POLLIN, 0};
    if (::poll(&fd, 1, 10000) == 1) {
      client_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client_ >= 0 && Line("+OK hostile POP3 ready")) serve();
    }
    const std::lock_guard lock(mutex_);
    ended_ = true;
    endedChanged_.notify_all();
  }

  void serve() {
    for (std::string command; readLine(command);) {
      {
        const std::lock_guard lock(mutex_);
        commands_.push_back(command);
      }
      bool answered = true;
      if (command.starts_with("USER ") || command.starts_with("PASS ")) {
        answered = Line("+OK");
      } else if (command == "STAT") {
        answered = Line("+OK 1 2000");
      } else if (command == "RETR 1" && script_.retr) {
        script_.retr(*this);
      } else if (command.starts_with("DELE ")) {
        if (script_.dele) script_.dele();
        answered = Line("+OK marked");
      } else if (command == "QUIT") {
        Line("+OK bye");
        return;
      } else {
        answered = Line("-ERR not here");
      }
      if (!answered) return;
    }
  }

  Script script_;
  int listen_ = -1;
  int client_ = -1;
  uint16_t port_ = 0;
  std::string pending_;
  const Clock::time_point deadline_ = Clock::now() + std::chrono::seconds(30);
  mutable std::mutex mutex_;
  Lines commands_;
  std::atomic<int64_t> sent_{0};
  std::atomic<bool> clientGone_{false};
  bool ended_ = false;  // guarded by mutex_
  std::condition_variable endedChanged_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void sendMessage(LoopbackPop3& server, const std::string& message) {
  if (server.Line("+OK message follows") && server.Send(message)) server.Line(".");
}

const std::string kPlainMessage =
    "From: Ada <ada@example.org>\r\n"
    "Subject: Plain\r\n"
    "\r\n"
    "Just text.\r\n";

// Files a session left in the folder that were not there before, by name.
std::set<std::string> filesIn(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.is_regular_file()) names.insert(entry.path().filename().string());
  return names;
}

}  // namespace

// The reader must give up on a line that never ends instead of buffering it for ever; the
// server offers far more than the client may keep, so holding it all would show both in
// the bytes the server got rid of and in the memory the process took.
TEST(HostileServer, AnEndlessLineEndsTheSessionWithAClearErrorKeepsNothingDeletesNothingAndBoundsMemory) {
  constexpr int64_t kLineLimit = 4 * kMB;
  constexpr int64_t kOffered = 96 * kMB;
  std::atomic<int64_t> peakRssKb{0};
  LoopbackPop3 server({.retr =
                           [&](LoopbackPop3& pop) {
                             if (!pop.Line("+OK endless")) return;
                             const std::string chunk(64 * 1024, 'x');
                             while (pop.Sent() < kOffered && pop.Send(chunk))
                               peakRssKb = std::max<int64_t>(peakRssKb, statusKb("VmRSS"));
                           },
                       .dele = {}});
  session::Window window;
  Tpopform& form = window.Open();
  window.ReceiveAccount("127.0.0.1", server.Port(), "alice", "secret");
  // Should the client swallow the whole line, it would then wait for more: not a minute.
  form.inTimeOut = 5000;
  const bool peakReset = resetPeakRss();
  const int64_t rssBeforeKb = statusKb("VmRSS");
  peakRssKb = rssBeforeKb;

  window.Connect();

  ASSERT_TRUE(server.WaitEnded());
  EXPECT_EQ(window.dialogs.errors(), Lines{"127.0.0.1 sent a line longer than 4 MB; the connection was closed."});
  EXPECT_EQ(window.dialogs.shown.size(), 1u);
  EXPECT_EQ(server.Commands(), (Lines{"USER alice", "PASS secret", "STAT", "CAPA", "UIDL", "RETR 1"}));
  // The client hung up on the line; the server did not run out of line first.
  EXPECT_TRUE(server.ClientGone());
  EXPECT_GT(server.Sent(), kLineLimit);
  EXPECT_LT(server.Sent(), kOffered / 3);
  const int64_t peakKb = peakReset ? std::max<int64_t>(statusKb("VmHWM"), peakRssKb) : peakRssKb.load();
  EXPECT_LT((peakKb - rssBeforeKb) * 1024, kOffered / 2)
      << "peak " << peakKb << " kB, before " << rssBeforeKb << " kB, reset " << peakReset;

  EXPECT_FALSE(form.ZnPOP31->Connected);
  EXPECT_EQ(listrows::Count(form.pophistlist), 0);
  const std::string store = window.Folder() + "mailin.txt";
  if (corvane::FileExists(store)) {
    InboxStore reloaded(store);
    reloaded.Load();
    EXPECT_EQ(reloaded.Count(), 0);
  }
  const std::string archive = window.Folder() + "mailin.mbox";
  if (corvane::FileExists(archive)) {
    EXPECT_TRUE(MboxArchive::ReadMessages(archive).empty());
  }

  // The same window then receives from a well-behaved server as if nothing had happened.
  LoopbackPop3 good({.retr = [](LoopbackPop3& pop) { sendMessage(pop, kPlainMessage); }, .dele = {}});
  window.ReceiveAccount("127.0.0.1", good.Port(), "alice", "secret");
  window.Connect();
  EXPECT_EQ(window.dialogs.shown.size(), 1u);
  EXPECT_EQ(session::Rows(form.pophistlist, 1), Lines{"Plain"});
  window.Disconnect();
  ASSERT_TRUE(good.WaitEnded());
  EXPECT_EQ(good.Commands(), (Lines{"USER alice", "PASS secret", "STAT", "CAPA", "UIDL", "RETR 1", "DELE 1", "QUIT"}));
}

// One no-progress budget for the whole session: a server that stops answering, at any
// point, ends the session after about TimeOut, and the connection is closed at once,
// without a QUIT whose reply would cost a second wait.
TEST(HostileServer, ASilentServerEndsTheSessionAfterTheTimeOutWithoutWaitingForAQuitReply) {
  struct Case {
    const char* name;
    std::string script;
    std::string clientSent;
  };
  const std::string login =
      "S: +OK ready\nC: USER alice\nS: +OK\nC: PASS secret\nS: +OK\nC: STAT\nS: +OK 1 60\n"
      "C: CAPA\nS: -ERR\nC: UIDL\nS: -ERR\nC: RETR 1\n";
  const std::vector<Case> cases{
      {"no greeting", "E\n", ""},
      {"silent after USER", "S: +OK ready\nC: USER alice\nE\n", "USER alice\r\n"},
      {"silent in the middle of a message", login + "S: +OK\nS: Subject: cut off\nE\n",
       "USER alice\r\nPASS secret\r\nSTAT\r\nCAPA\r\nUIDL\r\nRETR 1\r\n"},
  };
  constexpr int32_t kTimeOut = 1000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.script);
    session::Window window;
    Tpopform& form = window.Open();
    form.inTimeOut = kTimeOut;
    window.ReceiveAccount("127.0.0.1", server.Port(), "alice", "secret");

    const auto start = Clock::now();
    window.Connect();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();

    EXPECT_EQ(window.dialogs.errors(), Lines{"Timed out: no progress with 127.0.0.1 for 1 second."});
    EXPECT_EQ(window.dialogs.shown.size(), 1u);
    EXPECT_GE(elapsed, kTimeOut);
    EXPECT_LT(elapsed, 3 * kTimeOut);
    EXPECT_FALSE(form.ZnPOP31->Connected);
    // The server saw the connection closed, and nothing after the command left unanswered.
    ASSERT_TRUE(server.WaitFinished());
    EXPECT_EQ(server.Failures(), "");
    EXPECT_EQ(server.Received(), c.clientSent);
    EXPECT_EQ(listrows::Count(form.pophistlist), 0);
  }
}

namespace {

// What SyncReceivedFiles has reported as on disk, as the server thread sees it.
std::mutex syncedMutex;
std::vector<std::string> synced;

void recordSynced(const std::string& path) {
  const std::lock_guard lock(syncedMutex);
  synced.push_back(path);
}

// Installs the recorder for the life of a scope.
class SyncRecorder {
 public:
  SyncRecorder() {
    synced.clear();
    corvane::ReceivedFileSynced = recordSynced;
  }
  ~SyncRecorder() { corvane::ReceivedFileSynced = nullptr; }
  SyncRecorder(const SyncRecorder&) = delete;
  SyncRecorder& operator=(const SyncRecorder&) = delete;
};

const std::string kTwoFiles =
    "From: Bruno <bruno@example.net>\r\n"
    "Subject: Two files\r\n"
    "Mime-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
    "\r\n"
    "--b1\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "Two files.\r\n"
    "--b1\r\n"
    "Content-Type: application/octet-stream; name=\"first.bin\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "AAECAwQFBgcICQ==\r\n"
    "--b1\r\n"
    "Content-Type: text/plain; name=\"second.txt\"\r\n"
    "Content-Disposition: attachment; filename=\"second.txt\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "c2Vjb25kIGZpbGUK\r\n"
    "--b1--\r\n";

}  // namespace

// A server deletes for good what the client marked, so everything the client keeps of a
// message must be on disk when the server hears the first DELE: the attachment files, the
// raw archive, their folder entries and the committed store record.
TEST(HostileServer, EverythingReceivedIsOnDiskBeforeTheServerHearsTheFirstDele) {
  const SyncRecorder recorder;
  QTemporaryDir scratch;
  const std::string storeCopy = scratch.path().toStdString() + "/mailin.txt";
  session::Window window;
  Tpopform& form = window.Open();
  const std::string folder = window.Folder();
  // A store that already holds a message takes the next one as an append, which is what
  // the commit must make durable (the first message of a new store is a whole rewrite).
  {
    LoopbackPop3 earlier({.retr = [](LoopbackPop3& pop) { sendMessage(pop, kPlainMessage); }, .dele = {}});
    window.ReceiveAccount("127.0.0.1", earlier.Port(), "alice", "secret");
    window.Connect();
    window.Disconnect();
    ASSERT_TRUE(earlier.WaitEnded());
  }
  const std::set<std::string> before = filesIn(folder);
  {
    const std::lock_guard lock(syncedMutex);
    synced.clear();
  }

  struct AtDele {
    bool seen = false;
    std::vector<std::string> synced;
    std::set<std::string> files;
    bool journal = false;
    std::vector<std::string> subjects;
  };
  std::mutex atDeleMutex;
  AtDele atDele;
  LoopbackPop3 server({.retr = [](LoopbackPop3& pop) { sendMessage(pop, kTwoFiles); },
                       .dele =
                           [&] {
                             AtDele now;
                             now.seen = true;
                             {
                               const std::lock_guard lock(syncedMutex);
                               now.synced = synced;
                             }
                             now.files = filesIn(folder);
                             now.journal = corvane::FileExists(folder + "mailin.txt.journal");
                             // A copy, so that loading it cannot touch the window's file.
                             std::filesystem::copy_file(folder + "mailin.txt", storeCopy,
                                                        std::filesystem::copy_options::overwrite_existing);
                             InboxStore store(storeCopy);
                             store.Load();
                             for (int r = 0; r < store.Count(); ++r) now.subjects.push_back(store.RowAt(r).Subject);
                             const std::lock_guard lock(atDeleMutex);
                             if (!atDele.seen) atDele = std::move(now);
                           }});
  window.ReceiveAccount("127.0.0.1", server.Port(), "alice", "secret");
  // Keeping mail needs unique ids, which this server refuses: it is deleted as always, and
  // the Receive group says why.
  form.inOnServer->setCurrentIndex(static_cast<int>(OnServer::Keep));

  window.Connect();
  window.Disconnect();
  ASSERT_TRUE(server.WaitEnded());

  EXPECT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
  EXPECT_FALSE(form.inNoUidlNote->isHidden());
  EXPECT_EQ(corvane::GetItems(form.popatt), (Lines{"first.bin", "second.txt"}));
  EXPECT_EQ(server.Commands(),
            (Lines{"USER alice", "PASS secret", "STAT", "CAPA", "UIDL", "RETR 1", "DELE 1", "QUIT"}));
  const std::lock_guard lock(atDeleMutex);
  ASSERT_TRUE(atDele.seen);
  const std::set<std::string> syncedSet(atDele.synced.begin(), atDele.synced.end());
  for (const std::string& path : {folder + "first.bin", folder + "second.txt", folder + "mailin.mbox", folder})
    EXPECT_TRUE(syncedSet.contains(path)) << path << " was not synced before DELE";
  // Nor did the session leave any other new file that was not synced; the store file
  // and its journal are the commit's, checked below.
  for (const std::string& name : atDele.files)
    if (!before.contains(name) && !name.starts_with("mailin.txt")) {
      EXPECT_TRUE(syncedSet.contains(folder + name)) << name << " was on disk but not synced before DELE";
    }
  EXPECT_FALSE(atDele.journal) << "the store's batch was not committed before DELE";
  EXPECT_EQ(atDele.subjects, (Lines{"Plain", "Two files"}));
}
