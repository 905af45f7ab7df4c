// The store on its index: the index is trusted only while it fits the file, deletions are
// journaled and compacted into exactly the bytes the text tree writes, and a crash at any
// step of a deletion or compaction loses no kept message and brings back no deleted one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "FailureOf.h"
#include "InboxStore.h"
#include "OutboxStore.h"
#include "StoreTestSupport.h"
#include "Streams.h"
#include "SysUtils.h"
#include "TextTree.h"

using namespace storetest;

namespace {

using Strings = std::vector<std::string>;

Strings rowsOf(const MessageStore& store) {
  Strings rows;
  for (int r = 0; r < store.Count(); ++r) {
    const MessageStore::Row row = store.RowAt(r);
    rows.push_back(row.From + "|" + row.Subject + (row.Failure.empty() ? "" : "|" + row.Failure));
  }
  return rows;
}

// The inbox as the text tree holds it: what the store must write after the same steps.
class ReferenceInbox {
 public:
  ReferenceInbox() { tree_.AddTopLevel("Received"); }
  explicit ReferenceInbox(std::string_view file) { tree_.Parse(file); }

  void Store(const InboxMessage& m) {
    TextTree::Node& record = tree_.AddChild(tree_.FirstNode(), "msg");
    const std::vector<TLineList> values{{m.From}, {m.Subject}, TLineList(m.Header), m.Body, TLineList(m.Attachments)};
    const char* labels[] = {"From", "Subject", "header", "body", "attachments"};
    for (size_t i = 0; i < 5; ++i) {
      TextTree::Node& label = tree_.AddChild(record, labels[i]);
      TLineList lines = values[i];
      corvane::MakeStoreValues(lines);
      for (const std::string_view line : lines) tree_.AddChild(label, std::string(line));
    }
  }
  void Delete(int r) { tree_.Delete(tree_.Child(tree_.FirstNode(), r)); }
  void DeleteAll() { tree_.DeleteChildren(tree_.FirstNode()); }
  int Count() const { return tree_.FirstNode().Count(); }
  std::string Bytes() const { return tree_.Serialize(); }
  Strings Rows() const {
    Strings rows;
    for (int r = 0; r < Count(); ++r) {
      const TextTree::Node& record = tree_.Child(tree_.FirstNode(), r);
      const auto first = [&](int label) {
        const TextTree::Node& node = tree_.Child(record, label);
        return node.Count() > 0 ? std::string(TextTree::ChildText(node, 0)) : std::string();
      };
      rows.push_back(first(0) + "|" + first(1));
    }
    return rows;
  }

