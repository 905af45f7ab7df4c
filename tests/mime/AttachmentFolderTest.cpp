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

// Inline images of an HTML message are named from their Content-ID where it is a plain
// word, else from their type; a named part keeps its name; outside a multipart/related only
// an image with a Content-ID is one.
TEST(AttachmentFolder, PartNameOfInlineImages) {
  struct Case {
    const char* header;
    bool inRelated;
    const char* name;
  };
  const Case cases[] = {
      {"Content-Type: image/png\nContent-ID: <image001.png@01D9A1B2.C3D4E5F0>", true, "image001.png"},
      {"Content-Type: image/jpeg\nContent-ID: <logo.JPEG@x>", true, "logo.jpg"},
      {"Content-Type: image/jpeg\nContent-ID: <part1.0604@example.org>", true, "image.jpg"},
      {"Content-Type: image/gif\nContent-ID: <../../etc/passwd@x>", true, "image.gif"},
      {"Content-Type: image/gif\nContent-ID: <a\x1B[2J@x>", true, "image.gif"},
      {"Content-Type: image/svg+xml\nContent-ID: photo", true, "photo.svg"},
      {"Content-Type: application/octet-stream", true, "application.bin"},
      {"Content-Type: image/png; name=\"given.png\"\nContent-ID: <other@x>", true, "given.png"},
      {"Content-Type: text/html\nContent-ID: <root@x>", true, ""},
      {"Content-Type: text/css\nContent-ID: <style@x>", true, "style.css"},
      {"Content-Type: message/rfc822", true, ""},
      {"Content-Type: image/png\nContent-ID: <image001@x>", false, "image001.png"},
      {"Content-Type: image/png", false, ""},
      {"Content-Type: application/pdf\nContent-ID: <doc@x>", false, ""},
  };
  for (const Case& c : cases) {
    mime::EntityHeader header;
    std::string text = c.header;
    for (size_t start = 0; start <= text.size();) {
      const size_t end = std::min(text.find('\n', start), text.size());
      header.AddLine(text.substr(start, end - start));
      start = end + 1;
    }
    header.Interpret();
    mime::PartPlace place;
    place.inRelated = c.inRelated;
    place.hidden = true;
    EXPECT_EQ(AttachmentFolder::PartName(header, place), c.name) << c.header;
    AttachmentFolder folder;
    EXPECT_EQ(folder.Keeps(header, place), *c.name != '\0') << c.header;
  }
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

// A walker with its builder and a folder of its own.
struct Walk {
  Walk() : builder(body), walker(builder, folder) { folder.Path = dir.path().toStdString() + "/"; }
  void Run(const std::string& message, bool buffered) {
    Lines input(message, buffered);
    walker.Walk(input);
  }
  QTemporaryDir dir;
  TLineList body;
  mime::BodyBuilder builder;
  mime::AttachmentFolder folder;
  mime::MessageWalker walker;
};

// The walk on its own: the builder shows the plain alternative in place of the HTML one
// and notes each file; the folder writes the files it keeps and names them, a named part
// inside an alternative that is not shown among them. Runs of lines at hand change nothing.
TEST(MessageWalker, HandsEachPartToTheBuilderOrTheFolderTheWayTheySay) {
  const std::string message = crLf(
      "Subject: s\nContent-Type: multipart/mixed; boundary=m\n\n--m\n"
      "Content-Type: multipart/alternative; boundary=a\n\n--a\nContent-Type: text/html\n\n<p>rich</p>\n--a\n"
      "Content-Type: text/plain\n\nplain\n--a\nContent-Type: text/plain; name=\"hidden.txt\"\n\nno\n--a--\n--m\n"
      "Content-Type: application/x-y; name=\"a.bin\"\nContent-Transfer-Encoding: base64\n\nYWJj\n--m--\n");
  for (const bool buffered : {false, true}) {
    Walk walk;
    std::vector<std::string> files, header, statuses;
    walk.folder.OnFileWritten = [&](const std::string& name) { files.push_back(name); };
    walk.folder.OnStatus = [&](const std::string& text) { statuses.push_back(text); };
    walk.walker.OnHeaderLine = [&](const std::string& line) { header.push_back(line); };
    walk.walker.OnStatus = [&](const std::string& text) { statuses.push_back(text); };
    walk.Run(message, buffered);
    EXPECT_EQ(walk.body.Items(),
              (std::vector<std::string>{"plain", "\r\nFile \"hidden.txt\" extracted", "\r\nFile \"a.bin\" extracted"}))
        << buffered;
    EXPECT_EQ(files, (std::vector<std::string>{"hidden.txt", "a.bin"}));
    EXPECT_EQ(header, (std::vector<std::string>{"Subject: s", "Content-Type: multipart/mixed; boundary=m", ""}));
    EXPECT_EQ(statuses, (std::vector<std::string>{"Extracting file", "Extracting file", "Extracting file",
                                                  "Extracting file", "Decoding file"}));
    EXPECT_EQ(corvane::ReadFile(walk.folder.Path + "a.bin"), "abc");
    EXPECT_EQ(corvane::ReadFile(walk.folder.Path + "hidden.txt"), "no");
  }
}

// A single-part message with this header and content, its lines walked as they come and
// as runs at hand.
std::vector<std::string> bodyOf(const std::string& header, const std::string& content) {
  const std::string message = crLf(header + "\n\n" + content);
  std::vector<std::string> bodies[2];
  for (const bool buffered : {false, true}) {
    Walk walk;
    walk.Run(message, buffered);
    bodies[buffered] = walk.body.Items();
  }
  EXPECT_EQ(bodies[0], bodies[1]) << header;
  return bodies[0];
}

// Text that never was in the transfer encoding its header names is shown as it came under
// a note; text that was, however sloppy, is decoded as before.
TEST(MessageWalker, TextFailingItsDecodingIsShownAsItCame) {
  const std::string b64 = "Content-Transfer-Encoding: base64\nContent-Type: text/plain; charset=";
  const std::string qp = "Content-Transfer-Encoding: quoted-printable\nContent-Type: text/plain; charset=";
  const std::string b64Note = "[This text is not in the base64 it claims to be and is shown as it came.]";
  const std::string qpNote = "[This text is not in the quoted-printable it claims to be and is shown as it came.]";
  struct Case {
    std::string header;
    std::string content;
    std::vector<std::string> body;
  };
  const std::vector<Case> cases = {
      {b64 + "utf-8", "Hello Bo,\nsee you at noon.\n", {b64Note, "Hello Bo,", "see you at noon."}},
      // Only the alphabet, but what it decodes to is no text.
      {b64 + "iso-8859-1", "Thanks\nBo\n", {b64Note, "Thanks", "Bo"}},
      {b64 + "utf-8", "R3LDvMOfZSwKQm8=\n", {"Grüße,", "Bo"}},
      // Latin-1 text under a UTF-8 label is a charset mistake, not a coding one.
      {b64 + "utf-8", "R3L832UsCkJv\n", {"Grüße,", "Bo"}},
      // Blanks, and a stray byte or two, are stepped over.
      {b64 + "utf-8", "R3LD vMOf.ZSwK  \n-Qm8=\n", {"Grüße,", "Bo"}},
      {"Content-Transfer-Encoding: base64\nContent-Type: text/html",
       "<p>Hello <b>there</b></p>\n",
       {b64Note, "Hello there"}},
      {b64 + "utf-16", "Hi there, Bo. See you at 10:30, ok?\n", {b64Note, "Hi there, Bo. See you at 10:30, ok?"}},
      // What follows the pad is never decoded, whatever it is.
      {b64 + "utf-8", "R3LDvMOfZSwKQm8=\n-- \nThe list: https://lists.example.org/\n", {"Grüße,", "Bo"}},
      {b64 + "utf-16", "SABpAA==\n", {"Hi"}},
      {qp + "utf-8", "=00=01=02=03=04 hello=05=06\n", {qpNote, "=00=01=02=03=04 hello=05=06"}},
      {qp + "iso-8859-1", "caf=E9 a=b =\nsoft =3D 100%\n", {"café a=b soft = 100%"}},
  };
  for (const Case& c : cases) EXPECT_EQ(bodyOf(c.header, c.content), c.body) << c.header << "\n" << c.content;
}

// A long text is judged on its start and then shown whole, as it came.
TEST(MessageWalker, LongTextFailingBase64IsShownWhole) {
  std::string content;
  for (int i = 0; i < 20000; ++i) content += "line " + std::to_string(i) + " of a letter\n";
  const std::vector<std::string> body = bodyOf("Content-Type: text/plain\nContent-Transfer-Encoding: base64", content);
  ASSERT_EQ(body.size(), 20001u);
  EXPECT_EQ(body[1], "line 0 of a letter");
  EXPECT_EQ(body.back(), "line 19999 of a letter");
}

}  // namespace
