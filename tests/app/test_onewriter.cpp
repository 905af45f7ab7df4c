// Two programs on one folder, and stores changed behind the window's back: nothing the
// user or the other writer stored may be lost, and nothing is written over unseen.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <memory>

#include "InboxStore.h"
#include "InstanceLock.h"
#include "ListRows.h"
#include "QtText.h"
#include "ScriptedDialogs.h"
#include "Streams.h"
#include "SysUtils.h"
#include "corvane.h"

namespace {

using Strings = std::vector<std::string>;

// The bytes of an inbox store holding one record per sender, without header or body.
std::string inboxFile(const Strings& senders) {
  std::string out = "Received\r\n";
  for (const std::string& s : senders)
    out += "\tmsg\r\n\t\tFrom\r\n\t\t\t" + s + "\r\n\t\tSubject\r\n\t\t\tsubject of " + s +
           "\r\n\t\theader\r\n\t\tbody\r\n\t\tattachments\r\n";
  return out;
}

Strings rows(const QAbstractItemView* list) {
  return listrows::Column(list, 0);
}

unsigned modeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

class OneWriterTest : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  std::string folder = dir.path().toStdString() + "/";
  ScriptedDialogs dialogs;

  std::unique_ptr<Tpopform> open(ScriptedDialogs& with) { return std::make_unique<Tpopform>(folder + "corvane", with); }
  std::string file(const std::string& name) const { return corvane::ReadFile(folder + name); }
  void write(const std::string& name, const std::string& bytes) const {
    corvane::WriteFileAtomically(folder + name, bytes);
  }

  // Stores a message as the receive session does: through the display fields.
  static void receive(Tpopform& w, const std::string& from) {
    corvane::SetText(w.popfrom, from);
    corvane::SetText(w.popsubject, "subject of " + from);
    w.popmsgheader->clear();
    w.popmsgbody->clear();
    w.popatt->clear();
    w.popsaveClick();
  }

  static void select(QAbstractItemView* list, int row) { listrows::Select(list, row); }
};

TEST_F(OneWriterTest, SecondWindowOnTheFolderIsRefusedAndWritesNothing) {
  write("mailin.txt", inboxFile({"a@x"}));
  write("corvane.ini", "[INBOX]\r\nHost=pop.example.org\r\n");
  auto first = open(dialogs);
  EXPECT_EQ(first->inHost->text(), "pop.example.org");
  receive(*first, "b@x");
  const std::string stored = file("mailin.txt");

  ScriptedDialogs secondDialogs;
  auto second = open(secondDialogs);
  EXPECT_TRUE(second->Refused());
  EXPECT_FALSE(second->isEnabled());
  ASSERT_EQ(secondDialogs.errors().size(), 1u);
  const std::string box = secondDialogs.errors()[0];
  EXPECT_NE(box.find("already running in " + folder), std::string::npos) << box;
  EXPECT_NE(box.find("(process " + std::to_string(::getpid()) + ")"), std::string::npos) << box;
  // It loaded nothing, so nothing it could do would write a store.
  EXPECT_EQ(listrows::Count(second->pophistlist), 0);
  EXPECT_EQ(second->inHost->text(), "");

  // The first window goes on storing; closing it frees the folder for the next start.
  receive(*first, "c@x");
  EXPECT_EQ(file("mailin.txt"), inboxFile({"a@x", "b@x", "c@x"}));
  EXPECT_NE(stored, file("mailin.txt"));
  first.reset();
  second.reset();
  auto third = open(dialogs);
  EXPECT_FALSE(third->Refused());
  EXPECT_EQ(rows(third->pophistlist), (Strings{"a@x", "b@x", "c@x"}));
  EXPECT_TRUE(dialogs.errors().empty());
}

