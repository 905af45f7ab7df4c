// The attachment folder and the walk that feeds it, apart from any protocol: file names,
// and what the folder and the body builder are handed for which parts.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <string>
#include <vector>

#include "AttachmentFolder.h"
#include "BodyBuilder.h"
#include "LineList.h"
#include "MessageWalker.h"
#include "Streams.h"
#include "SysUtils.h"

namespace {

using mime::AttachmentFolder;

TEST(AttachmentFolder, PlainFileNameKeepsEveryPartInsideTheFolder) {
  EXPECT_EQ(AttachmentFolder::PlainFileName("../../x"), "x");
  EXPECT_EQ(AttachmentFolder::PlainFileName("/etc/passwd"), "passwd");
  EXPECT_EQ(AttachmentFolder::PlainFileName("C:\\dir\\y.txt"), "y.txt");
  EXPECT_EQ(AttachmentFolder::PlainFileName("dir/"), "text.tmp");
  EXPECT_EQ(AttachmentFolder::PlainFileName("a/.."), "text.tmp");
  EXPECT_EQ(AttachmentFolder::PlainFileName("."), "text.tmp");
  EXPECT_EQ(AttachmentFolder::PlainFileName(""), "text.tmp");
  EXPECT_EQ(AttachmentFolder::PlainFileName("..hidden"), "..hidden");
  EXPECT_EQ(AttachmentFolder::PlainFileName(std::string(250, 'n') + ".pdf"), std::string(196, 'n') + ".pdf");
  EXPECT_EQ(AttachmentFolder::PlainFileName(std::string(250, 'n')), std::string(200, 'n'));
  EXPECT_EQ(AttachmentFolder::PlainFileName("\r\n\t"), "text.tmp");
  // A cut never splits a character: 100 two-byte letters and one more byte do not fit.
  EXPECT_EQ(AttachmentFolder::PlainFileName("x" + std::string(300, '\xC3')), "x" + std::string(199, '\xC3'));
  std::string umlauts = "x";
  for (int i = 0; i < 150; ++i) umlauts += "\xC3\xBC";
  EXPECT_EQ(AttachmentFolder::PlainFileName(umlauts), umlauts.substr(0, 199));
}

// A message's lines as the walker takes them, all at hand when buffered is set.
class Lines : public mime::LineInput {
 public:
  Lines(std::string text, bool buffered) : text_(std::move(text)), buffered_(buffered) {}
  bool NextLine(std::string& line) override {
    if (head_ == text_.size()) return false;
    const size_t end = text_.find('\n', head_) + 1;
    line = text_.substr(head_, end - head_);
    head_ = end;
    return true;
  }
  std::string_view Buffered(char stop) override {
    if (!buffered_) return {};
    size_t run = head_;
    while (run < text_.size() && text_[run] != stop) run = text_.find('\n', run) + 1;
    return std::string_view(text_).substr(head_, run - head_);
  }
  void Take(size_t count) override { head_ += count; }

 private:
  std::string text_;
  bool buffered_;
  size_t head_ = 0;
};

std::string crLf(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

// The walk on its own: the builder shows the plain alternative in place of the HTML one
// and notes each file; the folder writes the files it keeps and names them; a part inside
// an alternative that is not shown goes nowhere. Runs of lines at hand change nothing.
TEST(MessageWalker, HandsEachPartToTheBuilderOrTheFolderTheWayTheySay) {
  const std::string message = crLf(
      "Subject: s\nContent-Type: multipart/mixed; boundary=m\n\n--m\n"
      "Content-Type: multipart/alternative; boundary=a\n\n--a\nContent-Type: text/html\n\n<p>rich</p>\n--a\n"
      "Content-Type: text/plain\n\nplain\n--a\nContent-Type: text/plain; name=\"hidden.txt\"\n\nno\n--a--\n--m\n"
      "Content-Type: application/x-y; name=\"a.bin\"\nContent-Transfer-Encoding: base64\n\nYWJj\n--m--\n");
  for (const bool buffered : {false, true}) {
    QTemporaryDir dir;
    TLineList body;
    mime::BodyBuilder builder(body);
    mime::AttachmentFolder folder;
    folder.Path = dir.path().toStdString() + "/";
    std::vector<std::string> files, header, statuses;
    folder.OnFileWritten = [&](const std::string& name) { files.push_back(name); };
    folder.OnStatus = [&](const std::string& text) { statuses.push_back(text); };
    mime::MessageWalker walker(builder, folder);
    walker.OnHeaderLine = [&](const std::string& line) { header.push_back(line); };
    walker.OnStatus = [&](const std::string& text) { statuses.push_back(text); };
    Lines input(message, buffered);
    walker.Walk(input);
    EXPECT_EQ(body.Items(), (std::vector<std::string>{"plain", "\r\nFile \"a.bin\" extracted"})) << buffered;
    EXPECT_EQ(files, std::vector<std::string>{"a.bin"});
    EXPECT_EQ(header, (std::vector<std::string>{"Subject: s", "Content-Type: multipart/mixed; boundary=m", ""}));
    EXPECT_EQ(statuses,
              (std::vector<std::string>{"Extracting file", "Extracting file", "Extracting file", "Decoding file"}));
    EXPECT_EQ(corvane::ReadFile(folder.Path + "a.bin"), "abc");
    EXPECT_FALSE(corvane::FileExists(folder.Path + "hidden.txt"));
  }
}

}  // namespace
