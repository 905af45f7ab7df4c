// The exact text that follows DATA, built from a message record.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "Exceptions.h"
#include "MessageComposer.h"
#include "SpoolStream.h"
#include "Streams.h"

using namespace corvane::smtp;

namespace {

const std::string kData = std::string(CORVANE_TEST_DATA) + "/smtp/";
const std::string kNotes = kData + "attachments/notes.txt";
const std::string kBinary = kData + "attachments/data.bin";

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::time_t localTime(int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = 126;
  tm.tm_mon = 11;
  tm.tm_mday = 7;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

TPostMessage fullMessage() {
  TPostMessage m;
  m.FromName = "Ann Smith";
  m.FromAddress = "ann@example.org";
  m.Subject = "Quarterly report";
  m.LocalProgram = "Corvane 1.0";
  m.ReplyTo = "ann.smith@example.org";
  m.Date = "Mon, 7 Dec 2026 14:05:09 +0000";
  m.MessageID = "<3f2a9c4e8b7d4e21a0c5b6d7e8f90123@example.org>";
  m.ToAddress.Add("bob@example.org");
  m.ToAddress.Add("Carol <carol@example.org>");
  m.ToCarbonCopy.Add("dave@example.org");
  m.ToBlindCarbonCopy.Add("eve@example.org");
  for (const char* line : {"Hello Bob,", ".", "..two dots", " .blank first", "", "Bye."}) m.Body.Add(line);
  return m;
}

// Sets the process's time zone for one test and puts the old one back.
class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TimeZone() {
    if (old_)
      setenv("TZ", old_->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  TimeZone(const TimeZone&) = delete;
  TimeZone& operator=(const TimeZone&) = delete;

 private:
  std::optional<std::string> old_;
};

std::vector<std::string> wireLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  lines.push_back(text.substr(start));
  return lines;
}

struct Composition {
  TExStringList header;
  std::string boundary = "untouched";
  TMemoryStream body;
  std::vector<std::string> events;

  void compose(const TPostMessage& message, std::time_t now = localTime(14, 5, 9), UUMethods method = uuMime) {
    CompositionEvents hooks;
    hooks.OnEncodeStart = [this](const std::string& f) { events.push_back("start " + f); };
    hooks.OnEncodeEnd = [this](const std::string& f) { events.push_back("end " + f); };
    hooks.OnAttachmentNotFound = [this](const std::string& f) { events.push_back("missing " + f); };
    ComposeMessage(message, method, now, hooks, header, boundary, body);
  }
  std::string wire() const { return HeaderText(header) + body.Data(); }
};

TEST(Composer, PlainMessageGoesOutByteForByte) {
  Composition c;
  c.compose(fullMessage());
  EXPECT_EQ(c.wire(), corvane::ReadFile(kData + "plain_full.expected"));
  EXPECT_EQ(c.boundary, "untouched");
  EXPECT_EQ(c.header.IndexOfHeader("BCC"), -1);
  EXPECT_EQ(c.wire().find("eve@"), std::string::npos);
}

TEST(Composer, EmptyFieldsLeaveTheirLinesOutAndEmptyBodyEndsAfterHeader) {
  TimeZone utc("UTC0");
  TPostMessage m;
  m.FromAddress = "ann@example.org";
  m.MessageID = "<1@example.org>";
  m.ToBlindCarbonCopy.Add("eve@example.org");
  Composition c;
  c.compose(m);
  EXPECT_EQ(c.wire(),
            "From: <ann@example.org>\r\n"
            "Date: Mon, 7 Dec 2026 14:05:09 +0000\r\n"
            "Message-ID: <1@example.org>\r\n"
            "Mime-Version: 1.0\r\n"
            "Content-Type: text/plain;                        charset=us-ascii\r\n"
            "\r\n\r\n");
}

TEST(Composer, RebuildReplacesWhatACallerPutIntoTheHeaderAndBody) {
  Composition c;
  c.header.Add("X-Stale: yes");
  c.body.WriteString("stale body\r\n");
  TPostMessage m;
  m.FromAddress = "a@b";
  m.Body.Add("fresh");
  c.compose(m);
  EXPECT_EQ(c.header.IndexOfHeader("X-Stale"), -1);
  EXPECT_EQ(c.body.Data(), "fresh\r\n");
}

TEST(Composer, MultipartMessageGoesOutByteForByte) {
  TPostMessage m = fullMessage();
  m.Attachments.Add(kNotes);
  m.Attachments.Add(kBinary);
  const std::time_t now = localTime(14, 5, 9);
  Composition c;
  c.compose(m, now);

  EXPECT_EQ(c.boundary, "====================54535" + LongTimeText(now) + "====");
  EXPECT_EQ(c.wire(), replaceAll(corvane::ReadFile(kData + "multipart_two.expected"), "@BOUNDARY@", c.boundary));
  // The part headers carry only the file's own name, the events the full path.
  EXPECT_EQ(c.events,
            (std::vector<std::string>{"start " + kNotes, "end " + kNotes, "start " + kBinary, "end " + kBinary}));

  Composition again;
  again.compose(m, now);
  EXPECT_EQ(again.wire(), c.wire()) << "two builds in the same second";
  Composition later;
  later.compose(m, now + 1);
  EXPECT_NE(later.boundary, c.boundary);
}

TEST(Composer, EmptyBodyWithAttachmentGoesStraightToTheFirstPart) {
  TPostMessage m;
  m.FromAddress = "a@b";
  m.ToAddress.Add("c@d");
  m.Attachments.Add(kNotes);
  Composition c;
  c.compose(m);
  const std::string b = c.boundary;
  EXPECT_EQ(c.body.Data(), "--" + b + "\r\nContent-Type: text/plain;                        charset=us-ascii\r\n\r\n" +
                               "--" + b +
                               "\r\nContent-Type: application/octet-stream;          name=\"notes.txt\"\r\n" +
                               "Content-Transfer-Encoding: base64\r\n" +
                               "Content-Disposition: attachment;                 filename=\"notes.txt\"\r\n\r\n" +
                               "SGVsbG8sIHdvcmxkIQo=\r\n--" + b + "--\r\n");
}

TEST(Composer, MissingAttachmentIsReportedAndEndsTheBuild) {
  QTemporaryDir dir;
  for (const std::string& missing : {dir.path().toStdString() + "/gone.txt", dir.path().toStdString()}) {
    TPostMessage m = fullMessage();
    m.Attachments.Add(kNotes);
    m.Attachments.Add(missing);
    Composition c;
    try {
      c.compose(m);
      FAIL() << "no failure for " << missing;
    } catch (const EFOpenError& e) {
      EXPECT_EQ(e.Message(), "Cannot open file " + missing);
    }
    EXPECT_EQ(c.events, (std::vector<std::string>{"start " + kNotes, "end " + kNotes, "missing " + missing}));
  }
}

TEST(Composer, UuencodedPartsAreLabelledAndFramedAndLinesThatBeginWithADotAreStuffed) {
  QTemporaryDir dir;
  const std::string path = dir.path().toStdString() + "/fourteen.bin";
  const std::string content = "fourteen bytes";  // length character "." (32 + 14)
  TMemoryStream file;
  file.SetData(content);
  file.SaveToFile(path);

  TPostMessage m;
  m.FromAddress = "a@b";
  m.Attachments.Add(path);
  Composition c;
  c.compose(m, localTime(9, 0, 0), uuCode);

  TZnUUProcessor coder;
  TMemoryStream plain;
  TMemoryStream coded;
  plain.SetData(content);
  coder.Method = uuCode;
  coder.InputStream = &plain;
  coder.OutputStream = &coded;
  coder.Encode();
  ASSERT_EQ(coded.Data().front(), '.');
  // Labelled so that readers decode it, and framed by the lines their decoders look for.
  const std::string part =
      "Content-Transfer-Encoding: x-uuencode\r\n"
      "Content-Disposition: attachment;                 filename=\"fourteen.bin\"\r\n\r\n"
      "begin 644 fourteen.bin\r\n";
  EXPECT_NE(c.body.Data().find(part + "." + coded.Data() + "end\r\n--" + c.boundary + "--\r\n"), std::string::npos);
}

TEST(Composer, LineBreaksInHeaderTextsAndRecipientsAreRefused) {
  const std::vector<std::pair<std::function<void(TPostMessage&)>, std::string>> cases = {
      {[](TPostMessage& m) { m.ToAddress.Add("bob@example.org\r\nRCPT TO:<x@y>"); },
       "Line break not allowed in recipient \"bob@example.org\""},
      {[](TPostMessage& m) { m.ToCarbonCopy.Add("a@b\n"); }, "Line break not allowed in recipient \"a@b\""},
      {[](TPostMessage& m) { m.ToBlindCarbonCopy.Add("\rx"); }, "Line break not allowed in recipient \"\""},
      {[](TPostMessage& m) { m.Subject = "Hi\r\nBcc: all@x"; }, "Line break not allowed in the subject"},
      {[](TPostMessage& m) { m.FromName = "Ann\n"; }, "Line break not allowed in the sender name"},
      {[](TPostMessage& m) { m.FromAddress = "a@b>\r\nRSET"; }, "Line break not allowed in the sender address"},
      {[](TPostMessage& m) { m.ReplyTo = "x\ry"; }, "Line break not allowed in Reply-To"},
      {[](TPostMessage& m) { m.Date = "x\ny"; }, "Line break not allowed in Date"},
      {[](TPostMessage& m) { m.LocalProgram = "x\ny"; }, "Line break not allowed in the program name"},
      {[](TPostMessage& m) { m.MessageID = "<a@b>\r\nBcc: x"; }, "Line break not allowed in Message-ID"},
      {[](TPostMessage& m) { m.InReplyTo = "<a@b>\nX: y"; }, "Line break not allowed in In-Reply-To"},
      {[](TPostMessage& m) { m.References = "<a@b>\rX: y"; }, "Line break not allowed in References"},
      {[](TPostMessage& m) { m.Attachments.Add("/tmp/evil\r\nX: y.txt"); },
       "Line break not allowed in attachment name \"evil\""},
  };
  for (const auto& [spoil, text] : cases) {
    TPostMessage m = fullMessage();
    spoil(m);
    Composition c;
    try {
      c.compose(m);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), text);
    }
  }
}

