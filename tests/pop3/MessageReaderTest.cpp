// The message reader on recorded message texts. Each tests/data/pop3/reader/NAME.eml is a
// RETR reply body as a server sends it (LF in the file, CR LF on the wire), ending with its
// terminating line; NAME.expected is the dump of the record and of the files written;
// NAME.before, when present, lists files that already exist in the attachment folder.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Exceptions.h"
#include "MessageReader.h"
#include "Streams.h"
#include "ZnUUE.h"

namespace fs = std::filesystem;

namespace {

const fs::path kCases = fs::path(CORVANE_TEST_DATA) / "pop3" / "reader";
// A line that follows the message on the wire; the reader must leave it alone.
const std::string kNextReply = "+OK next reply\r\n";

std::string toCrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// Splits wire bytes into the lines ReadLn would hand out.
std::vector<std::string> wireLines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    end = end == std::string::npos ? bytes.size() : end + 1;
    lines.push_back(bytes.substr(start, end - start));
    start = end;
  }
  return lines;
}

// Serves lines in order; asking past the end is a fault of the reader.
class LineFeed {
 public:
  explicit LineFeed(std::vector<std::string> lines) : lines_(std::move(lines)) {}
  std::string operator()() {
    if (next_ >= lines_.size()) throw EAbortError("read past the end of the reply");
    return lines_[next_++];
  }
  size_t Unread() const { return lines_.size() - next_; }

 private:
  std::vector<std::string> lines_;
  size_t next_ = 0;
};

std::string escaped(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 32 || c >= 127) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void dumpList(std::ostringstream& out, const char* title, const TStringList& list) {
  out << title << ":\n";
  for (const std::string& line : list.Items()) out << "|" << escaped(line) << "\n";
}

// Every file below root with its bytes, split after each LF; the scratch file by name only.
void dumpFiles(std::ostringstream& out, const fs::path& root) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), root));
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    out << "File " << file.generic_string();
    if (file.filename() == "Temp.mme") {
      out << " (scratch)\n";
      continue;
    }
    const std::string bytes = corvane::ReadFile((root / file).string());
    out << " (" << bytes.size() << " bytes):\n";
    for (const std::string& line : wireLines(bytes)) out << "|" << escaped(line) << "\n";
  }
}

std::string dump(const TMailMessage& m, const fs::path& root) {
  std::ostringstream out;
  out << "From=[" << escaped(m.From) << "]\n";
  out << "Subject=[" << escaped(m.Subject) << "]\n";
  out << "MessageId=[" << escaped(m.MessageId) << "]\n";
  dumpList(out, "Header", m.Header);
  dumpList(out, "Body", m.Body);
  dumpList(out, "Attachments", m.Attachments);
  dumpFiles(out, root);
  return out.str();
}

// One reader with its folder: root/mail/box/ is the attachment folder, two levels deep so
// that a name climbing out of it would show up in the dump.
struct ReaderRig {
  ReaderRig() : reader(message, coder) {
    folder = fs::path(dir.path().toStdString()) / "mail" / "box";
    fs::create_directories(folder);
    reader.AttachFilePath = folder.string() + "/";
    reader.OnStatus = [this](const std::string& text) { statuses.push_back(text); };
    coder.OnMessage = [this](const std::string& text) { statuses.push_back("message:" + text); };
  }
  // Reads the wire bytes followed by the next reply; returns the lines left unread.
  size_t Read(const std::string& wire) {
    std::vector<std::string> lines = wireLines(wire);
    lines.push_back(kNextReply);
    LineFeed feed(lines);
    reader.Reset();
    reader.Read([&feed] { return feed(); });
    return feed.Unread();
  }
  fs::path Root() const { return fs::path(dir.path().toStdString()); }

  QTemporaryDir dir;
  fs::path folder;
  TMailMessage message;
  TZnUUProcessor coder;
  TMessageReader reader;
  std::vector<std::string> statuses;
};

