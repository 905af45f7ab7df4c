// Messages with text beyond plain ASCII, long lines and odd file names, sent to the real
// SMTP server and read back by Python's email package under both its policies, and
// (SendRoundTripTest) through Dovecot into Corvane's own reader.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <regex>

#include "RealMailServers.h"
#include "WindowSession.h"
#include "Znsmtp.h"

using session::ReadBytes;
using session::Rows;
using session::WriteBytes;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

namespace {

const std::string kSubject =
    "Gr\xC3\xBC\xC3\x9F"
    "e aus K\xC3\xB6ln \xE2\x80\x94 \xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x93\x8E";
const std::string kSender = "Zo\xC3\xAB \xC3\x9Cnal";
const std::string kRecipient = "J\xC3\xBCrgen Gro\xC3\x9F";
const Lines kBody{
    "Gr\xC3\xBC\xC3\x9F"
    "e,",
    "",
    ".",
    "..two",
    "From the office",
    "trailing blank ",
    "\xE2\x82\xAC 100 = a lot",
    "Zo\xC3\xAB"};

std::string bytes(int count, uint32_t seed) {
  std::string out;
  for (int i = 0; i < 256; ++i) out += static_cast<char>(i);
  for (int i = 0; i < count; ++i) {
    seed = seed * 1664525u + 1013904223u;
    out += static_cast<char>(seed >> 24);
  }
  return out + "\r\n.\r\n\0end"s;
}

QJsonArray pair(const std::string& a, const std::string& b) {
  return QJsonArray{QString::fromStdString(a), QString::fromStdString(b)};
}

QString text(const std::string& s) {
  return QString::fromStdString(s);
}

// The checker's expectations, built up by each test.
struct Expected {
  QJsonObject json;

  Expected& from(const std::string& name, const std::string& address) {
    json["from"] = pair(name, address);
    return *this;
  }
  Expected& to(const std::vector<std::pair<std::string, std::string>>& list, const char* key = "to") {
    QJsonArray array;
    for (const auto& [name, address] : list) array.append(pair(name, address));
    json[key] = array;
    return *this;
  }
  Expected& field(const char* key, const std::string& value) {
    json[key] = text(value);
    return *this;
  }
  // The text part of a multipart message ends where the delimiter's line break begins;
  // a message without attachments begins its text with an empty line.
  Expected& body(const Lines& lines, bool multipart = true) {
    std::string all = multipart ? "" : "\n";
    for (size_t i = 0; i < lines.size(); ++i) all += lines[i] + (multipart && i + 1 == lines.size() ? "" : "\n");
    json["body"] = text(all);
    return *this;
  }
  Expected& attachment(const std::string& name, const std::string& path) {
    QJsonArray list = json["attachments"].toArray();
    list.append(pair(name, path));
    json["attachments"] = list;
    return *this;
  }
};

class SendMime : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    servers = RealMailServers::Start(&why).release();
    if (!servers) {
      startFailure = why;
      return;
    }
    servers->AddUser("alice", "secret");
  }
  static void TearDownTestSuite() {
    delete servers;
    servers = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(servers) << startFailure;
    ASSERT_TRUE(files.isValid());
    sentBefore = servers->SmtpReceived().size();
    smtp.Host = "127.0.0.1";
    smtp.Port = servers->SmtpPort();
    smtp.UserID = "corvane.test";
    smtp.TimeOut = 20000;
    smtp.OnSuccess = [this](TObject*) { ++successes; };
    TPostMessage& m = smtp.PostMessage;
    m.FromName = kSender;
    m.FromAddress = "zoe@example.org";
    m.LocalProgram = "Corvane 1.0";
    m.Subject = kSubject;
    m.ToAddress.Add(kRecipient + " <alice@example.org>");
    for (const std::string& line : kBody) m.Body.Add(line);
  }

  std::string file(const std::string& name, const std::string& content) {
    const std::string path = files.path().toStdString() + "/" + name;
    WriteBytes(path, content);
    return path;
  }

  // Sends PostMessage and returns the bytes the server received.
  std::string send() {
    smtp.Connect();
    smtp.SendMail();
    smtp.Disconnect();
    EXPECT_EQ(successes, 1);
    const Lines received = servers->SmtpReceived();
    EXPECT_EQ(received.size(), sentBefore + 1);
    return received.empty() ? std::string() : received.back();
  }

  // Python's verdict on a received message: "ok", or one problem a line.
  std::string check(const std::string& message, const Expected& expected) {
    const std::string folder = files.path().toStdString();
    WriteBytes(folder + "/received.eml", message);
    WriteBytes(folder + "/expected.json", QJsonDocument(expected.json).toJson().toStdString());
    QProcess python;
    python.start("python3", {CORVANE_SOURCE_DIR "/tests/support/check_message.py", text(folder + "/received.eml"),
                             text(folder + "/expected.json")});
    if (!python.waitForFinished(30000)) {
      python.kill();
      python.waitForFinished(5000);
      return "the checker did not finish";
    }
    return (python.readAllStandardOutput() + python.readAllStandardError()).trimmed().toStdString();
  }

  Expected typed() {
    return Expected()
        .from(kSender, "zoe@example.org")
        .to({{kRecipient, "alice@example.org"}})
        .field("subject", kSubject)
        .field("mailer", "Corvane 1.0")
        .field("message_id_domain", "example.org")
        .body(kBody);
  }

  static RealMailServers* servers;
  static std::string startFailure;
  QTemporaryDir files;
  TZnSMTP smtp;
  size_t sentBefore = 0;
  int successes = 0;
};

