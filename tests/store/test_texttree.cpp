// The text tree file format and the journaled store file under it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "AddressBook.h"
#include "FailureOf.h"
#include "InboxStore.h"
#include "SeenIds.h"
#include "StoreTestSupport.h"
#include "Streams.h"
#include "SysUtils.h"
#include "TextTree.h"

using namespace storetest;

TEST(TextTree, LoadThenSaveGivesTheSameBytes) {
  const std::string bytes = dataFile("roundtrip.txt");
  TextTree tree;
  EXPECT_TRUE(tree.Parse(bytes));  // exactly what the tree writes
  EXPECT_EQ(tree.TopCount(), 2);
  EXPECT_EQ(tree.Serialize(), bytes);
  // Trailing blanks are text, an empty value line is a node with empty text.
  const auto& record = tree.Child(tree.FirstNode(), 0);
  EXPECT_EQ(tree.Child(tree.Child(record, 1), 0).Text(), "Hello  ");
  EXPECT_EQ(tree.Child(tree.Child(record, 3), 0).Text(), "");
}

TEST(TextTree, SpaceAndMixedIndentLoadsAsLevelsAndSavesWithTabs) {
  TextTree tree;
  EXPECT_FALSE(tree.Parse(dataFile("spaces.txt")));
  EXPECT_EQ(tree.Serialize(), dataFile("spaces.expected"));
  EXPECT_FALSE(tree.Parse("r\r\n\tv"));    // no line end after the last line
  EXPECT_FALSE(tree.Parse("r\n\tv\r\n"));  // a lone LF
  EXPECT_FALSE(tree.Parse("\tr\r\n"));     // indent on the first line is dropped
}

TEST(TextTree, LineEndsLastLineAndLowerLevels) {
  TextTree tree;
  // Lone CR, lone LF, no end after the last line; a level-0 line starts a new top node,
  // a lower level continues under the ancestor at that level.
  tree.Parse("a\r\tb\n\t\tc\r\n\td\r\ne\r\n\t");
  EXPECT_EQ(tree.Serialize(), "a\r\n\tb\r\n\t\tc\r\n\td\r\ne\r\n\t\r\n");
  tree.Parse("root\r\n\tlast");
  EXPECT_EQ(tree.Child(tree.FirstNode(), 0).Text(), "last");
}

TEST(TextTree, NulIsKeptAsAnOrdinaryCharacter) {
  // A body line holding a NUL must not cut off every record stored after it.
  const std::string bytes("r\r\n\tv\0x\r\n\tw\r\n", 13);
  TextTree tree;
  tree.Parse(bytes);
  EXPECT_EQ(tree.FirstNode().Count(), 2);
  EXPECT_EQ(tree.Serialize(), bytes);
}

TEST(TextTree, InvalidLevelNamesLevelAndTextAndKeepsWhatWasBuilt) {
  TextTree tree;
  EXPECT_EQ(FailureOf([&] { tree.Parse("Received\r\n\tmsg\r\n\t\t\tbad item \r\n\tnever\r\n"); }),
            "Invalid level (3) for item \"bad item \"");
  EXPECT_EQ(tree.Serialize(), "Received\r\n\tmsg\r\n");
  // The first line is a top-level node whatever its indent; the next is measured from it.
  EXPECT_EQ(FailureOf([&] { tree.Parse("\t\tx\r\n\t\ty\r\n"); }), "Invalid level (2) for item \"y\"");
}

TEST(TextTree, EmptyTreeAndBadPositions) {
  TempFolder tmp;
  TextTree tree;
  EXPECT_EQ(FailureOf([&] { tree.FirstNode(); }), "Invalid index");
  corvane::WriteFileAtomically(tmp.path("empty.txt"), tree.Serialize());
  EXPECT_EQ(corvane::ReadFile(tmp.path("empty.txt")), "");
  auto& root = tree.AddTopLevel("r");
  tree.AddChild(root, "a");
  EXPECT_EQ(FailureOf([&] { tree.Child(root, 1); }), "List index out of bounds (1)");
  EXPECT_EQ(FailureOf([&] { tree.Child(root, -1); }), "List index out of bounds (-1)");
  tree.Delete(tree.Child(root, 0));
  EXPECT_EQ(tree.Serialize(), "r\r\n");
  EXPECT_EQ(FailureOf([&] { corvane::WriteFileAtomically(tmp.path("no/such/folder.txt"), tree.Serialize()); }),
            "Cannot create file " + tmp.path("no/such/folder.txt"));
}

