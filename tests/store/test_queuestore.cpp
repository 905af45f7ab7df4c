// The send queue's store file: what a record keeps, byte for byte, and how it reads back.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <string>

#include "QueueStore.h"
#include "Streams.h"
#include "SysUtils.h"

namespace {

class QueueStoreTest : public testing::Test {
 protected:
  QTemporaryDir dir;
  std::string path = dir.path().toStdString() + "/mailqueue.txt";

  static QueuedMessage sample() {
    QueuedMessage m;
    m.Fields = {"ann@example.org", "Ann",
                " Re: indented",   {"bob@example.org", "Carol <carol@example.org>"},
                {"/tmp/a b.txt"},  {"Hello", "  indented", "|bar", "\tTab", ""}};
    m.MessageID = "<1@example.org>";
    m.Date = "Mon, 7 Dec 2026 14:05:09 +0000";
    m.InReplyTo = "<p@x>";
    m.References = "<a@x> <p@x>";
    m.State = QueueState::Queued;
    m.Reply = "450 4.2.0 Greylisted";
    m.NextAttempt = 1796652309;
    m.Attempts = 2;
    m.Recipients = {{RecipientState::Accepted, "250 ok"}, {RecipientState::Pending, "450 4.2.0 Greylisted"}};
    m.OutboxBefore = 7;
    return m;
  }

  static void expectSame(const QueuedMessage& a, const QueuedMessage& b) {
    EXPECT_EQ(a.Fields.FromAddress, b.Fields.FromAddress);
    EXPECT_EQ(a.Fields.FromName, b.Fields.FromName);
    EXPECT_EQ(a.Fields.Subject, b.Fields.Subject);
    EXPECT_EQ(a.Fields.ToAddress, b.Fields.ToAddress);
    EXPECT_EQ(a.Fields.Attachments, b.Fields.Attachments);
    EXPECT_EQ(a.Fields.Body, b.Fields.Body);
    EXPECT_EQ(a.MessageID, b.MessageID);
    EXPECT_EQ(a.Date, b.Date);
    EXPECT_EQ(a.InReplyTo, b.InReplyTo);
    EXPECT_EQ(a.References, b.References);
    EXPECT_EQ(a.State, b.State);
    EXPECT_EQ(a.Reply, b.Reply);
    EXPECT_EQ(a.NextAttempt, b.NextAttempt);
    EXPECT_EQ(a.Attempts, b.Attempts);
    ASSERT_EQ(a.Recipients.size(), b.Recipients.size());
    for (size_t i = 0; i < a.Recipients.size(); ++i) {
      EXPECT_EQ(a.Recipients[i].state, b.Recipients[i].state);
      EXPECT_EQ(a.Recipients[i].reply, b.Recipients[i].reply);
    }
    EXPECT_EQ(a.OutboxBefore, b.OutboxBefore);
    EXPECT_EQ(a.InOutbox, b.InOutbox);
  }
};

TEST_F(QueueStoreTest, ARecordKeepsEveryFieldAndTheMessageTextExactly) {
  {
    QueueStore store(path);
    store.Load();
    store.Add(sample());
  }
  // The outbox's labels first, values as the outbox writes them, unless a leading blank,
  // control or "|" would be lost or misread.
  const std::string text = corvane::ReadFile(path);
  EXPECT_TRUE(
      text.starts_with("Send Queue\r\n\tmsg\r\n\t\tFromAddress\r\n\t\t\tann@example.org\r\n"
                       "\t\tFromName\r\n\t\t\tAnn\r\n\t\tSubject\r\n\t\t\t| Re: indented\r\n"))
      << text;
  EXPECT_NE(text.find("\t\tBody\r\n\t\t\tHello\r\n\t\t\t|  indented\r\n\t\t\t||bar\r\n\t\t\t|\tTab\r\n\t\t\t\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("\t\tRecipients\r\n\t\t\taccepted 250 ok\r\n\t\t\tpending 450 4.2.0 Greylisted\r\n"
                      "\t\tOutbox\r\n\t\t\tpending 7\r\n"),
            std::string::npos);

  QueueStore again(path);
  EXPECT_TRUE(again.Load().failure.empty());
  ASSERT_EQ(again.Count(), 1);
  expectSame(again.At(0), sample());
}

TEST_F(QueueStoreTest, PutReplacesOneRecordAndFindGoesByMessageId) {
  QueueStore store(path);
  store.Load();
  QueuedMessage first = sample();
  QueuedMessage second = sample();
  second.MessageID = "<2@example.org>";
  store.Add(first);
  store.Add(second);
  for (QueueState state : {QueueState::Sending, QueueState::Accepted, QueueState::MaybeSent, QueueState::Failed,
                           QueueState::Held, QueueState::Queued}) {
    second.State = state;
    second.InOutbox = state == QueueState::Failed;
    second.OutboxBefore = -1;
    store.Put(store.Find("<2@example.org>"), second);
    QueueStore again(path);
    again.Load();
    ASSERT_EQ(again.Count(), 2);
    expectSame(again.At(0), first);
    expectSame(again.At(1), second);
  }
  EXPECT_EQ(store.Find("<3@example.org>"), -1);
}

TEST_F(QueueStoreTest, ADamagedRecordReadsAsHeldSoNothingUnknownIsSentByItself) {
  corvane::WriteFileAtomically(path,
                               "Send Queue\r\n\tmsg\r\n\t\tFromAddress\r\n\t\t\ta@x\r\n\t\tFromName\r\n\t\t\t\r\n"
                               "\t\tSubject\r\n\t\t\tS\r\n\t\tToAddress\r\n\t\t\tb@x\r\n\t\tAttachments\r\n\t\tBody\r\n"
                               "\t\tMessageID\r\n\t\t\t<m@x>\r\n\t\tDate\r\n\t\t\t\r\n\t\tInReplyTo\r\n\t\t\t\r\n"
                               "\t\tReferences\r\n\t\t\t\r\n\t\tState\r\n\t\t\tsent twice\r\n\t\tReply\r\n\t\t\t\r\n"
                               "\t\tNextAttempt\r\n\t\t\tsoon\r\n");
  QueueStore store(path);
  const MessageStore::LoadReport report = store.Load();
  EXPECT_EQ(report.failure, "List index out of bounds (15)");
  const QueuedMessage m = store.At(0);
  EXPECT_EQ(m.State, QueueState::Held);
  EXPECT_EQ(m.NextAttempt, 0);
  EXPECT_EQ(m.Fields.ToAddress, std::vector<std::string>{"b@x"});
  ASSERT_EQ(m.Recipients.size(), 1u);
  EXPECT_EQ(m.Recipients[0].state, RecipientState::Pending);
  EXPECT_EQ(m.OutboxBefore, -1);

  // A known state without the identity that keeps a resend the same message.
  QueuedMessage lost = m;
  lost.MessageID.clear();
  lost.State = QueueState::Queued;
  store.Put(0, lost);
  EXPECT_EQ(store.At(0).State, QueueState::Held);
}

}  // namespace