RealMailServers* SendMime::servers = nullptr;
std::string SendMime::startFailure;

}  // namespace

TEST_F(SendMime, NonAsciiHeadersBodyAndFileNamesDecodeToWhatWasTypedInBothPolicies) {
  const std::string resume = file("R\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC 100%.pdf", bytes(3000, 1));
  std::string longName;
  for (int i = 0; i < 30; ++i) longName += "\xC3\xA9t\xC3\xA9-";
  const std::string longFile = file(longName + ".bin", bytes(100, 2));
  smtp.PostMessage.Attachments.Add(resume);
  smtp.PostMessage.Attachments.Add(longFile);
  smtp.PostMessage.ToCarbonCopy.Add("Smith, Bob <bob@example.org>");
  smtp.PostMessage.ToCarbonCopy.Add("J. Doe <jdoe@example.org>");

  const std::string message = send();

  Expected expected = typed();
  expected.to({{"Smith, Bob", "bob@example.org"}, {"J. Doe", "jdoe@example.org"}}, "cc")
      .field("text_encoding", "quoted-printable")
      .field("transfer_encoding", "base64")
      .attachment("R\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC 100%.pdf", resume)
      .attachment(longName + ".bin", longFile);
  EXPECT_EQ(check(message, expected), "ok");
}

TEST_F(SendMime, QuotesAndParameterTextInFileNamesStayPartOfTheName) {
  const std::string quoted = file("say \"hi\".txt", "hi\n");
  const std::string hostile = file("x.txt\"; filename=\"evil.exe", "MZ");
  const std::string lookalike = file("=?UTF-8?B?ZXZpbC5leGU=?=", "not evil");
  for (const std::string& path : {quoted, hostile, lookalike}) smtp.PostMessage.Attachments.Add(path);

  const std::string message = send();

  Expected expected = typed();
  expected.attachment("say \"hi\".txt", quoted)
      .attachment("x.txt\"; filename=\"evil.exe", hostile)
      .attachment("=?UTF-8?B?ZXZpbC5leGU=?=", lookalike);
  EXPECT_EQ(check(message, expected), "ok");
}