TEST(TextTree, StoreValueDropsLeadingControlsAndBreaksLines) {
  EXPECT_EQ(corvane::StoreValue(" \t\x01\x1fvalue  "), "value  ");
  EXPECT_EQ(corvane::StoreValue("two\r\nlines\rand\nmore"), "two  lines and more");
  EXPECT_EQ(corvane::StoreValue("\xa0x"), "\xa0x");  // bytes above 32 stay
}

TEST(TextTree, ValueLinesKeptPackedReadWriteAndCopyAsNodesWould) {
  // Leaves under a node, a leaf that gets a child of its own, a lower level after a run
  // of leaves, and a second top-level node.
  const std::string bytes = "r\r\n\ta\r\n\tb\r\n\t\tc\r\n\t\td\r\n\te\r\n\t\tf\r\n\tg\r\n\t\t\r\nq\r\n\tv\r\n";
  TextTree tree;
  ASSERT_TRUE(tree.Parse(bytes));
  EXPECT_EQ(tree.Serialize(), bytes);
  const TextTree::Node& root = tree.FirstNode();
  ASSERT_EQ(root.Count(), 4);
  EXPECT_EQ(TextTree::ChildText(root, 1), "b");
  const TextTree::Node& b = tree.Child(root, 1);
  EXPECT_EQ(b.Count(), 2);
  EXPECT_EQ(TextTree::ChildText(b, 1), "d");
  EXPECT_EQ(TextTree::ChildText(tree.Child(root, 3), 0), "");
  EXPECT_EQ(FailureOf([&] { TextTree::ChildText(b, 2); }), "List index out of bounds (2)");

  // Reading a leaf as a node, or giving it a sibling node, keeps every line in its place.
  TextTree::Node& label = tree.Child(b, 0);
  EXPECT_EQ(label.Text(), "c");
  tree.AddChild(label, "new");
  tree.AddLeaf(tree.Child(root, 3), "h");
  EXPECT_EQ(tree.Serialize(),
            "r\r\n\ta\r\n\tb\r\n\t\tc\r\n\t\t\tnew\r\n\t\td\r\n\te\r\n\t\tf\r\n\tg\r\n\t\t\r\n\t\th\r\nq\r\n\tv\r\n");

  TextTree copy;
  copy.AddCopy(nullptr, tree.TopNode(0));
  copy.AddCopy(nullptr, tree.TopNode(1));
  EXPECT_EQ(copy.Serialize(), tree.Serialize());
  std::string pieces;
  TextTree::SerializeNode(tree.TopNode(0), [&](std::string_view piece) { pieces += piece; });
  std::string whole;
  TextTree::SerializeNode(tree.TopNode(0), whole);
  EXPECT_EQ(pieces, whole);

  // Leaves handed over whole, then more after them, then cleared.
  TextTree::Node& top = copy.AddTopLevel("t");
  copy.AddLeaves(top, TLineList{"1", "2"});
  copy.AddLeaves(top, TLineList{"3"});
  copy.AddLeaves(copy.Child(copy.FirstNode(), 0), TLineList{"after nodes"});
  EXPECT_EQ(copy.Serialize(),
            "r\r\n\ta\r\n\t\tafter nodes\r\n\tb\r\n\t\tc\r\n\t\t\tnew\r\n\t\td\r\n\te\r\n"
            "\t\tf\r\n\tg\r\n\t\t\r\n\t\th\r\nq\r\n\tv\r\nt\r\n\t1\r\n\t2\r\n\t3\r\n");
  copy.DeleteChildren(top);
  EXPECT_EQ(top.Count(), 0);
  EXPECT_TRUE(copy.Serialize().ends_with("\tv\r\nt\r\n"));
}