TEST(Composer, ReplyFieldsFollowTheMessageIdAndLongReferencesFoldBetweenIds) {
  TPostMessage m = fullMessage();
  m.InReplyTo = "<parent.1234@mail.example.net>";
  for (int i = 0; i < 4; ++i) m.References += "<ancestor-" + std::to_string(i) + ".abcdefghij@mail.example.net> ";
  m.References += m.InReplyTo;
  Composition c;
  c.compose(m);
  const std::vector<std::string> lines = wireLines(c.wire());
  const auto at = std::find(lines.begin(), lines.end(), "Message-ID: " + m.MessageID);
  ASSERT_NE(at, lines.end());
  EXPECT_EQ(at[1], "In-Reply-To: <parent.1234@mail.example.net>");
  // Folded between the ids, each line within the folding width, the ids unchanged.
  std::string references = at[2];
  auto line = at + 3;
  for (; line->starts_with(" "); ++line) references += "\r\n" + *line;
  EXPECT_GT(line - at, 4);
  EXPECT_EQ(*line, "Mime-Version: 1.0");
  for (auto l = at + 2; l != line; ++l) EXPECT_LE(l->size(), 76u) << *l;
  EXPECT_EQ(replaceAll(references, "\r\n", ""), "References: " + m.References);
}

TEST(Composer, LineBreakInsideABodyEntryStartsADotStuffedLine) {
  TPostMessage m;
  m.FromAddress = "a@b";
  m.Body.Add("one\r\n.\r\nRSET");
  m.Body.Add("two\n.three\rfour\r\n");
  m.Body.Add("\n");
  Composition c;
  c.compose(m);
  EXPECT_EQ(c.body.Data(), "one\r\n..\r\nRSET\r\ntwo\r\n..three\r\nfour\r\n\r\n");
}

