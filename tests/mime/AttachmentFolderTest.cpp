// The attachment folder and the walk that feeds it, apart from any protocol: file names,
// and what the folder and the body builder are handed for which parts.
#include <gtest/gtest.h>

#include <string>

#include "AttachmentFolder.h"

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

}  // namespace
