// The unique-id state beside the inbox and the archive's repair before an append: what
// makes a session's records, ids and archive commit together.
#include <gtest/gtest.h>

#include "MboxArchive.h"
#include "SeenIds.h"
#include "StoreTestSupport.h"
#include "SysUtils.h"

using storetest::TempFolder;
using Lines = std::vector<std::string>;

TEST(SeenIdsFile, OlderLinesOfAnyPortAreThisAccountsAndEveryOtherLineIsKept) {
  TempFolder tmp;
  const std::string path = tmp.path(SeenIds::kFileName);
  corvane::WriteFileAtomically(path,
                               "pop.example.org 110 alice a1\n"
                               "pop.example.org 995 alice a2\n"
                               "pop.example.org 110 bob b1\n"
                               "other.example.org alice x1 50 r00000000000000ff\n"
                               "#commit 0123456789abcdef 42\n");
  SeenIds ids(path, "pop.example.org", "alice");
  ids.Begin({"a1", "a2", "a3", "a4"}, 1000);
  EXPECT_TRUE(ids.Seen(1));
  EXPECT_TRUE(ids.Seen(2));
  EXPECT_FALSE(ids.Seen(3));
  EXPECT_EQ(ids.FirstSeen(1), 1000);  // no date before: stored as far as known
  ids.Stored(3, 0xabc);
  ids.Commit("fedcba9876543210", -1);
  // a4 was never stored; the archive length stays what the file had.
  EXPECT_EQ(corvane::ReadFile(path),
            "pop.example.org 110 bob b1\n"
            "other.example.org alice x1 50 r00000000000000ff\n"
            "pop.example.org alice a1 1000\n"
            "pop.example.org alice a2 1000\n"
            "pop.example.org alice a3 1000 r0000000000000abc\n"
            "#commit fedcba9876543210 42\n");
  EXPECT_TRUE(SeenIds::Committed(path, "fedcba9876543210"));
  EXPECT_FALSE(SeenIds::Committed(path, "0123456789abcdef"));
  EXPECT_EQ(SeenIds::ArchiveLength(path), 42);

  // A record deleted here marks one line naming it, whichever account; a hash no line
  // names changes nothing.
  SeenIds::MarkDeleted(path, {0xabc, 0xff, 0x123});
  SeenIds again(path, "pop.example.org", "alice");
  again.Begin({"a2", "a3"}, 2000);
  EXPECT_FALSE(again.DeletedHere(1));
  EXPECT_TRUE(again.DeletedHere(2));
  EXPECT_EQ(again.FirstSeen(2), 1000);
  EXPECT_NE(corvane::ReadFile(path).find("x1 50 r00000000000000ff del\n"), std::string::npos);
  // Ids the mailbox no longer lists are forgotten once a session commits.
  again.Commit("", 7);
  EXPECT_EQ(corvane::ReadFile(path),
            "pop.example.org 110 bob b1\n"
            "other.example.org alice x1 50 r00000000000000ff del\n"
            "pop.example.org alice a2 1000\n"
            "pop.example.org alice a3 1000 r0000000000000abc del\n"
            "#commit - 7\n");
}

TEST(ArchiveRepair, WhatNoSessionCommittedAndATornTailAreCutBackBeforeTheNextAppend) {
  const std::string one = "From MAILER-DAEMON Mon Dec  7 10:00:00 2026\nSubject: one\n\nbody\n\n";
  const std::string two = "From MAILER-DAEMON Mon Dec  7 10:00:01 2026\nSubject: two\n\n>From here\n\n";
  const std::string torn = "From MAILER-DAEMON Mon Dec  7 10:00:02 2026\nSubject: th";
  struct Case {
    const char* name;
    std::string bytes;
    long long committed;
    std::string kept;
  };
  const long long oneLength = static_cast<long long>(one.size());
  for (const Case& c : {
           Case{"whole, committed", one + two, oneLength + static_cast<long long>(two.size()), one + two},
           Case{"appended after the commit", one + two, oneLength, one},
           Case{"torn after the commit", one + torn, oneLength, one},
           Case{"torn, nothing committed", one + two + torn, -1, one + two},
           Case{"one torn message only", torn, -1, ""},
           Case{"shorter than committed, whole", one, 1000, one},
           Case{"empty", "", -1, ""},
       }) {
    SCOPED_TRACE(c.name);
    TempFolder tmp;
    const std::string path = tmp.path("mailin.mbox");
    corvane::WriteFileAtomically(path, c.bytes);
    EXPECT_EQ(MboxArchive::Recover(path, c.committed), static_cast<long long>(c.kept.size()));
    EXPECT_EQ(corvane::ReadFile(path), c.kept);
  }
  TempFolder tmp;
  EXPECT_EQ(MboxArchive::Recover(tmp.path("none.mbox"), 10), 0);
  EXPECT_FALSE(corvane::FileExists(tmp.path("none.mbox")));
}

// A header-only record is kept as partial across sessions, found by its record, survives
// a deletion mark, and loses the mark once its message is whole.
TEST(SeenIdsFile, APartialRecordStaysPartialUntilCompleted) {
  TempFolder tmp;
  const std::string path = tmp.path(SeenIds::kFileName);
  {
    SeenIds ids(path, "pop.example.org", "alice");
    ids.Begin({"a1", "a2"}, 1000);
    ids.Stored(1, 0x11);
    ids.Stored(2, 0x22, true);
    ids.Commit("t1", 10);
  }
  EXPECT_EQ(corvane::ReadFile(path),
            "pop.example.org alice a1 1000 r0000000000000011\n"
            "pop.example.org alice a2 1000 r0000000000000022 part\n"
            "#commit t1 10\n");
  EXPECT_TRUE(SeenIds::IsPartial(path, 0x22));
  EXPECT_FALSE(SeenIds::IsPartial(path, 0x11));
  EXPECT_FALSE(SeenIds::IsPartial(path, 0x2));

  SeenIds::MarkDeleted(path, {0x11});
  SeenIds ids(path, "pop.example.org", "alice");
  // The server lists them the other way round now.
  ids.Begin({"a2", "a1"}, 2000);
  EXPECT_TRUE(ids.Seen(1));
  EXPECT_TRUE(ids.Partial(1));
  EXPECT_FALSE(ids.Partial(2));
  EXPECT_TRUE(ids.DeletedHere(2));
  EXPECT_EQ(ids.PartialNumber(0x22), 1);
  EXPECT_EQ(ids.PartialNumber(0x11), 0);
  EXPECT_EQ(ids.PartialNumber(0), 0);
  ids.Completed(1, 0x33);
  ids.Commit({}, -1);
  EXPECT_EQ(corvane::ReadFile(path),
            "pop.example.org alice a2 1000 r0000000000000033\n"
            "pop.example.org alice a1 1000 r0000000000000011 del\n"
            "#commit - 10\n");
  EXPECT_FALSE(SeenIds::IsPartial(path, 0x33));
}