TEST(Composer, LongTimeTextKeepsTheLocaleFormatWithoutZone) {
  std::tm tm{};
  tm.tm_hour = 14;
  tm.tm_min = 5;
  tm.tm_sec = 9;
  EXPECT_EQ(LongTimeText(tm, "%H:%M:%S"), "14:05:09");
  EXPECT_EQ(LongTimeText(tm, "%I:%M:%S %p"), "02:05:09 PM");
  EXPECT_EQ(LongTimeText(tm, "%r"), "02:05:09 PM");
  EXPECT_EQ(LongTimeText(tm, "%H.%M.%S %Z"), "14.05.09");
  EXPECT_EQ(LongTimeText(tm, "%T %z %p"), "14:05:09 PM");
  // Text a boundary cannot carry falls back to the plain time of day.
  EXPECT_EQ(LongTimeText(tm, "%H\xE6\x99\x82%M\xE5\x88\x86%S"), "14:05:09");
  EXPECT_EQ(LongTimeText(tm, "%Z"), "14:05:09");
}

TEST(Composer, LargeMessageSpoolsToDiskWithTheSameBytes) {
  QTemporaryDir dir;
  const std::string path = dir.path().toStdString() + "/big.bin";
  std::string content(3 * 1024 * 1024 + 7, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 131) >> 3);
  TMemoryStream file;
  file.SetData(content);
  file.SaveToFile(path);

  TPostMessage m = fullMessage();
  m.Attachments.Add(path);
  Composition inMemory;
  inMemory.compose(m);

  TExStringList header;
  std::string boundary;
  TSpoolStream spool(1024 * 1024);
  ComposeMessage(m, uuMime, localTime(14, 5, 9), {}, header, boundary, spool);
  EXPECT_TRUE(spool.OnDisk());
  ASSERT_EQ(spool.Size(), inMemory.body.Size());
  std::string spooled(static_cast<size_t>(spool.Size()), '\0');
  spool.SetPosition(0);
  spool.ReadBuffer(spooled.data(), spool.Size());
  EXPECT_TRUE(spooled == inMemory.body.Data());

  // The next, small message goes back to memory.
  m.Attachments.Clear();
  ComposeMessage(m, uuMime, localTime(14, 5, 9), {}, header, boundary, spool);
  Composition plain;
  plain.compose(m);
  EXPECT_FALSE(spool.OnDisk());
  EXPECT_EQ(spool.Size(), plain.body.Size());
}