std::vector<std::string> caseNames() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(kCases)) {
    if (entry.path().extension() == ".eml") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class ReaderCase : public testing::TestWithParam<std::string> {};

TEST_P(ReaderCase, MatchesExpectedDump) {
  const fs::path base = kCases / GetParam();
  ReaderRig rig;
  if (fs::exists(base.string() + ".before")) {
    std::ifstream before(base.string() + ".before");
    for (std::string name; std::getline(before, name);) {
      if (!name.empty()) std::ofstream(rig.folder / name) << "old\n";
    }
  }
  const size_t unread = rig.Read(toCrLf(corvane::ReadFile(base.string() + ".eml")));
  EXPECT_EQ(unread, 1u) << "the reader must stop exactly at the terminating line";

  const std::string actual = dump(rig.message, rig.Root());
  const std::string expectedPath = base.string() + ".expected";
  if (!fs::exists(expectedPath) && std::getenv("CORVANE_WRITE_EXPECTED")) {
    std::ofstream(expectedPath, std::ios::binary) << actual;
  }
  EXPECT_EQ(actual, corvane::ReadFile(expectedPath));
}

INSTANTIATE_TEST_SUITE_P(Messages, ReaderCase, testing::ValuesIn(caseNames()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(MessageReader, NameWithNulBecomesDefaultName) {
  ReaderRig rig;
  std::string wire = toCrLf(
      "Content-Type: multipart/mixed; boundary=b\n\n--b\n\ntext\n--b\n"
      "Content-Disposition: attachment; filename=\"");
  wire += std::string("evil\0.txt", 9) + "\"\r\n\r\npayload\r\n--b--\r\n.\r\n";
  EXPECT_EQ(rig.Read(wire), 1u);
  ASSERT_EQ(rig.message.Attachments.Count(), 1);
  EXPECT_EQ(rig.message.Attachments[0], "text.tmp");
  EXPECT_EQ(corvane::ReadFile((rig.folder / "text.tmp").string()), "payload\r\n");
}

TEST(MessageReader, PlainFileNameKeepsEveryPartInsideTheFolder) {
  EXPECT_EQ(TMessageReader::PlainFileName("../../x"), "x");
  EXPECT_EQ(TMessageReader::PlainFileName("/etc/passwd"), "passwd");
  EXPECT_EQ(TMessageReader::PlainFileName("C:\\dir\\y.txt"), "y.txt");
  EXPECT_EQ(TMessageReader::PlainFileName("dir/"), "text.tmp");
  EXPECT_EQ(TMessageReader::PlainFileName("a/.."), "text.tmp");
  EXPECT_EQ(TMessageReader::PlainFileName("."), "text.tmp");
  EXPECT_EQ(TMessageReader::PlainFileName(""), "text.tmp");
  EXPECT_EQ(TMessageReader::PlainFileName("..hidden"), "..hidden");
  EXPECT_EQ(TMessageReader::PlainFileName(std::string(250, 'n') + ".pdf"), std::string(196, 'n') + ".pdf");
  EXPECT_EQ(TMessageReader::PlainFileName(std::string(250, 'n')), std::string(200, 'n'));
}

TEST(MessageReader, PartsNeverTakeTheOwnersFileNames) {
  ReaderRig rig;
  rig.reader.ReservedFileNames = {"mailbook.txt", "corvane.ini"};
  rig.Read(
      toCrLf("Content-Type: multipart/mixed; boundary=b\n\n--b\n\ntext\n--b\n"
             "Content-Type: text/plain; name=\"mailbook.txt\"\n\nevil=a@b\n--b\n"
             "Content-Type: text/plain; name=\"Corvane.INI\"\n\n[OUTBOX]\n--b--\n.\n"));
  EXPECT_EQ(rig.message.Attachments.Items(), (std::vector<std::string>{"mailbook_1.txt", "Corvane_1.INI"}));
  EXPECT_FALSE(fs::exists(rig.folder / "mailbook.txt"));
  EXPECT_FALSE(fs::exists(rig.folder / "corvane.ini"));
}

TEST(MessageReader, ReportsExtractionAndDecodingInOrder) {
  ReaderRig rig;
  rig.Read(
      toCrLf("Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\n\nhi\n--b\n"
             "Content-Transfer-Encoding: base64\nContent-Type: text/plain; name=\"a.txt\"\n\nYWJj\n--b--\n.\n"));
  EXPECT_EQ(rig.statuses, (std::vector<std::string>{"Extracting file", "Extracting file", "Decoding file"}));
  EXPECT_EQ(corvane::ReadFile((rig.folder / "a.txt").string()), "abc");
}

TEST(MessageReader, UnwritableFolderFailsAfterReadingTheWholeMessage) {
  ReaderRig rig;
  rig.reader.AttachFilePath = (rig.folder / "missing").string() + "/";
  const std::string wire = toCrLf(
      "Subject: s\nContent-Type: multipart/mixed; boundary=b\n\n--b\n\ntext\n--b\n"
      "Content-Type: text/plain; name=\"a.txt\"\n\nA\n--b--\nepilogue\n.\n");
  std::vector<std::string> lines = wireLines(wire);
  lines.push_back(kNextReply);
  LineFeed feed(lines);
  rig.reader.Reset();
  try {
    rig.reader.Read([&feed] { return feed(); });
    FAIL() << "no error";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file " + rig.reader.AttachFilePath + "Temp.mme");
  }
  EXPECT_EQ(feed.Unread(), 1u);
  EXPECT_EQ(rig.message.Subject, " s");
  EXPECT_EQ(rig.message.Body.Text(), "text\r\n");
}

TEST(MessageReader, SocketFailurePassesOnWithoutReadingFurther) {
  ReaderRig rig;
  int calls = 0;
  rig.reader.Reset();
  EXPECT_THROW(rig.reader.Read([&calls]() -> std::string {
    if (++calls == 3) throw EAbortError("Socket readln aborted");
    return "Subject: x\r\n";
  }),
               EAbortError);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(rig.message.Header.Count(), 2);
}

TEST(MessageReader, NextMessageStartsFromAClearRecord) {
  ReaderRig rig;
  rig.Read(
      toCrLf("From: a@b\nSubject: one\nContent-Type: multipart/mixed; boundary=b\n\n--b\n\nx\n--b\n"
             "Content-Type: text/plain; name=\"n.txt\"\n\ny\n--b--\n.\n"));
  ASSERT_EQ(rig.message.Attachments.Count(), 1);
  rig.Read(toCrLf("Subject: two\n\nbody\n.\n"));
  EXPECT_EQ(rig.message.From, "");
  EXPECT_EQ(rig.message.Subject, " two");
  EXPECT_EQ(rig.message.Attachments.Count(), 0);
  EXPECT_EQ(rig.message.Body.Text(), "body\r\n");
}

// A base64 part of some megabytes: 76-character lines of varied data, with a padded line
// (which ends decoding) after padAfter lines when padAfter >= 0.
std::string bigBase64Part(int lines, int padAfter) {
  static const char* const kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string body;
  for (int i = 0; i < lines; ++i) {
    if (i == padAfter) body += "YQ==\r\n";
    for (int j = 0; j < 76; ++j) body += kDigits[(i * 7 + j * 13) % 64];
    body += "\r\n";
  }
  return body;
}

std::string decodedAtOnce(const std::string& coded) {
  TMemoryStream in, out;
  in.SetData(coded);
  TZnUUProcessor coder;
  coder.InputStream = &in;
  coder.OutputStream = &out;
  coder.Decode();
  return out.Data();
}

TEST(MessageReader, LargeBase64PartsDecodeAsOneCallWould) {
  // 40000 lines are about 3 MB, so the part is decoded in several steps while it arrives.
  for (const int padAfter : {-1, 20000}) {
    ReaderRig rig;
    const std::string coded = bigBase64Part(40000, padAfter);
    rig.Read(toCrLf("Content-Type: multipart/mixed; boundary=\"sep\"\n\n--sep\n\ntext\n--sep\n"
                    "Content-Transfer-Encoding: base64\nContent-Type: x/y; name=\"big.bin\"\n\n") +
             coded + "--sep--\r\n.\r\n");
    const std::string decoded = corvane::ReadFile((rig.folder / "big.bin").string());
    EXPECT_TRUE(decoded == decodedAtOnce(coded)) << "padding after line " << padAfter;
    EXPECT_EQ(decoded.size(), padAfter < 0 ? 40000u * 57 : 20000u * 57 + 1);
    EXPECT_TRUE(corvane::ReadFile((rig.folder / "Temp.mme").string()) == coded);
  }
}

TEST(MessageReader, PartCutShortLeavesNoHalfDecodedAttachment) {
  ReaderRig rig;
  const std::string wire = toCrLf(
                               "Content-Type: multipart/mixed; boundary=\"sep\"\n\n--sep\n\ntext\n--sep\n"
                               "Content-Transfer-Encoding: base64\nContent-Type: x/y; name=\"big.bin\"\n\n") +
                           bigBase64Part(40000, -1);
  std::vector<std::string> lines = wireLines(wire);
  LineFeed feed(lines);  // ends without the rest of the message: the read fails
  rig.reader.Reset();
  EXPECT_THROW(rig.reader.Read([&feed] { return feed(); }), EAbortError);
  EXPECT_FALSE(fs::exists(rig.folder / "big.bin"));
  EXPECT_EQ(rig.message.Attachments.Count(), 0);
}

}  // namespace