TEST_F(SendMime, LongLinesAndAHundredAndFiftyRecipientsAreNeitherRefusedNorChanged) {
  TPostMessage& m = smtp.PostMessage;
  m.Subject = std::string(1500, 's');
  m.Body.Clear();
  const Lines body{std::string(5000, 'x'), "." + std::string(998, 'y'), std::string(998, 'z'), "short"};
  for (const std::string& line : body) m.Body.Add(line);
  std::vector<std::pair<std::string, std::string>> to{{kRecipient, "alice@example.org"}};
  for (int i = 0; i < 150; ++i) {
    const std::string address = "reader-" + std::to_string(i) + "@example.net";
    m.ToAddress.Add(address);
    to.emplace_back("", address);
  }

  const std::string message = send();

  EXPECT_EQ(check(message, typed().to(to).field("subject", m.Subject).body(body, false)), "ok");
  EXPECT_EQ(servers->Mailbox("alice").back(), message);
}

TEST_F(SendMime, UuencodedAttachmentsAreLabelledSoThatReadersDecodeThem) {
  smtp.EncodeType = uuCode;
  // 14 bytes a line start with "." on the wire; the rest covers every length character.
  const std::string binary = file("photo.jpg", bytes(5000, 3));
  const std::string fourteen = file("fourteen.bin", "fourteen bytes");
  const std::string empty = file("empty.txt", "");
  for (const std::string& path : {binary, fourteen, empty}) smtp.PostMessage.Attachments.Add(path);

  const std::string message = send();

  Expected expected = typed();
  expected.field("transfer_encoding", "x-uuencode")
      .attachment("photo.jpg", binary)
      .attachment("fourteen.bin", fourteen)
      .attachment("empty.txt", empty);
  EXPECT_EQ(check(message, expected), "ok");
}

TEST_F(SendMime, AsciiMessageKeepsItsBytesAndGetsADateAndAFreshMessageId) {
  TPostMessage& m = smtp.PostMessage;
  m.FromName = "Ann Smith";
  m.FromAddress = "ann@example.org";
  m.Subject = "Plain";
  m.ToAddress.Clear();
  m.ToAddress.Add("Bob <alice@example.org>");
  m.Body.Clear();
  m.Body.Add("Hello");
  m.Body.Add(".");
  smtp.ClearParams = false;

  smtp.Connect();
  smtp.SendMail();
  smtp.SendMail();
  smtp.Disconnect();
  EXPECT_EQ(successes, 2);
  const Lines received = servers->SmtpReceived();
  ASSERT_EQ(received.size(), sentBefore + 2);
  const std::string& first = received[received.size() - 2];
  const std::string& second = received.back();

  static const std::regex expected(
      "From: Ann Smith<ann@example.org>\r\n"
      "To: Bob <alice@example.org>\r\n"
      "Subject: Plain\r\n"
      "X-Mailer: Corvane 1.0\r\n"
      "Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{1,2} (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
      "[0-9]{2}:[0-9]{2}:[0-9]{2} [-+][0-9]{4}\r\n"
      "Message-ID: <[0-9a-f]{32}@example\\.org>\r\n"
      "Mime-Version: 1\\.0\r\n"
      "Content-Type: text/plain;                        charset=us-ascii\r\n"
      "\r\n\r\n"
      "Hello\r\n\\.\r\n");
  EXPECT_TRUE(std::regex_match(first, expected)) << first;
  EXPECT_NE(first.substr(first.find("Message-ID")), second.substr(second.find("Message-ID")));
  EXPECT_EQ(check(first, Expected()
                             .from("Ann Smith", "ann@example.org")
                             .to({{"Bob", "alice@example.org"}})
                             .field("subject", "Plain")
                             .field("text_encoding", "7bit")
                             .body({"Hello", "."}, false)),
            "ok");
}