TEST(TextTree, RecordValuesAreMadeStoreValuesInPlace) {
  TempFolder tmp;
  InboxStore store(tmp.path("mailin.txt"));
  InboxMessage m{"  from", "\tsubject", {"Received: x"}, {}, {}};
  m.Body = TLineList{"  indented",
                     "\x01\x02"
                     "control",
                     "a\r\nb", "", "last  "};
  store.Store(std::move(m));
  EXPECT_EQ(store.Values(0, InboxStore::lbBody),
            (std::vector<std::string>{"indented", "control", "a  b", "", "last  "}));
  EXPECT_EQ(store.FirstValues(0, InboxStore::lbBody, 19), (std::vector<std::string>{"indented", "control"}));
  EXPECT_EQ(store.FirstValues(0, InboxStore::lbBody, 1), std::vector<std::string>{"indented"});
  EXPECT_EQ(store.RowAt(0).From, "from");
  EXPECT_EQ(store.RowAt(0).Subject, "subject");
  EXPECT_EQ(corvane::ReadFile(tmp.path("mailin.txt")),
            "Received\r\n\tmsg\r\n\t\tFrom\r\n\t\t\tfrom\r\n\t\tSubject\r\n\t\t\tsubject\r\n\t\theader\r\n"
            "\t\t\tReceived: x\r\n\t\tbody\r\n\t\t\tindented\r\n\t\t\tcontrol\r\n\t\t\ta  b\r\n\t\t\t\r\n"
            "\t\t\tlast  \r\n\t\tattachments\r\n");
}

// ---- the store file ---------------------------------------------------------------------

TEST(StoreFile, AppendsLeaveExactlyTheBytesOfAWholeRewrite) {
  TempFolder tmp;
  const std::string path = tmp.path("mailin.txt");
  {
    InboxStore store(path);
    store.Load();
    for (int i = 0; i < 5; ++i) store.Store(message("m" + std::to_string(i)));
    EXPECT_EQ(corvane::ReadFile(path), store.Serialized());
    // A file changed behind the store's back, or one not written as the tree would write
    // it, is rewritten rather than appended to.
    appendRaw(path, "junk\r\n");
    store.Store(message("after"));
    EXPECT_EQ(corvane::ReadFile(path), store.Serialized());
    EXPECT_FALSE(corvane::FileExists(path + ".journal"));
  }
  InboxStore reloaded(path);
  reloaded.Load();
  EXPECT_EQ(reloaded.Count(), 6);
  EXPECT_EQ(reloaded.RowAt(5).From, "after");

  const std::string spaced = tmp.path("spaced.txt");
  appendRaw(spaced, "Received\r\n msg\r\n  From\r\n   a\r\n  Subject\r\n");
  InboxStore store(spaced);
  store.Load();
  store.Store(message("b"));
  EXPECT_EQ(corvane::ReadFile(spaced), store.Serialized());
}

TEST(StoreFile, CrashDuringAnAppendLeavesTheOldOrTheNewContent) {
  TempFolder tmp;
  const std::string path = tmp.path("mailin.txt");
  const std::string journal = path + ".journal";
  InboxStore store(path);
  store.Load();
  store.Store(message("kept"));
  const std::string before = corvane::ReadFile(path);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const std::string record = "\tmsg\r\n\t\tFrom\r\n\t\t\tnew\r\n\t\tSubject\r\n";
  const std::string entry = TreeStoreFile::JournalLine(st.st_ino, std::ssize(before), record);
  const auto crashAndLoad = [&](const std::string& journalText, const std::string& appended) -> std::string {
    EXPECT_EQ(::truncate(path.c_str(), static_cast<off_t>(before.size())), 0);
    appendRaw(journal, journalText);
    appendRaw(path, appended);
    InboxStore reloaded(path);
    reloaded.Load();
    EXPECT_FALSE(corvane::FileExists(journal));
    return corvane::ReadFile(path);
  };
  // Torn in the middle of the record: cut back.
  EXPECT_EQ(crashAndLoad(entry, record.substr(0, 20)), before);
  // Whole on disk, the journal not yet removed: kept.
  EXPECT_EQ(crashAndLoad(entry, record), before + record);
  // The right length but other bytes (blocks never written): cut back.
  EXPECT_EQ(crashAndLoad(entry, std::string(record.size(), '\0')), before);
  // A journal torn while being written came before any append: the file is left alone.
  EXPECT_EQ(crashAndLoad(entry.substr(0, entry.size() - 3), "\tmsg\r\n"), before + "\tmsg\r\n");
  // A journal naming another file (the store was rewritten since) changes nothing.
  EXPECT_EQ(crashAndLoad("append 1 3 9 0 end\n", "\tmsg\r\n"), before + "\tmsg\r\n");
}