 private:
  TextTree tree_;
};

// A message of its own: no two the same, so a merge by content is as exact as one by place.
InboxMessage uniqueMessage(std::mt19937& random, int n) {
  InboxMessage m;
  m.From =
      (n % 5 == 0 ? "  " : "") + std::string("S\xc3\xa9nder ") + std::to_string(n) + " <s" + std::to_string(n) + "@x>";
  m.Subject = n % 7 == 0 ? "" : "Subject " + std::to_string(n) + "  ";
  m.Header = {"Received: by test", "Date: Mon, " + std::to_string(n % 28 + 1) + " Jan 2024 10:00:00 +0000"};
  const int lines = random() % 9 == 0 ? 3000 : static_cast<int>(random() % 30);
  for (int i = 0; i < lines; ++i) m.Body.Add((i % 4 == 0 ? "\t" : "") + std::string("line ") + std::to_string(i));
  if (n % 3 == 0) m.Attachments = {"file" + std::to_string(n) + ".bin"};
  return m;
}

// Gives a file a modification time long past, as an editor that keeps times could.
void setOldTime(const std::string& path) {
  const struct timespec times[2] = {{978307200, 0}, {978307200, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Runs what the event loop owes the store: the end of a background compaction.
void pumpEvents() {
  QCoreApplication::processEvents();
}

}  // namespace

TEST(StoreIndex, ReadingFollowsTheTreesRulesForEveryShapeOfFile) {
  struct Case {
    std::string file;
    Strings inboxRows;
    std::string damage;
  };
  const std::string rec = "\tmsg\r\n\t\tFrom\r\n\t\t\ta\r\n\t\tSubject\r\n\t\t\ts\r\n\t\theader\r\n\t\tbody\r\n";
  const Case cases[] = {
      {"", {}, ""},
      {"Received\r\n", {}, ""},
      {"Received\r\n" + rec + rec, {"a|s", "a|s"}, ""},
      // Spaces and lone line ends, no end after the last line, an indented root.
      {"  Root\n msg\r  From\n   a\r\n  Subject\n   s", {"a|s"}, ""},
      // A record without its subject label, one without a sender value.
      {"R\r\n\tmsg\r\n\t\tFrom\r\n\t\t\tb\r\n\tmsg\r\n\t\tFrom\r\n\t\tSubject\r\n\t\t\tt\r\n",
       {"b||List index out of bounds (1)", "|t|List index out of bounds (0)"},
       ""},
      // Top-level lines after the records stay after them; a level-0 line ends the records.
      {"R\r\n" + rec + "Other\r\n\tmsg\r\n\t\tnot a record\r\n", {"a|s"}, ""},
      // An invalid level stops the reading: the record before it is cut there.
      {"R\r\n" + rec + "\tmsg\r\n\t\tFrom\r\n\t\t\t\t\tdeep line\r\n" + rec,
       {"a|s", "||List index out of bounds (0)"},
       "Invalid level (5) for item \"deep line\""},
      {"R\r\n\t\tFrom\r\n", {}, "Invalid level (2) for item \"From\""},
      // A NUL is an ordinary byte, a CR LF split by nothing special.
      {"R\r\n\tmsg\r\n\t\tFrom\r\n\t\t\tn" + std::string(1, '\0') + "l\r\n\t\tSubject\r\n",
       {"n" + std::string(1, '\0') + "l|"},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TempFolder tmp;
    corvane::WriteFileAtomically(tmp.path("mailin.txt"), c.file);
    InboxStore store(tmp.path("mailin.txt"));
    const MessageStore::LoadReport report = store.Load();
    EXPECT_EQ(rowsOf(store), c.inboxRows);
    TextTree tree;
    try {
      tree.Parse(c.file);
    } catch (const ETextTreeError& e) {
      EXPECT_EQ(e.Message(), c.damage);
    }
    if (tree.Empty()) tree.AddTopLevel("Received");
    EXPECT_EQ(store.Serialized(), tree.Serialize());
    if (!c.damage.empty()) {
      EXPECT_EQ(report.failure, c.damage);
    }
    // A read from the index gives the same.
    InboxStore again(tmp.path("mailin.txt"));
    again.Load();
    EXPECT_EQ(rowsOf(again), c.inboxRows);
  }
}

TEST(StoreIndex, RowsKeepTheDateAndCutLongTextsAtACharacter) {
  TempFolder tmp;
  InboxStore store(tmp.path("mailin.txt"));
  store.Load();
  InboxMessage m = message("a");
  m.Header = {"X-Date: not this", "DATE:  Tue, 2 Jan 2024 08:00:00 +0100 ", "Date: nor this"};
  m.Subject = std::string(StoreIndex::kTextBytes - 1, 'x') + "\xc3\xa9 tail";
  store.Store(m);
  InboxStore again(tmp.path("mailin.txt"));
  again.Load();
  const MessageStore::Row row = again.RowAt(0);
  EXPECT_EQ(row.Date, "Tue, 2 Jan 2024 08:00:00 +0100");
  EXPECT_EQ(row.Subject, std::string(StoreIndex::kTextBytes - 1, 'x'));
  // The record itself keeps the whole subject.
  std::string subject;
  ASSERT_TRUE(again.FirstValue(0, InboxStore::lbSubject, subject));
  EXPECT_EQ(subject, m.Subject);
}

TEST(StoreIndex, AnIndexIsTrustedOnlyWhileItFitsTheFile) {
  const std::string extra = "\tmsg\r\n\t\tFrom\r\n\t\t\tnew\r\n\t\tSubject\r\n\t\t\tadded\r\n";
  enum class Read { Nothing, Tail, All };
  struct Case {
    const char* what;
    std::function<void(const std::string& store, const std::string& index)> change;
    Read read;
    Strings last;  // the last rows after the reading
  };
  const auto rewrite = [](const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  };
  const Case cases[] = {
      {"nothing changed", [](auto&, auto&) {}, Read::Nothing, {"m2|Subject of m2"}},
      {"index removed", [](auto&, auto& index) { ::unlink(index.c_str()); }, Read::All, {"m2|Subject of m2"}},
      {"a record appended by another program",
       [&](auto& store, auto&) { appendRaw(store, extra); },
       Read::Tail,
       {"m2|Subject of m2", "new|added"}},
      {"lines added to the last record",
       [](auto& store, auto&) { appendRaw(store, "\t\t\tmore body\r\n"); },
       Read::Tail,
       {"m2|Subject of m2"}},
      {"same size, other bytes",
       [&](auto& store, auto&) {
         std::string bytes = corvane::ReadFile(store);
         bytes.replace(bytes.find("\t\t\tm2\r\n") + 3, 2, "m9");
         rewrite(store, bytes);
       },
       Read::All,
       {"m9|Subject of m2"}},
      {"touched only", [&](auto& store, auto&) { setOldTime(store); }, Read::All, {"m2|Subject of m2"}},
      {"replaced by a copy",
       [](auto& store, auto&) { corvane::WriteFileAtomically(store, corvane::ReadFile(store)); },
       Read::All,
       {"m2|Subject of m2"}},
      {"index cut short",
       [](auto&, auto& index) { ASSERT_EQ(::truncate(index.c_str(), 100), 0); },
       Read::All,
       {"m2|Subject of m2"}},
      {"index with a byte changed",
       [&](auto&, auto& index) {
         std::string bytes = corvane::ReadFile(index);
         bytes[bytes.size() / 2] ^= 1;
         corvane::WriteFileAtomically(index, bytes);
       },
       Read::All,
       {"m2|Subject of m2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder tmp;
    const std::string path = tmp.path("mailin.txt");
    {
      InboxStore store(path);
      store.Load();
      for (int i = 0; i < 3; ++i) store.Store(message("m" + std::to_string(i), 20));
    }
    ASSERT_TRUE(corvane::FileExists(path + ".index"));
    c.change(path, path + ".index");
    InboxStore store(path);
    const int64_t toRead = store.Open();
    const int64_t size = static_cast<int64_t>(corvane::ReadFile(path).size());
    if (c.read == Read::Nothing) {
      EXPECT_EQ(toRead, 0);
    }
    if (c.read == Read::Tail) {
      EXPECT_TRUE(toRead > 0 && toRead < size / 2) << toRead;
    }
    if (c.read == Read::All) {
      EXPECT_EQ(toRead, size);
    }
    store.Scan();
    EXPECT_EQ(store.Finish().failure, "");
    const Strings rows = rowsOf(store);
    EXPECT_EQ(Strings(rows.end() - static_cast<long>(c.last.size()), rows.end()), c.last);
    EXPECT_EQ(store.Serialized(), corvane::ReadFile(path));
    // The index was made anew for the file as it is now.
    InboxStore next(path);
    EXPECT_EQ(next.Open(), 0);
  }
}

TEST(StoreIndex, AMessageChangedInPlaceIsNotShownAsAnotherAndTheNextSaveMerges) {
  TempFolder tmp;
  const std::string path = tmp.path("mailin.txt");
  InboxStore store(path);
  store.Load();
  store.Store(message("first", 5));
  store.Store(message("second", 5));
  std::string bytes = corvane::ReadFile(path);
  bytes.replace(bytes.find("body line 3"), 11, "BODY LINE 3");
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
  setOldTime(path);  // a time stamp of its own, whatever the clock's grain
  EXPECT_EQ(FailureOf([&] { store.Values(0, InboxStore::lbBody); }),
            "mailin.txt was changed by another program: the message is no longer where the list shows it");
  store.Store(message("third"));
  EXPECT_TRUE(store.TakeMerged());
  EXPECT_EQ(store.Values(0, InboxStore::lbBody)[3], "BODY LINE 3");
  EXPECT_EQ(rowsOf(store).size(), 3u);
}

TEST(StoreIndex, RandomStoresAndDeletionsLeaveTheBytesTheTreeWrites) {
  // Each run: its seed, the size above which deletions are compacted in the background,
  // and the file it starts from.
  struct Run {
    unsigned seed;
    int64_t backgroundAbove;
    std::string start;
  };
  const Run runs[] = {
      {1, 0, ""},
      {2, 64 * 1024, ""},
      {3, 0, "Received\n msg\n  From\n   old\n  Subject\n   kept\n  header\n  body\n   x\n  attachments\n"},
  };
  for (const Run& run : runs) {
    SCOPED_TRACE(run.seed);
    TempFolder tmp;
    const std::string path = tmp.path("mailin.txt");
    if (!run.start.empty()) corvane::WriteFileAtomically(path, run.start);
    ReferenceInbox reference = run.start.empty() ? ReferenceInbox() : ReferenceInbox(run.start);
    std::mt19937 random(run.seed);
    auto store = std::make_unique<InboxStore>(path);
    const auto open = [&] {
      store.reset();
      store = std::make_unique<InboxStore>(path);
      store->SetBackgroundAbove(run.backgroundAbove);
      EXPECT_EQ(store->Load().failure, "");
    };
    open();
    bool behind = false;   // another program appended a record the store has not seen yet
    bool written = false;  // the store wrote the file: it is in the store's own form
    for (int step = 0, n = 0; step < 160; ++step) {
      const unsigned roll = random() % 100;
      if (roll < 42) {
        const InboxMessage m = uniqueMessage(random, ++n);
        store->Store(m);
        reference.Store(m);
        behind = false;
        written = true;
      } else if (roll < 70 && store->Count() > 0) {
        const int r = static_cast<int>(random() % static_cast<unsigned>(store->Count()));
        store->Delete(r);
        reference.Delete(r);
        behind = false;
        written = true;
      } else if (roll < 72) {
        store->DeleteAll();
        // What the other program added meanwhile is kept.
        while (reference.Count() > (behind ? 1 : 0)) reference.Delete(0);
        behind = false;
        written = true;
      } else if (roll < 80) {
        open();
        behind = false;
      } else if (roll < 88) {
        pumpEvents();
      } else if (roll < 94) {
        const bool due = store->CompactionDue();
        store->Compact();
        behind = behind && !due;
        if (written && !behind) {
          EXPECT_EQ(corvane::ReadFile(path), reference.Bytes()) << "step " << step;
        }
      } else if (!behind && reference.Count() > 0) {
        // Another program adds a record behind the store's back.
        const InboxMessage m = uniqueMessage(random, ++n);
        ReferenceInbox one;
        one.Store(m);
        appendRaw(path, one.Bytes().substr(10));
        reference.Store(m);
        behind = true;
      }
      if (!behind) {
        ASSERT_EQ(rowsOf(*store), reference.Rows()) << "step " << step;
      }
    }
    store.reset();
    if (written) {
      EXPECT_EQ(corvane::ReadFile(path), reference.Bytes());
    }
    EXPECT_FALSE(corvane::FileExists(path + ".deleted"));
    EXPECT_FALSE(corvane::FileExists(path + ".new"));
    InboxStore last(path);
    EXPECT_EQ(last.Open(), 0);
  }
}

TEST(StoreIndex, ACrashAtAnyStepOfDeletionAndCompactionLosesNothingAndBringsNothingBack) {
  // The child's steps, each with how many of its operations had taken effect there.
  struct CrashPoint {
    const char* step;
    int occurrence;
    int done;  // operations of the script below that must show after the crash
  };
  const CrashPoint points[] = {
      {"journaled", 1, 1}, {"copied", 1, 1},        {"journaled", 2, 3}, {"readdressed", 1, 3},
      {"replaced", 1, 3},  {"journal reset", 1, 3}, {"copied", 2, 3},    {"readdressed", 2, 3},
      {"replaced", 2, 3},  {"journal reset", 2, 3}, {"indexed", 1, 3},   {"", 0, 3},  // no crash before the end
  };
  std::vector<InboxMessage> kept;
  for (int i = 0; i < 6; ++i) kept.push_back(message("old " + std::to_string(i), 40 * (i + 1)));
  const InboxMessage added = message("new", 7);
  // The script: delete row 1, store a message while the copy runs, delete row 2, compact.
  std::vector<ReferenceInbox> after(4);
  for (ReferenceInbox& r : after)
    for (const InboxMessage& m : kept) r.Store(m);
  for (int done = 1; done <= 3; ++done) {
    after[done].Delete(1);
    if (done >= 2) after[done].Store(added);
    if (done >= 3) after[done].Delete(2);
  }

  for (const CrashPoint& point : points) {
    SCOPED_TRACE(std::string(point.step) + " " + std::to_string(point.occurrence));
    TempFolder tmp;
    const std::string path = tmp.path("mailin.txt");
    {
      InboxStore store(path);
      store.Load();
      for (const InboxMessage& m : kept) store.Store(m);
    }
    runAndKill([&](int fd) {
      InboxStore store(path);
      store.SetBackgroundAbove(0);
      store.Load();
      std::map<std::string, int, std::less<>> seen;
      std::atomic<bool> copied{false};
      store.OnStep = [&](std::string_view step) {
        const int occurrence = ++seen[std::string(step)];
        if (step == point.step && occurrence == point.occurrence) {
          ready(fd);
          for (int i = 0; i < 1000; ++i) ::pause();
          ::_exit(5);
        }
        if (step == "copied") copied = true;
      };
      store.Delete(1);
      // The copy runs on its own thread: the script goes on once it is on disk.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (!copied && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      store.Store(added);
      store.Delete(2);
      store.Compact();
      ready(fd);
    });
    InboxStore reopened(path);
    reopened.SetBackgroundAbove(0);
    EXPECT_EQ(reopened.Load().failure, "");
    EXPECT_EQ(rowsOf(reopened), after[point.done].Rows());
    reopened.Compact();
    EXPECT_EQ(corvane::ReadFile(path), after[point.done].Bytes());
    EXPECT_FALSE(corvane::FileExists(path + ".deleted"));
    EXPECT_FALSE(corvane::FileExists(path + ".new"));
  }
}

TEST(StoreIndex, TheDeletionJournalIsTakenForWhatItSurelyNames) {
  TempFolder tmp;
  const std::string path = tmp.path("mailin.txt");
  std::vector<InboxMessage> messages;
  for (int i = 0; i < 4; ++i) messages.push_back(message("m" + std::to_string(i)));
  {
    InboxStore store(path);
    store.Load();
    for (const InboxMessage& m : messages) store.Store(m);
  }
  const std::string original = corvane::ReadFile(path);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const auto journalFor = [&](unsigned long long inode, const Strings& lines) {
    std::string out = "Deleted\r\n\tstore " + std::to_string(inode) + "\r\n";
    for (const std::string& line : lines) out += line;
    return out;
  };
  // The entries the store itself journals, taken from a deletion it makes.
  Strings entries;
  {
    corvane::WriteFileAtomically(tmp.path("probe.txt"), original);
    InboxStore probe(tmp.path("probe.txt"));
    probe.SetBackgroundAbove(0);
    probe.Load();
    for (int r : {2, 1}) {
      probe.OnStep = [&](std::string_view step) {
        if (step != "journaled") return;
        const std::string journal = corvane::ReadFile(tmp.path("probe.txt.deleted"));
        const size_t at = journal.rfind("\t\tmsg ");
        entries.insert(entries.begin(), journal.substr(at));
      };
      probe.Delete(r);
      probe.OnStep = nullptr;
      probe.Compact();
    }
  }
  ASSERT_EQ(entries.size(), 2u);  // rows 1 and 2, in that order
  const std::string torn = entries[1].substr(0, entries[1].find(' ', 8) + 3);
  // The journals name the store file as it is when each case begins: every case ends by
  // putting the original bytes back, under a new inode.
  struct Case {
    const char* what;
    std::function<std::string(unsigned long long inode)> journal;
    Strings rows;
  };
  const Case cases[] = {
      {"whole entries",
       [&](auto inode) { return journalFor(inode, entries); },
       {"m0|Subject of m0", "m3|Subject of m3"}},
      {"the last entry torn",
       [&](auto inode) {
         return journalFor(inode, {entries[0], torn});
       },
       {"m0|Subject of m0", "m2|Subject of m2", "m3|Subject of m3"}},
      {"another file's, by content",
       [&](auto inode) { return journalFor(inode + 1, {entries[1]}); },
       {"m0|Subject of m0", "m1|Subject of m1", "m3|Subject of m3"}},
      {"the old file's and this file's",
       [&](auto inode) {
         return journalFor(inode + 1, entries) + "\tstore " + std::to_string(inode) + "\r\n" + entries[0];
       },
       {"m0|Subject of m0", "m2|Subject of m2", "m3|Subject of m3"}},
      {"not a journal",
       [](auto) { return std::string("\x01\x02garbage\r\n\t\t\t\tdeep\r\n"); },
       {"m0|Subject of m0", "m1|Subject of m1", "m2|Subject of m2", "m3|Subject of m3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    corvane::WriteFileAtomically(path + ".deleted", c.journal(st.st_ino));
    {
      InboxStore store(path);
      store.SetBackgroundAbove(0);
      store.Load();
      EXPECT_EQ(rowsOf(store), c.rows);
    }
    ReferenceInbox reference;
    for (const std::string& row : c.rows) reference.Store(messages[static_cast<size_t>(row[1] - '0')]);
    EXPECT_EQ(corvane::ReadFile(path), reference.Bytes());
    EXPECT_FALSE(corvane::FileExists(path + ".deleted"));
    corvane::WriteFileAtomically(path, original);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
  }
}

TEST(StoreIndex, AReplacedRecordTakesItsPlaceAfterWhatWaitedForTheFile) {
  const auto values = [](const InboxMessage& m) {
    return std::vector<TLineList>{{m.From}, {m.Subject}, TLineList(m.Header), m.Body, TLineList(m.Attachments)};
  };
  // Before the replacement: nothing pending, a deletion still to compact, a record added
  // and not written yet.
  for (int pending = 0; pending < 3; ++pending) {
    SCOPED_TRACE(pending);
    TempFolder tmp;
    const std::string path = tmp.path("mailin.txt");
    std::vector<InboxMessage> shown;
    for (int i = 0; i < 4; ++i) shown.push_back(message("m" + std::to_string(i), 3 + i));
    InboxStore store(path);
    store.SetBackgroundAbove(pending == 1 ? 0 : 1 << 20);
    store.Load();
    for (const InboxMessage& m : shown) store.Store(m);
    if (pending == 1) {
      store.Delete(0);
      shown.erase(shown.begin());
    }
    if (pending == 2) {
      shown.push_back(message("added", 4));
      store.AddRecord(values(shown.back()));
    }
    shown[1] = message("new", 9);
    store.ReplaceRecord(1, values(shown[1]));
    ReferenceInbox expected;
    for (const InboxMessage& m : shown) expected.Store(m);
    EXPECT_EQ(corvane::ReadFile(path), expected.Bytes());
    EXPECT_EQ(rowsOf(store), expected.Rows());
    EXPECT_FALSE(corvane::FileExists(path + ".deleted"));
  }
}