// Through the window: what the user types into its fields and the file they pick.
TEST_F(SendMime, WhatTheUserTypesIntoTheWindowArrivesAsTyped) {
  session::Window window;
  WriteBytes(window.Folder() + "mailbook.txt", kRecipient + "=" + kRecipient + " <alice@example.org>\r\n");
  Tpopform& form = window.Open();
  window.SendAccount(servers->SmtpPort());
  corvane::SetText(form.localname, kSender);
  corvane::SetText(form.localemail, "zoe@example.org");
  corvane::SetText(form.outsubject, kSubject);
  corvane::SetMemoLines(form.outbody, kBody);
  form.selectaddr->setCurrentIndex(0);
  window.Click(form.addmailto, form.TabSheet4);
  const std::string attachment = file("\xE6\x9D\xB1\xE4\xBA\xAC.png", bytes(2000, 4));
  window.dialogs.queue(true, attachment);
  window.Click(form.addatt, form.TabSheet4);

  window.Click(form.outconnect, form.TabSheet1);
  window.Click(form.gosend, form.TabSheet4);

  EXPECT_TRUE(window.dialogs.errors().empty()) << window.dialogs.errors().front();
  ASSERT_EQ(servers->SmtpReceived().size(), sentBefore + 1);
  Expected expected = typed();
  expected.attachment("\xE6\x9D\xB1\xE4\xBA\xAC.png", attachment);
  EXPECT_EQ(check(servers->SmtpReceived().back(), expected), "ok");
}

namespace {

// Sent through the real SMTP server into alice's Maildir, then received by the window
// from Dovecot: Corvane's reader must give back what was typed and attached.
class SendRoundTripTest : public SendMime {
 protected:
  Tpopform& receive() {
    Tpopform& form = window.Open();
    window.ReceiveAccount("127.0.0.1", servers->Pop3Port(), "alice", "secret");
    window.Connect();
    window.Disconnect();
    EXPECT_TRUE(window.dialogs.errors().empty()) << window.dialogs.errors().front();
    return form;
  }

  session::Window window;
};

}  // namespace

TEST_F(SendRoundTripTest, NonAsciiSubjectSenderBodyAndFileNamesComeBackAsTyped) {
  const std::string resume = file("R\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC.pdf", bytes(3000, 5));
  const std::string quoted = file("say \"hi\".txt", "hi\n");
  smtp.PostMessage.Attachments.Add(resume);
  smtp.PostMessage.Attachments.Add(quoted);
  send();

  Tpopform& form = receive();

  const Lines rows = Rows(form.pophistlist, 1);
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.back(), kSubject);
  const std::string sender = Rows(form.pophistlist, 0).back();
  EXPECT_NE(sender.find(kSender), std::string::npos) << sender;
  EXPECT_NE(sender.find("zoe@example.org"), std::string::npos) << sender;
  const std::string body = corvane::FromQString(form.popmsgbody->toPlainText());
  for (const std::string& line : kBody) EXPECT_NE(body.find(line), std::string::npos) << line;
  EXPECT_EQ(corvane::GetItems(form.popatt), (Lines{"R\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC.pdf", "say \"hi\".txt"}));
  EXPECT_TRUE(ReadBytes(window.Folder() + "R\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC.pdf") == ReadBytes(resume));
  EXPECT_EQ(ReadBytes(window.Folder() + "say \"hi\".txt"), "hi\n");
}

TEST_F(SendRoundTripTest, UuencodedAttachmentComesBackIntoTheOriginalBytes) {
  smtp.EncodeType = uuCode;
  const std::string binary = file("photo.jpg", bytes(5000, 6));
  smtp.PostMessage.Attachments.Add(binary);
  send();

  Tpopform& form = receive();

  EXPECT_EQ(corvane::GetItems(form.popatt), Lines{"photo.jpg"});
  EXPECT_TRUE(ReadBytes(window.Folder() + "photo.jpg") == ReadBytes(binary));
}

TEST_F(SendRoundTripTest, LongBodyLinesComeBackWhole) {
  smtp.PostMessage.Body.Clear();
  const Lines body{std::string(5000, 'x'), "." + std::string(998, 'y'), "short"};
  for (const std::string& line : body) smtp.PostMessage.Body.Add(line);
  send();

  Tpopform& form = receive();

  Lines shown = corvane::GetMemoLines(form.popmsgbody);
  // The empty line that begins the text of a message without attachments may show or not.
  if (!shown.empty() && shown.front().empty()) shown.erase(shown.begin());
  EXPECT_TRUE(shown == body) << shown.size() << " lines shown, the first " << (shown.empty() ? 0 : shown.front().size())
                             << " characters long";
}