TEST(Composer, DateAndMessageIdAreMadeWhenTheRecordHasNone) {
  TimeZone india("IST-5:30");
  TPostMessage m;
  m.FromAddress = "ann@Mail.Example.org";
  Composition c;
  c.compose(m, localTime(9, 3, 4));
  EXPECT_EQ(c.header[1], "Date: Mon, 7 Dec 2026 09:03:04 +0530");
  EXPECT_TRUE(std::regex_match(c.header[2], std::regex("Message-ID: <[0-9a-f]{32}@Mail\\.Example\\.org>")))
      << c.header[2];
  Composition again;
  again.compose(m, localTime(9, 3, 4));
  EXPECT_NE(again.header[2], c.header[2]);

  TimeZone newfoundland("NST3:30");
  Composition west;
  west.compose(m, localTime(23, 59, 0));
  EXPECT_EQ(west.header[1], "Date: Mon, 7 Dec 2026 23:59:00 -0330");
}

TEST(Composer, NonAsciiMessageGoesOutEncodedByteForByte) {
  TPostMessage m;
  m.FromName = "Zo\xC3\xAB \xC3\x9Cnal";
  m.FromAddress = "zoe@example.org";
  m.Subject =
      "Gr\xC3\xBC\xC3\x9F"
      "e aus K\xC3\xB6ln";
  m.LocalProgram = "Corvane 1.0";
  m.Date = "Mon, 7 Dec 2026 14:05:09 +0100";
  m.MessageID = "<1@example.org>";
  m.ToAddress.Add("J\xC3\xBCrgen Gro\xC3\x9F <juergen@example.org>");
  m.ToAddress.Add("Smith, Bob <bob@example.org>");
  m.ToAddress.Add("\"Doe, Jane\" <jane@example.org>");
  m.ToCarbonCopy.Add("carol@example.org");
  for (const char* line : {"Gr\xC3\xBC\xC3\x9F"
                           "e,",
                           ".", "From here on", "trailing blank ", "a=b"})
    m.Body.Add(line);
  Composition c;
  c.compose(m);
  EXPECT_EQ(c.wire(), corvane::ReadFile(kData + "utf8_plain.expected"));
  EXPECT_EQ(c.header.IndexOfHeader("Content-Transfer-Encoding"), c.header.Count() - 1);
}

