// The threading fields of a reply, taken from the answered message's header as stored.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ReplyThread.h"

namespace {

using Lines = std::vector<std::string>;

TEST(ReplyThread, ReferencesGrowByTheParentAndFoldedFieldsAreJoined) {
  struct Case {
    const char* what;
    Lines header;
    std::string inReplyTo;
    std::string references;
  };
  const Case cases[] = {
      {"a first message", {"From: a@x", "Message-ID: <p@x>", "Subject: Hi"}, "<p@x>", "<p@x>"},
      {"a reply in a thread, folded, with its continuation stored without the blank",
       {"message-id:", "<p@x>", "References: <a@x>", "<b@x>", "Subject: Re: Hi"},
       "<p@x>",
       "<a@x> <b@x> <p@x>"},
      {"In-Reply-To stands in for missing References",
       {"Message-ID: <p@x>", "In-Reply-To: <a@x>"},
       "<p@x>",
       "<a@x> <p@x>"},
      {"an In-Reply-To of several ids says nothing sure",
       {"Message-ID: <p@x>", "In-Reply-To: <a@x> <b@x>"},
       "<p@x>",
       "<p@x>"},
      {"no Message-ID: nothing to thread by", {"References: <a@x>"}, "", ""},
      {"ids with blanks or controls are left out",
       {"Message-ID: <p@x>", "References: <a b@x> <c@x> <d\x01@x> <>"},
       "<p@x>",
       "<c@x> <p@x>"},
      {"the body's lines are not the header's", {"Message-ID: <p@x>", "", "References: <z@x>"}, "<p@x>", "<p@x>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const mime::ReplyThread thread = mime::ThreadOfReply(c.header);
    EXPECT_EQ(thread.inReplyTo, c.inReplyTo);
    EXPECT_EQ(thread.references, c.references);
  }
}

}  // namespace
