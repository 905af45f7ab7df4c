// The message reader on recorded message texts. Each tests/data/pop3/reader/NAME.eml is a
// RETR reply body as a server sends it (LF in the file, CR LF on the wire), ending with its
// terminating line; NAME.expected is the dump of the record and of the files written;
// NAME.before, when present, lists files that already exist in the attachment folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "Charsets.h"
#include "Corpus.h"
#include "Exceptions.h"
#include "MboxArchive.h"
#include "MessageReader.h"
#include "Streams.h"
#include "SysUtils.h"
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

// LF to CR LF where a line does not end in CR LF already.
std::string toCrLfOnce(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
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

// Serves the wire as a socket's receive buffer does: bytes arrive in packets of varying
// size, ReadLine waits (takes another packet) until a line is complete, and Buffered shows
// every complete line that has arrived. Asking past the end is a fault of the reader.
class PacketInput : public TLineInput {
 public:
  PacketInput(std::string wire, unsigned seed) : wire_(std::move(wire)), rng_(seed) {}
  void ReadLine(std::string& line) override {
    for (;;) {
      const size_t lf = std::string_view(wire_).substr(0, arrived_).find('\n', head_);
      if (lf != std::string::npos) {
        line.assign(wire_, head_, lf + 1 - head_);
        head_ = lf + 1;
        return;
      }
      if (arrived_ == wire_.size()) throw EAbortError("read past the end of the reply");
      arrive();
    }
  }
  std::string_view Buffered() override {
    // More may have come in since the last look.
    if (rng_() % 3 == 0) arrive();
    shown_ = std::string_view(wire_).substr(head_, arrived_ - head_);
    shown_ = shown_.substr(0, shown_.rfind('\n') + 1);
    return shown_;
  }
  void Take(size_t count) override {
    ASSERT_LE(count, shown_.size()) << "took more than was shown";
    head_ += count;
    shown_ = {};
  }
  std::string Unread() const { return wire_.substr(head_); }

 private:
  void arrive() {
    // Mostly small packets, now and then a large one.
    const size_t size = rng_() % 8 == 0 ? 1 + rng_() % 20000 : 1 + rng_() % 300;
    arrived_ = std::min(wire_.size(), arrived_ + size);
  }

  std::string wire_;
  std::mt19937 rng_;
  size_t head_ = 0;
  size_t arrived_ = 0;
  std::string_view shown_;
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

void dumpList(std::ostringstream& out, const char* title, const std::vector<std::string>& lines) {
  out << title << ":\n";
  for (const std::string& line : lines) out << "|" << escaped(line) << "\n";
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
  dumpList(out, "Header", m.Header.Items());
  dumpList(out, "Body", m.Body.Items());
  dumpList(out, "Attachments", m.Attachments.Items());
  dumpFiles(out, root);
  return out.str();
}

// One reader with its folder: root/mail/box/ is the attachment folder, two levels deep so
// that a name climbing out of it would show up in the dump.
struct ReaderRig {
  ReaderRig() : reader(message) {
    folder = fs::path(dir.path().toStdString()) / "mail" / "box";
    fs::create_directories(folder);
    reader.AttachFilePath = folder.string() + "/";
    reader.OnStatus = [this](const std::string& text) { statuses.push_back(text); };
    reader.OnMessage = [this](const std::string& text) { statuses.push_back("message:" + text); };
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
  // The same through a receive buffer; returns the bytes left unread.
  std::string ReadBuffered(const std::string& wire, unsigned seed) {
    PacketInput input(wire + kNextReply, seed);
    reader.Reset();
    reader.Read(input);
    return input.Unread();
  }
  fs::path Root() const { return fs::path(dir.path().toStdString()); }

  QTemporaryDir dir;
  fs::path folder;
  TMailMessage message;
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

// Runs of lines taken straight from the receive buffer give the same record, files and
// archive as lines taken one at a time, wherever the packets happen to end.
TEST_P(ReaderCase, TheSameFromTheReceiveBufferInRuns) {
  const fs::path base = kCases / GetParam();
  const std::string wire = toCrLf(corvane::ReadFile(base.string() + ".eml"));
  std::string archives[2];
  for (const bool buffered : {false, true}) {
    ReaderRig rig;
    if (fs::exists(base.string() + ".before")) {
      std::ifstream before(base.string() + ".before");
      for (std::string name; std::getline(before, name);) {
        if (!name.empty()) std::ofstream(rig.folder / name) << "old\n";
      }
    }
    // Beside the dumped folder, so that the dump stays the expected one.
    QTemporaryDir archiveDir;
    MboxArchive archive(archiveDir.path().toStdString() + "/mailin.mbox");
    rig.reader.RawSink = &archive;
    if (buffered) {
      EXPECT_EQ(rig.ReadBuffered(wire, static_cast<unsigned>(wire.size())), kNextReply);
    } else {
      EXPECT_EQ(rig.Read(wire), 1u);
    }
    EXPECT_EQ(dump(rig.message, rig.Root()), corvane::ReadFile(base.string() + ".expected")) << buffered;
    const std::string file = corvane::ReadFile(archive.Path());
    // Without the envelope line, whose date is the time of arrival.
    archives[buffered] = file.substr(file.find('\n'));
  }
  EXPECT_TRUE(archives[0] == archives[1]);
}

INSTANTIATE_TEST_SUITE_P(Messages, ReaderCase, testing::ValuesIn(caseNames()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(MessageReader, ControlCharactersLeaveFileNames) {
  ReaderRig rig;
  std::string wire = toCrLf(
      "Content-Type: multipart/mixed; boundary=b\n\n--b\n\ntext\n--b\n"
      "Content-Disposition: attachment; filename=\"");
  wire += std::string("evil\0\x1B[2J\x7F\xC2\x9B.txt", 16) + "\"\r\n\r\npayload\r\n--b--\r\n.\r\n";
  EXPECT_EQ(rig.Read(wire), 1u);
  ASSERT_EQ(rig.message.Attachments.Count(), 1);
  EXPECT_EQ(rig.message.Attachments[0], "evil[2J.txt");
  EXPECT_EQ(corvane::ReadFile((rig.folder / "evil[2J.txt").string()), "payload");
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
    EXPECT_EQ(e.Message(), "Cannot create file " + rig.reader.AttachFilePath + "a.txt");
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
    EXPECT_FALSE(fs::exists(rig.folder / "Temp.mme"));
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

// ---- real-world messages ---------------------------------------------------------------
// tests/data/corpus/NAME.eml is a message as a mail library's test suite ships it (see the
// README there); NAME.expected holds what a user gets: sender, subject, body text and every
// attachment's name, size and SHA-256. The message goes through the archive as well, which
// must give back exactly the bytes sent.

const fs::path kCorpus = corpus::Folder();

// A message file as a server sends it: CR LF line ends, leading dots doubled, then ".".
std::string onTheWire(const std::string& message) {
  std::string wire;
  for (const std::string& line : wireLines(toCrLfOnce(message))) {
    if (line.starts_with(".")) wire += ".";
    wire += line;
  }
  if (!wire.ends_with("\r\n")) wire += "\r\n";
  return wire + ".\r\n";
}

std::string sha256(const std::string& bytes) {
  return QCryptographicHash::hash(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())),
                                  QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

std::string corpusDump(const TMailMessage& m, const fs::path& folder) {
  std::ostringstream out;
  out << "From=[" << escaped(m.From) << "]\n";
  out << "Subject=[" << escaped(m.Subject) << "]\n";
  dumpList(out, "Body", m.Body.Items());
  out << "Attachments:\n";
  for (const std::string& name : m.Attachments.Items()) {
    const std::string bytes = corvane::ReadFile((folder / name).string());
    out << "|" << escaped(name) << " " << bytes.size() << " " << sha256(bytes) << "\n";
  }
  return out.str();
}

class CorpusMessage : public testing::TestWithParam<std::string> {};

TEST_P(CorpusMessage, ShowsItsTextKeepsItsFilesAndArchivesItExactly) {
  const fs::path base = kCorpus / GetParam();
  ReaderRig rig;
  MboxArchive archive((rig.Root() / "mailin.mbox").string());
  rig.reader.RawSink = &archive;
  const std::string wire = onTheWire(corvane::ReadFile(base.string() + ".eml"));
  EXPECT_EQ(rig.Read(wire), 1u);

  // Every file in the folder is one the message lists, and the body is valid UTF-8.
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(rig.folder)) {
    ++files;
    EXPECT_GE(rig.message.Attachments.IndexOf(entry.path().filename().string()), 0) << entry.path();
  }
  EXPECT_EQ(files, static_cast<size_t>(rig.message.Attachments.Count()));
  for (const std::string& line : rig.message.Body.Items()) EXPECT_TRUE(mime::IsValidUtf8(line)) << line;

  const std::string actual = corpusDump(rig.message, rig.folder);
  const std::string expectedPath = base.string() + ".expected";
  if (!fs::exists(expectedPath) && std::getenv("CORVANE_WRITE_EXPECTED"))
    std::ofstream(expectedPath, std::ios::binary) << actual;
  EXPECT_EQ(actual, corvane::ReadFile(expectedPath));

  const std::vector<std::string> archived = MboxArchive::ReadMessages(archive.Path());
  ASSERT_EQ(archived.size(), 1u);
  std::string sent = toCrLfOnce(corvane::ReadFile(base.string() + ".eml"));
  if (!sent.ends_with("\r\n")) sent += "\r\n";
  EXPECT_TRUE(archived[0] == sent) << "the archive must hold the message exactly as sent";
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusMessage, testing::ValuesIn(corpus::Names()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

// ---- the raw archive -------------------------------------------------------------------

TEST(MessageArchive, KeepsEachMessageAsSentQuotesFromLinesAndDropsOneCutShort) {
  ReaderRig rig;
  MboxArchive archive((rig.Root() / "mailin.mbox").string());
  rig.reader.RawSink = &archive;
  const std::string first = "Subject: one\r\n\r\nFrom here on\r\n>From there\r\n.dot\r\n";
  const std::string second = "Subject: two\n\nbare line ends\n";
  rig.Read("Subject: one\r\n\r\nFrom here on\r\n>From there\r\n..dot\r\n.\r\n");
  rig.Read(second + ".\n");
  const std::string file = corvane::ReadFile(archive.Path());
  EXPECT_TRUE(file.starts_with("From MAILER-DAEMON ")) << file;
  EXPECT_NE(file.find("\r\n>From here on\r\n>>From there\r\n.dot\r\n\nFrom MAILER-DAEMON "), std::string::npos) << file;
  EXPECT_EQ(MboxArchive::ReadMessages(archive.Path()), (std::vector<std::string>{first, second}));
  EXPECT_EQ(fs::status(archive.Path()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  // A message whose connection breaks leaves the archive as it was.
  const auto before = fs::file_size(archive.Path());
  std::vector<std::string> lines = wireLines(toCrLf("Subject: three\n\npartial\n"));
  LineFeed feed(lines);
  EXPECT_THROW(rig.reader.Read([&feed] { return feed(); }), EAbortError);
  EXPECT_EQ(fs::file_size(archive.Path()), before);
  EXPECT_EQ(MboxArchive::ReadMessages(archive.Path()).size(), 2u);
}

TEST(MessageArchive, RunsOfLinesAreKeptAsTheLinesOneByOne) {
  std::string text = "From: a\r\n\r\nFrom here\r\n>From there\r\n>>From far\r\nFro\r\nF\r\n>\r\n>x From\r\n";
  // Past the archive's buffer, so that a run goes to the file without it.
  for (int i = 0; text.size() < 700 * 1024; ++i) text += (i % 97 == 0 ? "From " : "line ") + std::to_string(i) + "\n";
  text += "From the end without a line end";
  const std::vector<std::string> lines = wireLines(text);
  QTemporaryDir dir;
  std::string files[2];
  for (const bool runs : {false, true}) {
    MboxArchive archive(dir.path().toStdString() + (runs ? "/runs.mbox" : "/lines.mbox"));
    archive.BeginMessage();
    std::mt19937 rng(5);
    for (size_t i = 0; i < lines.size();) {
      size_t n = runs ? 1 + rng() % (rng() % 4 == 0 ? 20000 : 5) : 1;
      n = std::min(n, lines.size() - i);
      std::string run;
      for (size_t k = i; k < i + n; ++k) run += lines[k];
      runs ? archive.Lines(run) : archive.Line(run);
      i += n;
    }
    archive.EndMessage();
    const std::string file = corvane::ReadFile(archive.Path());
    files[runs] = file.substr(file.find('\n'));
    EXPECT_EQ(MboxArchive::ReadMessages(archive.Path()), std::vector<std::string>{text + "\n"});
  }
  EXPECT_TRUE(files[0] == files[1]);
}

// The file size limit stands in for a full disk: writes past it fail with EFBIG.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    previous_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit old_{};
  sighandler_t previous_;
};

TEST(MessageArchive, AnArchiveThatCannotBeWrittenFailsTheRetrievalAfterTheWholeMessage) {
  for (const int way : {0, 1, 2, 3}) {
    const bool full = way & 1;
    const bool buffered = way & 2;
    ReaderRig rig;
    // Either no folder for the archive, or a disk that fills in the middle of the message.
    const fs::path path = full ? rig.Root() / "mailin.mbox" : rig.Root() / "missing" / "mailin.mbox";
    MboxArchive archive(path.string());
    rig.reader.RawSink = &archive;
    std::string wire = "Subject: big\r\n\r\n";
    while (wire.size() < 600 * 1024) wire += std::string(70, 'x') + "\r\n";
    std::vector<std::string> lines = wireLines(wire + ".\r\n");
    lines.push_back(kNextReply);
    LineFeed feed(lines);
    PacketInput input(wire + ".\r\n" + kNextReply, 7);
    {
      const FileSizeLimit limit(full ? 100 * 1024 : RLIM_INFINITY);
      if (buffered) {
        EXPECT_THROW(rig.reader.Read(input), EFCreateError) << full;
      } else {
        EXPECT_THROW(rig.reader.Read([&feed] { return feed(); }), EFCreateError) << full;
      }
    }
    const bool inStep = buffered ? input.Unread() == kNextReply : feed.Unread() == 1u;
    EXPECT_TRUE(inStep) << "the connection stays in step";
    EXPECT_EQ(full ? fs::file_size(path) : 0u, 0u) << "nothing of the message stays in the archive";
  }
}

// ---- naming and failures ---------------------------------------------------------------

TEST(MessageReader, ThousandsOfPartsOfOneNameGetTheNextSuffixEach) {
  ReaderRig rig;
  std::ofstream(rig.folder / "same.txt") << "old";
  std::ofstream(rig.folder / "same_2.txt") << "old";
  std::string wire = "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\ntext\r\n";
  constexpr int kParts = 4000;
  for (int i = 0; i < kParts; ++i)
    wire += "--b\r\nContent-Type: text/plain; name=\"same.txt\"\r\n\r\n" + std::to_string(i) + "\r\n";
  wire += "--b--\r\n.\r\n";
  rig.Read(wire);
  ASSERT_EQ(rig.message.Attachments.Count(), kParts);
  EXPECT_EQ(rig.message.Attachments[0], "same_1.txt");
  EXPECT_EQ(rig.message.Attachments[1], "same_3.txt");
  EXPECT_EQ(rig.message.Attachments[kParts - 1], "same_" + std::to_string(kParts + 1) + ".txt");
  EXPECT_EQ(corvane::ReadFile((rig.folder / "same_3.txt").string()), "1");

  // A file removed since then is taken again, as the first free number.
  fs::remove(rig.folder / "same_1.txt");
  fs::remove(rig.folder / ("same_" + std::to_string(kParts + 1) + ".txt"));
  rig.Read("Content-Type: text/plain; name=\"same.txt\"\r\n\r\nagain\r\n.\r\n");
  EXPECT_EQ(rig.message.Attachments.Items(), std::vector<std::string>{"same_1.txt"});
}

TEST(MessageReader, AFullDiskDuringTheLastDecodeLeavesNoFileAndNoName) {
  ReaderRig rig;
  const std::string big = bigBase64Part(4000, -1);  // 228,000 bytes decoded
  const std::string wire = toCrLf(
                               "Content-Type: multipart/mixed; boundary=b\n\n--b\n\ntext\n--b\n"
                               "Content-Type: text/plain; name=\"small.txt\"\n\nsmall\n--b\n"
                               "Content-Transfer-Encoding: base64\nContent-Type: x/y; name=\"big.bin\"\n\n") +
                           big + "--b--\r\n.\r\n";
  std::vector<std::string> lines = wireLines(wire);
  lines.push_back(kNextReply);
  LineFeed feed(lines);
  {
    const FileSizeLimit limit(64 * 1024);
    EXPECT_THROW(rig.reader.Read([&feed] { return feed(); }), EFileError);
  }
  EXPECT_EQ(feed.Unread(), 1u);
  EXPECT_FALSE(fs::exists(rig.folder / "big.bin"));
  EXPECT_EQ(rig.message.Attachments.Items(), std::vector<std::string>{"small.txt"});
  EXPECT_EQ(corvane::ReadFile((rig.folder / "small.txt").string()), "small");

  // The same with the coded lines taken from the receive buffer in runs.
  ReaderRig runs;
  PacketInput input(wire + kNextReply, 3);
  {
    const FileSizeLimit limit(64 * 1024);
    EXPECT_THROW(runs.reader.Read(input), EFileError);
  }
  EXPECT_EQ(input.Unread(), kNextReply);
  EXPECT_FALSE(fs::exists(runs.folder / "big.bin"));
  EXPECT_EQ(runs.message.Attachments.Items(), std::vector<std::string>{"small.txt"});
}

TEST(MessageReader, Base64CutAtAnyLineLengthGivesTheBytesSent) {
  std::string bytes;
  for (int i = 0; i < 3000; ++i) bytes += static_cast<char>((i * 131 + 7) % 256);
  TMemoryStream in, coded;
  in.SetData(bytes);
  TZnUUProcessor coder;
  coder.InputStream = &in;
  coder.OutputStream = &coded;
  coder.Encode();
  std::string flat;
  for (char c : coded.Data())
    if (c != '\r' && c != '\n') flat += c;
  for (const size_t width : {4u, 57u, 75u, 76u, 998u}) {
    std::string body;
    for (size_t at = 0; at < flat.size(); at += width) body += flat.substr(at, width) + "\r\n";
    ReaderRig rig;
    rig.Read(
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nt\r\n--b\r\n"
        "Content-Transfer-Encoding: BASE64\r\nContent-Type: x/y; name=\"d.bin\"\r\n\r\n" +
        body + "--b--\r\n.\r\n");
    EXPECT_TRUE(corvane::ReadFile((rig.folder / "d.bin").string()) == bytes) << "lines of " << width;
  }
}

TEST(MessageReader, ABoundaryThatStartsAnotherIsNotTakenForIt) {
  ReaderRig rig;
  rig.Read(
      toCrLf("Content-Type: multipart/mixed; boundary=\"sep\"\n\n--sep\n"
             "Content-Type: multipart/alternative; boundary=\"sep-2\"\n\n--sep-2\n\nplain\n--sep-2\n"
             "Content-Type: text/html\n\n<b>html</b>\n--sep-2--\n--sep\n"
             "Content-Type: text/plain; name=\"a.txt\"\n\n--sep-2 is text here\n--sep--\n.\n"));
  EXPECT_EQ(rig.message.Body.Items(), (std::vector<std::string>{"plain", "\r\nFile \"a.txt\" extracted"}));
  EXPECT_EQ(corvane::ReadFile((rig.folder / "a.txt").string()), "--sep-2 is text here");
}

}  // namespace

namespace {

// Quoted-printable as a sender writes it: lines of at most 76 characters, "=" before a
// soft break, any byte of a character may end up on either side of one.
std::string quotedPrintable(const std::string& text) {
  std::string out;
  size_t column = 0;
  for (const char c : text) {
    if (c == '\n') {
      out += "\r\n";
      column = 0;
      continue;
    }
    const unsigned char byte = static_cast<unsigned char>(c);
    const std::string coded =
        byte >= 33 && byte <= 126 && byte != '=' ? std::string(1, c) : corvane::Format("=%02X", byte);
    if (column + coded.size() > 75) {
      out += "=\r\n";
      column = 0;
    }
    out += coded;
    column += coded.size();
  }
  return out;
}

std::string base64Lines(const std::string& bytes) {
  const std::string coded = QByteArray::fromStdString(bytes).toBase64().toStdString();
  std::string out;
  for (size_t i = 0; i < coded.size(); i += 76) out += coded.substr(i, 76) + "\r\n";
  return out;
}

}  // namespace

TEST(MessageReader, ALongCodedTextBodyGivesTheLinesAWholeDecodeWould) {
  // About 10 MB of text, so that it is converted in pieces: UTF-8 characters of two to
  // four bytes, blanks at line ends, empty lines and lines longer than a coded line.
  std::mt19937 rng(5);
  const std::vector<std::string> words{"mail",
                                       "caf\xC3\xA9",
                                       "\xE2\x82\xAC"
                                       "5",
                                       "\xF0\x9F\x93\xA8",
                                       "a=b",
                                       "tab\t"};
  std::string text;
  std::vector<std::string> lines;
  while (text.size() < (10u << 20)) {
    std::string line;
    const int count = static_cast<int>(rng() % 40);
    for (int w = 0; w < count; ++w) line += words[rng() % words.size()] + (rng() % 5 == 0 ? "  " : " ");
    lines.push_back(line);
    text += line + "\n";
  }
  const std::string head = "From: a@b\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n";
  const std::string attachment =
      "--b\r\nContent-Type: application/octet-stream; name=\"x.bin\"\r\n\r\nX\r\n--b--\r\n.\r\n";
  std::vector<std::string> expected = lines;
  expected.push_back("\r\nFile \"x.bin\" extracted");
  for (const bool qp : {true, false}) {
    SCOPED_TRACE(qp ? "quoted-printable" : "base64");
    ReaderRig rig;
    const std::string part = std::string("Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: ") +
                             (qp ? "quoted-printable" : "base64") + "\r\n\r\n" +
                             (qp ? quotedPrintable(text) : base64Lines(text));
    EXPECT_EQ(rig.Read(head + part + attachment), 1u);
    EXPECT_EQ(rig.message.Body.Items(), expected);
  }

  // Latin-1 that is not UTF-8, and a body that ends the message without its last line end.
  ReaderRig rig;
  std::string latin;
  for (int i = 0; i < 200000; ++i)
    latin +=
        "Gr\xFC\xDF"
        "e " +
        std::to_string(i) + "\n";
  latin += "end";
  rig.Read("Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
           quotedPrintable(latin) + "\r\n.\r\n");
  ASSERT_EQ(rig.message.Body.Count(), 200001);
  EXPECT_EQ(rig.message.Body[199999],
            "Gr\xC3\xBC\xC3\x9F"
            "e 199999");
  EXPECT_EQ(rig.message.Body[200000], "end");
}

TEST(MessageReader, ALongHtmlBodyIsConvertedInPiecesThatKeepEveryParagraphAndNoStyleOrScript) {
  // 2.5 MB of markup, converted in pieces of about a megabyte: a style sheet, and a script
  // and a comment full of block tags where the first and second megabyte end, which must
  // not be cut.
  const auto filler = [](const std::string& open, const std::string& line, const std::string& close) {
    std::string block = open;
    while (block.size() < (80u << 10)) block += line;
    return block + close;
  };
  std::string html =
      "<html><head><style>p { color: red }\n<p>no</p></style></head><body>\n"
      "<!-- <div>comment</div> -->\n";
  std::vector<std::string> expected;
  bool script = false;
  bool comment = false;
  for (int i = 0; html.size() < (2500u << 10); ++i) {
    const std::string text = "paragraph " + std::to_string(i) + " caf\xC3\xA9";
    expected.push_back(text);
    html += i % 3 == 0 ? "<p>" + text + "</p>\n" : "<div><b>" + text + "</b></div>\n";
    if (!script && html.size() > (984u << 10)) {
      html += filler("<script>\n", "var s = '<p>script</p><div>s</div>';\n", "</script>\n");
      script = true;
    }
    if (!comment && html.size() > (1976u << 10)) {
      html += filler("<!--\n", "<p>comment</p><br><div>c</div>\n", "-->\n");
      comment = true;
    }
  }
  html += "</body></html>\n";
  const std::string head = "From: a@b\r\nContent-Type: text/html; charset=utf-8\r\n";
  for (const bool qp : {false, true}) {
    SCOPED_TRACE(qp ? "quoted-printable" : "8bit");
    ReaderRig rig;
    rig.Read(
        head +
        (qp ? "Content-Transfer-Encoding: quoted-printable\r\n\r\n" + quotedPrintable(html) : "\r\n" + toCrLf(html)) +
        ".\r\n");
    std::vector<std::string> shown;
    for (const std::string_view line : rig.message.Body)
      if (!line.empty()) shown.emplace_back(line);
    EXPECT_EQ(shown, expected);
  }
}

TEST(MessageReader, AFloodOfHeaderLinesIsCutAtTheLimitWhileTheFirstFieldsStillCount) {
  // Several megabytes of header, repeating the fields the record takes: the first of each
  // counts, and only the first megabyte of lines is kept.
  std::string wire = "From: first@example.org\r\nSubject: first\r\nMessage-ID: <first@x>\r\n";
  for (int i = 0; wire.size() < (3u << 20); ++i)
    wire += "Subject: later " + std::to_string(i) +
            "\r\nFrom: later@example.org\r\n  folded\r\nX-Filler: " + std::to_string(i) + "\r\n";
  wire += "\r\nbody\r\n.\r\n";
  ReaderRig rig;
  EXPECT_EQ(rig.Read(wire), 1u);
  EXPECT_EQ(rig.message.From, "first@example.org");
  EXPECT_EQ(rig.message.Subject, " first");
  EXPECT_EQ(rig.message.MessageId, "<first@x>");
  EXPECT_EQ(rig.message.Body.Items(), std::vector<std::string>{"body"});
  size_t kept = 0;
  for (const std::string& line : rig.message.Header.Items()) kept += line.size();
  EXPECT_GE(kept, (1u << 20) - 64);
  EXPECT_LE(kept, (1u << 20) + 64);
  EXPECT_EQ(rig.message.Header[rig.message.Header.Count() - 1], "");

  // A part's header flooded the same way still names the part as its first lines said.
  std::string part =
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\ntext\r\n--b\r\n"
      "Content-Type: application/octet-stream; name=\"flood.bin\"\r\n";
  for (int i = 0; part.size() < (2u << 20); ++i) part += "X-Filler: " + std::to_string(i) + "\r\n";
  part += "Content-Type: text/plain; name=\"late.txt\"\r\n\r\nDATA\r\n--b--\r\n.\r\n";
  EXPECT_EQ(rig.Read(part), 1u);
  EXPECT_EQ(rig.message.Attachments.Items(), std::vector<std::string>{"flood.bin"});
  EXPECT_EQ(corvane::ReadFile((rig.folder / "flood.bin").string()), "DATA");
}

TEST(MessageReader, MultipartsNestedPastAnyRealDepthAreReadWithoutExhaustingTheStack) {
  std::string wire = "Content-Type: multipart/mixed; boundary=b0\r\n\r\n";
  const int depth = 100000;
  for (int i = 1; i <= depth; ++i)
    wire += "--b" + std::to_string(i - 1) + "\r\nContent-Type: multipart/mixed; boundary=b" + std::to_string(i) +
            "\r\n\r\n";
  wire += "--b" + std::to_string(depth) + "\r\n\r\ntext\r\n.\r\n";
  ReaderRig rig;
  EXPECT_EQ(rig.Read(wire), 1u);
  // The innermost levels are read as one part of text: nothing of them is lost.
  ASSERT_GT(rig.message.Body.Count(), 0);
  EXPECT_EQ(rig.message.Body[rig.message.Body.Count() - 1], "text");
}
