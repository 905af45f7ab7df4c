// What a session leaves on the server, chosen in the Receive group and run through the
// window against a real Dovecot; a recording proxy shows which DELE and TOP commands went out.
#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QSpinBox>
#include <algorithm>
#include <ctime>
#include <functional>

#include "Account.h"
#include "AliceMailbox.h"
#include "InboxStore.h"
#include "SeenIds.h"
#include "WindowSession.h"

using Lines = std::vector<std::string>;

namespace {

const Lines kSubjects{"One", "Two", "Three"};

// The command lines of one connection through the proxy.
Lines commandsOf(const RecordingProxy& proxy, int connection) {
  Lines lines;
  const std::string sent = proxy.Wrote(connection, true);
  for (size_t start = 0, end; (end = sent.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(sent.substr(start, end - start));
  return lines;
}

Lines deletions(const Lines& commands) {
  Lines dele;
  for (const std::string& command : commands)
    if (command.starts_with("DELE ")) dele.push_back(command);
  return dele;
}

// Makes message n (from 1) of this account look first stored days ago in the id file.
void ageMessage(const std::string& path, int n, int days) {
  std::string text = corvane::ReadFile(path);
  size_t line = 0;
  for (int i = 1; i < n; ++i) line = text.find('\n', line) + 1;
  const size_t id = text.find(' ', text.find(" alice ", line) + 7);
  const size_t end = text.find_first_of(" \n", id + 1);
  text.replace(id + 1, end - id - 1, std::to_string(std::time(nullptr) - int64_t{days} * 86400));
  corvane::WriteFileAtomically(path, text);
}

struct Case {
  const char* name;
  OnServer choice;
  std::function<void(session::Window&)> between;  // what happens between the two sessions
  Lines secondDeletes;                            // the DELE commands of the second session
  Lines left;                                     // the subjects the server keeps after it
  Lines stored;                                   // the inbox list after it
};

class KeepOnServer : public AliceMailbox {};

}  // namespace

TEST_F(KeepOnServer, EachChoiceDeletesExactlyWhatItGivesUpAndStoresEachMessageOnce) {
  const Case cases[] = {
      {"keep", OnServer::Keep, {}, {}, kSubjects, kSubjects},
      {"keep 7 days",
       OnServer::KeepDays,
       [](session::Window& window) { ageMessage(window.Folder() + SeenIds::kFileName, 1, 8); },
       {"DELE 1"},
       {"Two", "Three"},
       kSubjects},
      {"delete when deleted here",
       OnServer::FollowLocal,
       [](session::Window& window) {
         window->mailbinder->setCurrentWidget(window->TabSheet2);
         window->pophistlist->setCurrentIndex(listrows::At(window->pophistlist, 1));
         window->Delete1->trigger();
       },
       {"DELE 2"},
       {"One", "Three"},
       {"One", "Three"}},
  };
  int connections = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    session::Window window;
    Tpopform& form = window.Open();
    Deliver(kSubjects);
    window.ReceiveAccount("127.0.0.1", proxy->Port(), "alice", "secret");
    form.inOnServer->setCurrentIndex(static_cast<int>(c.choice));
    form.inKeepDays->setValue(7);

    window.Connect();
    window.Disconnect();
    EXPECT_EQ(deletions(commandsOf(*proxy, ++connections)), Lines{});
    EXPECT_EQ(ServerSubjects(), kSubjects);
    if (c.between) c.between(window);
    window.Connect();
    window.Disconnect();
    EXPECT_EQ(deletions(commandsOf(*proxy, ++connections)), c.secondDeletes);

    EXPECT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
    EXPECT_EQ(ServerSubjects(), c.left);
    EXPECT_EQ(session::Rows(form.pophistlist, 1), c.stored);
    // A third session finds nothing new and deletes nothing more.
    window.Connect();
    window.Disconnect();
    for (const std::string& command : commandsOf(*proxy, ++connections))
      EXPECT_FALSE(command.starts_with("RETR") || command.starts_with("DELE")) << command;
    EXPECT_EQ(session::Rows(form.pophistlist, 1), c.stored);
    // The next case starts from an empty mailbox.
    form.inOnServer->setCurrentIndex(static_cast<int>(OnServer::Delete));
    window.Connect();
    window.Disconnect();
    ++connections;
    EXPECT_EQ(ServerSubjects(), Lines{});
  }
}

namespace {

bool sent(const Lines& commands, const std::string& command) {
  return std::find(commands.begin(), commands.end(), command) != commands.end();
}

// The body of the inbox record of that subject, as the store file holds it.
std::string storedBody(session::Window& window, const std::string& subject) {
  InboxStore store(window.Folder() + "mailin.txt");
  store.Load();
  std::string body;
  for (int r = 0; r < store.Count(); ++r)
    if (store.Values(r, InboxStore::lbSubject) == Lines{subject})
      for (const std::string& line : store.Values(r, InboxStore::lbBody)) body += line + "\n";
  return body;
}

}  // namespace

TEST_F(KeepOnServer, ALargeMessageComesAsItsHeaderUntilFetchedWholeOnRequest) {
  struct LargeCase {
    const char* name;
    OnServer choice;
    Lines firstDeletes;  // the DELE commands of the first session
    Lines leftAtEnd;     // the subjects the server keeps after the whole message came
  };
  const LargeCase cases[] = {
      {"delete after storing", OnServer::Delete, {"DELE 1", "DELE 3"}, {}},
      {"keep", OnServer::Keep, {}, {"One", "Big", "Three"}},
  };
  int connections = 0;
  for (const LargeCase& c : cases) {
    SCOPED_TRACE(c.name);
    session::Window window;
    Tpopform& form = window.Open();
    Deliver({"One"});
    servers->Deliver("alice", "From: Ada <ada@example.org>\r\nSubject: Big\r\n\r\n" +
                                  std::string(40, 'x').append("\r\n").append(std::string(3000, 'y')) + "\r\n");
    Deliver({"Three"});
    window.ReceiveAccount("127.0.0.1", proxy->Port(), "alice", "secret");
    form.inOnServer->setCurrentIndex(static_cast<int>(c.choice));
    form.inLargeKB->setValue(2);

    window.Connect();
    window.Disconnect();
    const Lines first = commandsOf(*proxy, ++connections);
    EXPECT_TRUE(sent(first, "TOP 2 0"));
    EXPECT_FALSE(sent(first, "RETR 2"));
    EXPECT_TRUE(sent(first, "RETR 1") && sent(first, "RETR 3"));
    EXPECT_EQ(deletions(first), c.firstDeletes);
    // Headers come before the whole messages, whose retrievals go out ahead unbroken.
    const Lines listed{"Big", "One", "Three"};
    EXPECT_EQ(session::Rows(form.pophistlist, 1), listed);
    EXPECT_NE(storedBody(window, "Big").find("[Only the header of this message was fetched: its size is "),
              std::string::npos);

    // The next session fetches nothing again and leaves the header-only message alone.
    window.Connect();
    window.Disconnect();
    for (const std::string& command : commandsOf(*proxy, ++connections))
      EXPECT_FALSE(command.starts_with("RETR") || command.starts_with("TOP") || command.starts_with("DELE")) << command;

    window->mailbinder->setCurrentWidget(window->TabSheet2);
    window->pophistlist->setCurrentIndex(listrows::At(window->pophistlist, 0));
    emit window->receivedpopup->aboutToShow();
    ASSERT_TRUE(window->FetchWhole1->isEnabled());
    window->FetchWhole1->trigger();
    const Lines whole = commandsOf(*proxy, ++connections);
    const std::string number = c.choice == OnServer::Delete ? "1" : "2";
    EXPECT_TRUE(sent(whole, "RETR " + number));
    EXPECT_EQ(deletions(whole), c.choice == OnServer::Delete ? Lines{"DELE 1"} : Lines{});
    window.Disconnect();
    EXPECT_NE(storedBody(window, "Big").find(std::string(3000, 'y')), std::string::npos);
    EXPECT_EQ(storedBody(window, "Big").find("[Only"), std::string::npos);
    EXPECT_EQ(session::Rows(form.pophistlist, 1), listed);
    emit window->receivedpopup->aboutToShow();
    EXPECT_FALSE(window->FetchWhole1->isEnabled());
    EXPECT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
    EXPECT_EQ(ServerSubjects(), c.leftAtEnd);

    // The next case starts from an empty mailbox.
    form.inOnServer->setCurrentIndex(static_cast<int>(OnServer::Delete));
    window.Connect();
    window.Disconnect();
    ++connections;
    EXPECT_EQ(ServerSubjects(), Lines{});
  }
}
