// TZnSMTP against a real SMTP server; Python's email package reads what arrived.
#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>
#include <string>

#include "RealMailServers.h"
#include "Streams.h"
#include "Znsmtp.h"

namespace {

std::string writeFile(const QTemporaryDir& dir, const std::string& name, const std::string& bytes) {
  const std::string path = dir.path().toStdString() + "/" + name;
  TMemoryStream stream;
  stream.SetData(bytes);
  stream.SaveToFile(path);
  return path;
}

std::string binaryContent() {
  std::string bytes;
  uint32_t x = 12345;
  for (int i = 0; i < 300000; ++i) {
    x = x * 1103515245u + 12345u;
    bytes += static_cast<char>(i < 256 ? i : (x >> 16) & 0xFF);
  }
  return bytes;
}

QJsonObject readWithPython(const std::string& raw, const QTemporaryDir& dir) {
  const std::string path = writeFile(dir, "received.eml", raw);
  QProcess python;
  python.start("python3", {QStringLiteral(CORVANE_TEST_DATA "/smtp/read_message.py"), QString::fromStdString(path),
                           dir.path() + "/out"});
  if (!python.waitForFinished(30000)) python.kill();
  const QByteArray output = python.readAllStandardOutput();
  EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
  return QJsonDocument::fromJson(output).object();
}

QStringList strings(const QJsonValue& value) {
  QStringList out;
  for (const QJsonValue& v : value.toArray()) out << v.toString();
  return out;
}

TEST(SmtpRealServer, MessageWithTwoAttachmentsArrivesAndDecodesToTheOriginalBytes) {
  std::string why;
  std::unique_ptr<RealMailServers> servers = RealMailServers::Start(&why);
  ASSERT_TRUE(servers) << why;
  servers->AddUser("bob", "secret");

  QTemporaryDir dir;
  ASSERT_TRUE(QDir(dir.path()).mkpath("out") && QDir(dir.path()).mkpath("files"));
  const std::string notes = "Minutes of the meeting\r\n.\r\n..second\r\nend\r\n";
  const std::string binary = binaryContent();
  const std::string notesPath = writeFile(dir, "files/notes.txt", notes);
  const std::string binaryPath = writeFile(dir, "files/photo.jpg", binary);

  TZnSMTP smtp;
  smtp.Host = "127.0.0.1";
  smtp.Port = servers->SmtpPort();
  smtp.UserID = "corvane.test";
  smtp.TimeOut = 20000;
  bool succeeded = false;
  smtp.OnSuccess = [&](TObject*) { succeeded = true; };
  TPostMessage& m = smtp.PostMessage;
  m.FromName = "Ann Smith";
  m.FromAddress = "ann@example.org";
  m.Subject = "Photos and notes";
  m.LocalProgram = "Corvane 1.0";
  m.ToAddress.Add("Bob <bob@example.org>");
  m.ToCarbonCopy.Add("nobody-here@example.org");
  m.ToBlindCarbonCopy.Add("bob@example.net");
  for (const char* line : {"Hello Bob,", "", ".", ".leading dot", "Ann"}) m.Body.Add(line);
  m.Attachments.Add(notesPath);
  m.Attachments.Add(binaryPath);
  smtp.Connect();
  smtp.SendMail();
  smtp.Disconnect();
  EXPECT_TRUE(succeeded);

  const std::vector<std::string> received = servers->SmtpReceived();
  ASSERT_EQ(received.size(), 1u);
  const std::vector<std::string> mailbox = servers->Mailbox("bob");
  ASSERT_EQ(mailbox.size(), 1u) << "delivered once although bob is both To and BCC";
  EXPECT_EQ(mailbox[0], received[0]);

  const QJsonObject message = readWithPython(received[0], dir);
  EXPECT_EQ(message["from"].toString(), "Ann Smith<ann@example.org>");
  EXPECT_EQ(message["to"].toString(), "Bob <bob@example.org>");
  EXPECT_EQ(message["cc"].toString(), "nobody-here@example.org");
  EXPECT_TRUE(message["bcc"].isNull());
  EXPECT_EQ(message["subject"].toString(), "Photos and notes");
  EXPECT_EQ(message["mailer"].toString(), "Corvane 1.0");
  EXPECT_EQ(message["content_type"].toString(), "multipart/mixed");
  EXPECT_EQ(message["boundary"].toString().toStdString(), smtp.Boundary());
  EXPECT_EQ(message["text_type"].toString(), "text/plain");
  EXPECT_EQ(strings(message["body"]), QStringList({"Hello Bob,", "", ".", ".leading dot", "Ann"}));
  EXPECT_EQ(strings(message["attachments"]), QStringList({"notes.txt", "photo.jpg"}));
  EXPECT_EQ(strings(message["defects"]), QStringList());
  EXPECT_TRUE(corvane::ReadFile(dir.path().toStdString() + "/out/notes.txt") == notes);
  EXPECT_TRUE(corvane::ReadFile(dir.path().toStdString() + "/out/photo.jpg") == binary);
}

}  // namespace