TEST(StoreFile, ABatchKilledAnywhereLeavesALoadableStoreBeforeOrAfterIt) {
  TempFolder tmp;
  const std::string path = tmp.path("mailin.txt");
  {
    InboxStore store(path);
    store.Load();
    store.Store(message("old 1"));
    store.Store(message("old 2"));
  }
  const std::string before = corvane::ReadFile(path);
  InboxStore whole(path);
  whole.Load();
  for (int i = 0; i < 3; ++i) whole.AddRecord({{"new " + std::to_string(i)}, {"s"}, {}, {"b"}, {}});
  const std::string after = whole.Serialized();

  struct Case {
    int stored;
    bool commit;
    std::string tornTail;  // what a power cut could leave after the last write
    std::string expected;
  };
  const std::string torn = "\tmsg\r\n\t\tFrom\r\n\t\t\tha";
  for (const Case& c : {Case{0, false, "", before}, Case{2, false, "", before}, Case{3, false, torn, before},
                        Case{3, true, "", after}}) {
    SCOPED_TRACE(std::to_string(c.stored) + (c.commit ? " committed" : ""));
    corvane::WriteFileAtomically(path, before);
    runAndKill([&](int fd) {
      InboxStore store(path);
      store.Load();
      store.BeginBatch();
      for (int i = 0; i < c.stored; ++i) store.Store(InboxMessage{"new " + std::to_string(i), "s", {}, {"b"}, {}});
      if (c.commit) store.CommitBatch();
      ready(fd);
    });
    appendRaw(path, c.tornTail);
    InboxStore reloaded(path);
    const auto report = reloaded.Load();
    EXPECT_EQ(report.failure, "");
    EXPECT_EQ(corvane::ReadFile(path), c.expected);
    EXPECT_FALSE(corvane::FileExists(path + ".journal"));
  }
}

// A whole rewrite inside a batch (the user deletes a row while a session stores) keeps the
// batch's records undoable: they stay only once the unique-id file names the batch, the
// session's one commit step; the user's deletion stays either way.
TEST(StoreFile, ARewriteInsideABatchKeepsItsRecordsUntilTheIdFileCommitsThem) {
  for (const bool committed : {false, true}) {
    SCOPED_TRACE(committed ? "committed" : "not committed");
    TempFolder tmp;
    const std::string path = tmp.path("mailin.txt");
    {
      InboxStore store(path);
      store.Load();
      store.Store(message("old"));
    }
    runAndKill([&](int fd) {
      InboxStore store(path);
      store.Load();
      store.BeginBatch();
      store.Store(message("first"));
      store.Delete(0);
      store.Store(message("second"));
      if (committed) {
        SeenIds ids(tmp.path(SeenIds::kFileName), "host", "user");
        ids.Begin({}, 0);
        ids.Commit(store.PrepareBatch(), 0);
      }
      ready(fd);
    });
    if (!committed) appendRaw(path, "\tmsg\r\n\t\tFr");
    InboxStore reloaded(path);
    EXPECT_EQ(reloaded.Load().failure, "");
    std::vector<std::string> from;
    for (int r = 0; r < reloaded.Count(); ++r) from.push_back(reloaded.RowAt(r).From);
    EXPECT_EQ(from, committed ? (std::vector<std::string>{"first", "second"}) : std::vector<std::string>{});
  }
}