TEST_F(OneWriterTest, AProgramThatDiedNeverKeepsTheNextOneOut) {
  // Another process takes the folder, the way a running Corvane holds it, then is killed.
  int ready[2], hold[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(hold), 0);
  const std::string lock = folder + InstanceLock::FileName;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only system calls between fork and exit.
    const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0600);
    const char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
    [[maybe_unused]] const ssize_t n = ::write(ready[1], &ok, 1);
    char never;
    [[maybe_unused]] const ssize_t m = ::read(hold[0], &never, 1);  // blocks until killed
    ::_exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');
  EXPECT_TRUE(open(dialogs)->Refused());

  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  for (const int fd : {ready[0], ready[1], hold[0], hold[1]}) ::close(fd);
  ScriptedDialogs later;
  auto w = open(later);
  EXPECT_FALSE(w->Refused());
  EXPECT_TRUE(later.errors().empty());
}

TEST_F(OneWriterTest, AFolderWithoutALockFileToMakeStillOpens) {
  // A read-only folder: no lock can be taken, and nothing can be stored there either.
  const std::string exe = folder + "missing/corvane";
  auto w = std::make_unique<Tpopform>(exe, dialogs);
  EXPECT_FALSE(w->Refused());
  EXPECT_TRUE(dialogs.errors().empty());
}

TEST_F(OneWriterTest, InboxChangedBehindTheWindowKeepsBothSides) {
  write("mailin.txt", inboxFile({"a@x", "b@x"}));
  auto w = open(dialogs);
  // Another writer adds a message and deletes one behind the window's back.
  write("mailin.txt", inboxFile({"b@x", "n@x"}));

  receive(*w, "c@x");
  EXPECT_EQ(file("mailin.txt"), inboxFile({"b@x", "n@x", "c@x"}));
  EXPECT_EQ(rows(w->pophistlist), (Strings{"b@x", "n@x", "c@x"}));
  EXPECT_EQ(w->statusText(), "mailin.txt was changed by another program; both changes were kept");

  // And again, this time the window deletes while the other writer appends.
  write("mailin.txt", file("mailin.txt") + inboxFile({"m@x"}).substr(10));
  select(w->pophistlist, 0);
  w->Delete1Click();
  EXPECT_EQ(file("mailin.txt"), inboxFile({"n@x", "c@x", "m@x"}));
  EXPECT_EQ(rows(w->pophistlist), (Strings{"n@x", "c@x", "m@x"}));

  // With no change behind its back the window appends as before, and duplicates survive.
  receive(*w, "c@x");
  EXPECT_EQ(file("mailin.txt"), inboxFile({"n@x", "c@x", "m@x", "c@x"}));
  EXPECT_TRUE(dialogs.errors().empty());
}

TEST_F(OneWriterTest, DeleteAllKeepsWhatTheOtherWriterAddedMeanwhile) {
  write("mailin.txt", inboxFile({"a@x", "b@x"}));
  auto w = open(dialogs);
  write("mailin.txt", inboxFile({"a@x", "b@x", "n@x"}));
  dialogs.queue(true);
  w->DeleteAll1Click();
  EXPECT_EQ(file("mailin.txt"), inboxFile({"n@x"}));
  EXPECT_EQ(rows(w->pophistlist), (Strings{"n@x"}));
}

TEST_F(OneWriterTest, AStoreDamagedBehindTheWindowIsNeverWrittenOver) {
  write("mailin.txt", inboxFile({"a@x"}));
  auto w = open(dialogs);
  const std::string damaged = "Received\r\n\tmsg\r\n\t\t\t\tdeep\r\n";
  write("mailin.txt", damaged);
  EXPECT_FALSE(w->guard([&] { receive(*w, "c@x"); }));
  ASSERT_EQ(dialogs.errors().size(), 1u);
  EXPECT_EQ(dialogs.errors()[0], "Cannot save " + folder +
                                     "mailin.txt: another program changed it and it cannot be read now (Invalid "
                                     "level (4) for item \"deep\")");
  EXPECT_EQ(file("mailin.txt"), damaged);
}

