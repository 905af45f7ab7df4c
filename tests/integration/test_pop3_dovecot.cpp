// TZnPOP3 against a real Dovecot: what the sender wrote comes back byte for byte, and the
// messages are gone from the server after DELE and QUIT.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QTemporaryDir>
#include <string>
#include <vector>

#include "RealMailServers.h"
#include "Streams.h"
#include "Znpop3.h"

namespace {

// Every byte value, in an order that is not a simple run.
std::string binaryAttachment() {
  std::string bytes;
  uint32_t state = 12345;
  for (int i = 0; i < 5000; ++i) {
    state = state * 1103515245u + 12345u;
    bytes += static_cast<char>(i < 256 ? i : static_cast<int>(state >> 16));
  }
  return bytes;
}

std::string base64Lines(const std::string& bytes) {
  const QByteArray coded = QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())).toBase64();
  std::string lines;
  for (qsizetype i = 0; i < coded.size(); i += 76) lines += coded.mid(i, 76).toStdString() + "\r\n";
  return lines;
}

std::string crlfJoin(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

TEST(Pop3Dovecot, RetrievesAttachmentsAndDottedLinesThenDeletes) {
  std::string why;
  auto servers = RealMailServers::Start(&why);
  ASSERT_TRUE(servers) << why;
  servers->AddUser("bob", "secret");

  const std::vector<std::string> textLines = {"Hello Bob,", "", "the data is attached.", ".", "..two"};
  const std::string attachment = binaryAttachment();
  servers->Deliver("bob",
                   "From: alice@example.org\r\n"
                   "To: bob@example.org\r\n"
                   "Subject: data\r\n"
                   "Mime-Version: 1.0\r\n"
                   "Content-Type: multipart/mixed; boundary=\"=_sep_1\"\r\n"
                   "\r\n"
                   "--=_sep_1\r\n"
                   "Content-Type: text/plain\r\n"
                   "\r\n" +
                       crlfJoin(textLines) +
                       "--=_sep_1\r\n"
                       "Content-Type: application/octet-stream; name=\"data.bin\"\r\n"
                       "Content-Transfer-Encoding: base64\r\n"
                       "Content-Disposition: attachment; filename=\"data.bin\"\r\n"
                       "\r\n" +
                       base64Lines(attachment) + "--=_sep_1--\r\n");
  const std::vector<std::string> dottedLines = {".", "..", ".hidden", "...", "normal", " .", "end."};
  servers->Deliver("bob", "From: carol@example.org\r\nSubject: dots\r\n\r\n" + crlfJoin(dottedLines));

  QTemporaryDir attachDir;
  TZnPOP3 pop;
  pop.Host = "127.0.0.1";
  pop.Port = servers->Pop3Port();
  pop.UserID = "bob";
  pop.Password = "secret";
  pop.TimeOut = 10000;
  pop.AttachFilePath = attachDir.path().toStdString() + "/";
  pop.Connect();
  ASSERT_EQ(pop.MessageCount(), 2);

  pop.RetrieveMessage(1);
  const TMailMessage& m = pop.MailMessage();
  EXPECT_EQ(m.From, "alice@example.org");
  EXPECT_EQ(m.Subject, " data");
  ASSERT_EQ(m.Attachments.Count(), 1);
  EXPECT_EQ(m.Attachments[0], "data.bin");
  EXPECT_TRUE(corvane::ReadFile(pop.AttachFilePath + "data.bin") == attachment) << "attachment bytes differ";
  std::vector<std::string> expectedBody = textLines;
  expectedBody.push_back("\r\nFile \"data.bin\" extracted");
  EXPECT_EQ(m.Body.Items(), expectedBody);

  pop.RetrieveMessage(2);
  EXPECT_EQ(m.Subject, " dots");
  EXPECT_EQ(m.Body.Items(), dottedLines);
  EXPECT_EQ(m.Attachments.Count(), 0);

  pop.DeleteMessage(1);
  pop.DeleteMessage(2);
  EXPECT_EQ(servers->Mailbox("bob").size(), 2u) << "deletions take effect only at QUIT";
  pop.Disconnect();
  EXPECT_FALSE(pop.Connected);
  EXPECT_TRUE(servers->Mailbox("bob").empty());
}

TEST(Pop3Dovecot, RefusedPasswordIsRetriedWithTheHandlersPassword) {
  std::string why;
  auto servers = RealMailServers::Start(&why);
  ASSERT_TRUE(servers) << why;
  servers->AddUser("bob", "secret");
  servers->Deliver("bob", "Subject: keep\r\n\r\nkeep me\r\n");

  TZnPOP3 pop;
  pop.Host = "127.0.0.1";
  pop.Port = servers->Pop3Port();
  pop.UserID = "bob";
  pop.Password = "wrong";
  pop.TimeOut = 10000;
  int asked = 0;
  pop.OnAuthenticationFailed = [&](bool& handled) {
    ++asked;
    pop.Password = "secret";
    handled = true;
  };
  pop.Connect();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(pop.MessageCount(), 1);
  pop.Disconnect();
  EXPECT_EQ(servers->Mailbox("bob").size(), 1u);
}

}  // namespace