// A session whose commit failed leaves its batch journaled; the next session's batch goes
// on with it, so a crash before that one commits undoes both: their messages are still
// on the server, and none may come twice.
TEST(StoreFile, ABatchWhoseCommitFailedIsUndoneWithTheNextOneUntilThatCommits) {
  TempFolder tmp;
  const std::string path = tmp.path("mailin.txt");
  {
    InboxStore store(path);
    store.Load();
    store.Store(message("old"));
  }
  const std::string before = corvane::ReadFile(path);
  runAndKill([&](int fd) {
    InboxStore store(path);
    store.Load();
    store.BeginBatch();
    store.Store(message("first session"));
    store.PrepareBatch();  // synced, but the id file was never written
    store.BeginBatch();
    store.Store(message("second session"));
    ready(fd);
  });
  InboxStore reloaded(path);
  EXPECT_EQ(reloaded.Load().failure, "");
  EXPECT_EQ(corvane::ReadFile(path), before);
}

TEST(StoreFile, ACommittedBatchIsWhatWholeSavesWouldHaveWritten) {
  TempFolder tmp;
  const std::string batched = tmp.path("a.txt"), single = tmp.path("b.txt");
  InboxStore a(batched), b(single);
  a.Load();
  b.Load();
  a.BeginBatch();
  for (int i = 0; i < 5; ++i) {
    a.Store(message("m" + std::to_string(i), i));
    b.Store(message("m" + std::to_string(i), i));
  }
  a.CommitBatch();
  a.CommitBatch();  // a second commit outside a batch does nothing
  EXPECT_EQ(corvane::ReadFile(batched), corvane::ReadFile(single));
  EXPECT_FALSE(corvane::FileExists(batched + ".journal"));
  // After the batch, appends are journaled and synced one by one again.
  a.Store(message("later"));
  b.Store(message("later"));
  EXPECT_EQ(corvane::ReadFile(batched), corvane::ReadFile(single));
}

TEST(StoreFile, RecordsLargerThanAWritePieceAreWrittenWholeAndMergedOnce) {
  TempFolder tmp;
  const std::string path = tmp.path("mailin.txt");
  InboxStore a(path);
  a.Load();
  a.BeginBatch();
  a.Store(message("big 1", 80000));  // a new file: written whole
  a.Store(message("big 2", 80000));  // appended
  a.CommitBatch();
  ASSERT_GT(corvane::ReadFile(path).size(), 2u << 20);
  EXPECT_EQ(corvane::ReadFile(path), a.Serialized());

  // Another writer adds a record; this side's next save merges by record hashes, which
  // must match however the big records were written.
  InboxStore b(path);
  b.Load();
  b.Store(message("theirs"));
  a.Store(message("mine"));
  InboxStore after(path);
  after.Load();
  std::vector<std::string> senders;
  for (int r = 0; r < after.Count(); ++r) senders.push_back(after.RowAt(r).From);
  EXPECT_EQ(senders, (std::vector<std::string>{"big 1", "big 2", "theirs", "mine"}));
  EXPECT_EQ(after.Values(1, InboxStore::lbBody).size(), 80000u);
}

TEST(StoreFile, FailedSaveKeepsTheRecordAndTheNextSaveWritesEverything) {
  TempFolder tmp;
  const std::string folder = tmp.path("sub");
  const std::string path = folder + "/mailin.txt";
  InboxStore store(path);
  store.Load();
  EXPECT_EQ(FailureOf([&] { store.Store(message("first")); }), "Cannot create file " + path);
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  store.Store(message("second"));
  InboxStore reloaded(path);
  reloaded.Load();
  ASSERT_EQ(reloaded.Count(), 2);
  EXPECT_EQ(reloaded.RowAt(0).From, "first");
}