TEST_F(OneWriterTest, AStoreMadeBehindTheWindowIsMergedNotReplaced) {
  auto w = open(dialogs);  // no store yet
  write("mailin.txt", inboxFile({"n@x"}));
  receive(*w, "c@x");
  EXPECT_EQ(file("mailin.txt"), inboxFile({"n@x", "c@x"}));

  // A store file taken away is not a deletion of every message: the window writes its own.
  ::unlink((folder + "mailin.txt").c_str());
  receive(*w, "d@x");
  EXPECT_EQ(file("mailin.txt"), inboxFile({"n@x", "c@x", "d@x"}));
}

TEST_F(OneWriterTest, OutboxChangedBehindTheWindowKeepsBothSides) {
  const auto record = [](const std::string& subject) {
    return "\tmsg\r\n\t\tFromAddress\r\n\t\t\tme@x\r\n\t\tFromName\r\n\t\t\tMe\r\n\t\tSubject\r\n\t\t\t" + subject +
           "\r\n\t\tToAddress\r\n\t\t\tyou@x\r\n\t\tAttachments\r\n\t\tBody\r\n\t\t\tbody\r\n";
  };
  write("mailout.txt", "Send Mail\r\n" + record("one"));
  auto w = open(dialogs);
  write("mailout.txt", "Send Mail\r\n" + record("one") + record("other"));
  corvane::SetText(w->localemail, "me@x");
  corvane::SetText(w->localname, "Me");
  corvane::SetText(w->outsubject, "mine");
  corvane::SetItems(w->mailto, {"you@x"});
  corvane::SetMemoLines(w->outbody, {"body"});
  w->outsaveClick();
  EXPECT_EQ(file("mailout.txt"), "Send Mail\r\n" + record("one") + record("other") + record("mine"));
  EXPECT_EQ(listrows::Count(w->sendhistlist), 3);
  EXPECT_EQ(listrows::Text(w->sendhistlist, 1, 1), "other");
}

TEST_F(OneWriterTest, AddressBookChangedBehindTheWindowKeepsBothSides) {
  write("mailbook.txt", "A=a@x\r\nB=b@x\r\n");
  auto w = open(dialogs);
  write("mailbook.txt", "N=n@x\r\nA=a@x\r\nB=b@x\r\n");
  corvane::SetText(w->selectaddr, "C=c@x");
  w->addnewaddrClick();
  EXPECT_EQ(file("mailbook.txt"), "C=c@x\r\nN=n@x\r\nA=a@x\r\nB=b@x\r\n");
  EXPECT_EQ(corvane::GetItems(w->selectaddr), (Strings{"C=c@x", "N=n@x", "A=a@x", "B=b@x"}));
  EXPECT_EQ(w->selectaddr->currentIndex(), 0);

  // The other writer deletes B while the window deletes its selected entry C.
  write("mailbook.txt", "C=c@x\r\nN=n@x\r\nA=a@x\r\n");
  w->deladdrClick();
  EXPECT_EQ(file("mailbook.txt"), "N=n@x\r\nA=a@x\r\n");
  EXPECT_EQ(corvane::GetItems(w->selectaddr), (Strings{"N=n@x", "A=a@x"}));
}

TEST_F(OneWriterTest, TheProgramsFilesArePrivateEvenUnderAnOpenUmask) {
  const mode_t old = ::umask(022);
  {
    write("mailin.txt", "Received\r\n\tmsg\r\n\t\t\t\tdeep\r\n");  // damaged: kept aside at start-up
    ::chmod((folder + "mailin.txt").c_str(), 0644);
    auto w = open(dialogs);
    receive(*w, "a@x");
    corvane::SetText(w->selectaddr, "A=a@x");
    w->addnewaddrClick();
    corvane::SetText(w->localemail, "me@x");
    w->outsaveClick();
    w->insavecheck->setChecked(true);
    w->insaveClick();
  }
  ::umask(old);
  for (const char* name :
       {"mailin.txt", "mailin.txt.damaged", "mailout.txt", "mailbook.txt", "corvane.ini", "corvane.lock"})
    EXPECT_EQ(modeOf(folder + name), 0600u) << name;
}

}  // namespace