TEST(Composer, LongAndEightBitBodyLinesGoQuotedPrintableAndShortAsciiOnesStayAsTheyAre) {
  const auto bodyOf = [](std::vector<std::string> lines, bool withFile = false) {
    TPostMessage m;
    m.FromAddress = "a@b";
    m.MessageID = "<1@b>";
    for (const std::string& line : lines) m.Body.Add(line);
    if (withFile) m.Attachments.Add(kNotes);
    auto c = std::make_unique<Composition>();
    c->compose(m);
    return c;
  };
  // The wire takes 998 octets a line; the dot that stuffing adds counts.
  EXPECT_NE(bodyOf({std::string(998, 'x')})->wire().find("charset=us-ascii"), std::string::npos);
  EXPECT_NE(bodyOf({"." + std::string(996, 'x')})->wire().find("charset=us-ascii"), std::string::npos);
  EXPECT_NE(bodyOf({"." + std::string(997, 'x')})->wire().find("quoted-printable"), std::string::npos);
  EXPECT_NE(bodyOf({std::string(999, 'x')})->wire().find("quoted-printable"), std::string::npos);
  EXPECT_NE(bodyOf({std::string("nul\0byte", 8)})->wire().find("quoted-printable"), std::string::npos);

  const std::string longLine = "." + std::string(3000, 'y') + "\xE2\x82\xAC";
  const auto c = bodyOf({longLine, "next"}, true);
  const std::vector<std::string> lines = wireLines(c->body.Data());
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[1], "Content-Type: text/plain;                        charset=utf-8");
  EXPECT_EQ(lines[2], "Content-Transfer-Encoding: quoted-printable");
  EXPECT_EQ(lines[3], "");
  std::string decoded;
  size_t i = 4;
  for (; i < lines.size() && lines[i] != "next"; ++i) {
    ASSERT_FALSE(lines[i].empty());
    std::string line = lines[i];
    if (line.front() == '.') line.erase(0, 1);  // dot-stuffed on the wire
    EXPECT_LE(line.size(), 76u);
    decoded += line.back() == '=' ? line.substr(0, line.size() - 1) : line;
  }
  EXPECT_EQ(decoded, "." + std::string(3000, 'y') + "=E2=82=AC");
  EXPECT_LT(i, lines.size());

  // A line that a reader would take for the delimiter cannot stay as it is.
  const std::string boundary = bodyOf({"x"}, true)->boundary;
  const auto faked = bodyOf({"--" + boundary + "--"}, true);
  EXPECT_EQ(faked->body.Data().find("\r\n--" + boundary + "--\r\n"), faked->body.Size() - boundary.size() - 8);
}

TEST(Composer, AttachmentNamesCannotAddParametersAndNonAsciiNamesAreEncoded) {
  QTemporaryDir dir;
  const auto attach = [&](const std::string& name) {
    const std::string path = dir.path().toStdString() + "/" + name;
    TMemoryStream file;
    file.SetData("x");
    file.SaveToFile(path);
    TPostMessage m;
    m.FromAddress = "a@b";
    m.MessageID = "<1@b>";
    m.Attachments.Add(path);
    Composition c;
    c.compose(m);
    const std::string& body = c.body.Data();
    const size_t start = body.find("Content-Type: application/octet-stream;");
    return body.substr(start, body.find("\r\n\r\n", start) - start);
  };
  EXPECT_EQ(attach("say \"hi\".txt"),
            "Content-Type: application/octet-stream;          name=\"say \\\"hi\\\".txt\"\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment;                 filename=\"say \\\"hi\\\".txt\"");
  EXPECT_EQ(attach("x.txt\"; filename=\"evil.exe"),
            "Content-Type: application/octet-stream;          name=\"x.txt\\\"; filename=\\\"evil.exe\"\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment;                 filename=\"x.txt\\\"; filename=\\\"evil.exe\"");
  EXPECT_EQ(attach("R\xC3\xA9sum\xC3\xA9 100%.txt"),
            "Content-Type: application/octet-stream;\r\n"
            " name=\"=?UTF-8?B?UsOpc3Vtw6kgMTAwJS50eHQ=?=\"\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment;\r\n"
            " filename*=UTF-8''R%C3%A9sum%C3%A9%20100%25.txt");
  // What a reader would decode as an encoded word is sent encoded, so it reads as typed.
  EXPECT_NE(attach("=?UTF-8?Q?a?=.txt").find("filename*=UTF-8''%3D%3FUTF-8%3FQ%3Fa%3F%3D.txt"), std::string::npos);
}

TEST(Composer, AHeaderFieldThatCannotBeFoldedIsRefused) {
  TPostMessage m = fullMessage();
  m.ToAddress.Add("<" + std::string(1000, 'a') + "@example.org>");
  Composition c;
  try {
    c.compose(m);
    FAIL() << "sent";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Line too long in the To header");
  }
}

}  // namespace