TEST(StoreFile, DamagedFileIsCopiedAsideOnceUnderAFreeName) {
  TempFolder tmp;
  const std::string path = tmp.path("mailin.txt");
  const std::string damaged = dataFile("damaged_level.txt");
  appendRaw(path, damaged);
  {
    InboxStore store(path);
    const auto report = store.Load();
    EXPECT_EQ(report.Message(),
              "Invalid level (5) for item \"deep line\"; the store file was kept as " + path + ".damaged");
    EXPECT_EQ(corvane::ReadFile(path + ".damaged"), damaged);
    // The record cut short by the faulty line has no sender value.
    EXPECT_EQ(store.Count(), 2);
    EXPECT_EQ(store.RowAt(1).Failure, "List index out of bounds (0)");
  }
  // Found again at the next start: the kept copy is named, no second one is made.
  InboxStore again(path);
  EXPECT_EQ(again.Load().keptAs, path + ".damaged");
  EXPECT_FALSE(corvane::FileExists(path + ".damaged.1"));
  // The first write after a damaged load rewrites the file whole from what was read.
  again.Store(message("new"));
  EXPECT_EQ(corvane::ReadFile(path), again.Serialized());
  EXPECT_EQ(corvane::ReadFile(path + ".damaged"), damaged);
  // The rewritten file still holds the cut record: other bytes, so a new copy.
  InboxStore third(path);
  EXPECT_EQ(third.Load().keptAs, path + ".damaged.1");
  EXPECT_EQ(third.Count(), 3);
}

TEST(StoreFile, RecordWithoutListNodesCountsAsDamagedAndEmptyFileGetsARoot) {
  TempFolder tmp;
  const std::string path = tmp.path("mailin.txt");
  appendRaw(path, "Received\r\n\tmsg\r\n\t\tFrom\r\n\t\t\tA\r\n\tmsg\r\n\t\tFrom\r\n\t\t\tB\r\n\t\tSubject\r\n");
  InboxStore store(path);
  const auto report = store.Load();
  EXPECT_EQ(report.failure, "List index out of bounds (1)");
  EXPECT_EQ(report.keptAs, path + ".damaged");
  EXPECT_EQ(store.RowAt(1).From, "B");
  EXPECT_EQ(store.RowAt(1).Failure, "");

  appendRaw(tmp.path("empty.txt"), "");
  InboxStore empty(tmp.path("empty.txt"));
  EXPECT_EQ(empty.Load().failure, "");
  EXPECT_EQ(empty.Count(), 0);
  empty.Store(message("x"));
  EXPECT_EQ(corvane::ReadFile(tmp.path("empty.txt")).substr(0, 15), "Received\r\n\tmsg\r");
}

// ---- the address book -------------------------------------------------------------------

TEST(AddressBookEntries, NamesAddressesAndLookup) {
  EXPECT_EQ(AddressBook::NameOf("Ann=a=b@x"), "Ann");
  EXPECT_EQ(AddressBook::AddressOf("Ann=a=b@x"), "a=b@x");
  EXPECT_EQ(AddressBook::NameOf("plain"), "");
  EXPECT_EQ(AddressBook::AddressOf("plain"), "");
  const std::vector<std::string> book{"ann=upper@x", "ANN=lower@x", "\xc3\x89mile=e@x", "=blank@x"};
  EXPECT_EQ(AddressBook::Lookup(book, "Ann"), "upper@x");
  EXPECT_EQ(AddressBook::Lookup(book, "\xc3\xa9MILE"), "e@x");
  EXPECT_EQ(AddressBook::Lookup(book, ""), "blank@x");
  EXPECT_EQ(AddressBook::Lookup(book, "nobody"), "");
  // An entry without "=" has an empty name, so it answers an empty name first.
  EXPECT_EQ(AddressBook::Lookup({"plain", "=blank@x"}, ""), "");
}

TEST(AddressBookEntries, FileBytes) {
  TempFolder tmp;
  const std::string path = tmp.path("mailbook.txt");
  AddressBook::Save(path, {"b=2", "", "a=1"});
  EXPECT_EQ(corvane::ReadFile(path), "b=2\r\n\r\na=1\r\n");
  AddressBook::Save(path, {});
  EXPECT_EQ(corvane::ReadFile(path), "");
  appendRaw(path, "x=1\ry=2\nz=3");
  EXPECT_EQ(AddressBook::Load(path), (std::vector<std::string>{"x=1", "y=2", "z=3"}));
}
