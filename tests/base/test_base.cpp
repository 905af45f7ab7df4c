#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "Exceptions.h"
#include "Streams.h"
#include "SysUtils.h"
#include "TextCodec.h"

using namespace corvane;

TEST(TextCodec, AnyBytesSurviveTheRoundTrip) {
  std::mt19937 rng(7);
  for (int len = 0; len < 300; ++len) {
    std::string bytes(static_cast<size_t>(len), '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    EXPECT_EQ(Utf16ToBytes(BytesToUtf16(bytes)), bytes) << len;
  }
}

TEST(TextCodec, ValidUtf8BecomesCharactersAndStrayBytesLoneSurrogates) {
  EXPECT_EQ(BytesToUtf16("a\xC3\xA9"), u"a\u00E9");
  EXPECT_EQ(BytesToUtf16("\xF0\x9F\x98\x80"), u"\U0001F600");
  // Overlong, surrogate-coding and cut sequences are bytes, not characters.
  EXPECT_EQ(BytesToUtf16("\xC0\xAF"), std::u16string({0xDCC0, 0xDCAF}));
  EXPECT_EQ(BytesToUtf16("\xED\xA0\x80"), std::u16string({0xDCED, 0xDCA0, 0xDC80}));
  EXPECT_EQ(BytesToUtf16("x\xE2\x82"), std::u16string({u'x', 0xDCE2, 0xDC82}));
}

TEST(SysUtils, StrToIntTakesDecimalDigitsOnlyAndNamesTheTextOtherwise) {
  EXPECT_EQ(StrToInt("110"), 110);
  EXPECT_EQ(StrToInt("-25"), -25);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), -2147483648LL);
  for (const char* bad : {"", "11O", "25 ", " 25", "+25", "0x19", "$19", "99999999999", "2147483648", "-", "\t25"}) {
    try {
      StrToInt(bad);
      ADD_FAILURE() << bad;
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("'") + bad + "' is not a valid integer value");
    }
  }
}

TEST(SysUtils, PathsAndExtensions) {
  EXPECT_EQ(ExtractFilePath("/opt/corvane/corvane"), "/opt/corvane/");
  EXPECT_EQ(ExtractFileName("/opt/corvane/a.txt"), "a.txt");
  EXPECT_EQ(ChangeFileExt("/opt/corvane/corvane", ".ini"), "/opt/corvane/corvane.ini");
  EXPECT_EQ(ChangeFileExt("/opt/x.y/corvane.bin", ".ini"), "/opt/x.y/corvane.ini");
}

TEST(Streams, FileStreamReadsBackWhatItWroteAcrossBufferBoundaries) {
  const std::string path = testing::TempDir() + "/stream.bin";
  std::string data(300000, '\0');
  std::mt19937 rng(3);
  for (char& c : data) c = static_cast<char>(rng());
  {
    TFileStream f(path, TFileStream::fmCreate);
    for (size_t i = 0; i < data.size(); i += 45)
      f.Write(data.data() + i, static_cast<int64_t>(std::min<size_t>(45, data.size() - i)));
    EXPECT_EQ(f.Size(), static_cast<int64_t>(data.size()));
    f.SetPosition(100);
    char head[10];
    f.ReadBuffer(head, 10);
    EXPECT_EQ(std::string(head, 10), data.substr(100, 10));
  }
  TFileStream f(path, TFileStream::fmOpenRead);
  std::string back;
  char chunk[200];
  for (int64_t p = 0; p < f.Size();) {
    f.SetPosition(p);
    const int64_t n = f.Read(chunk, 200);
    back.append(chunk, static_cast<size_t>(std::min<int64_t>(n, 150)));
    p += std::min<int64_t>(n, 150);
  }
  EXPECT_EQ(back, data);
  EXPECT_THROW(TFileStream("/nonexistent/x", TFileStream::fmOpenRead), EFOpenError);
}

TEST(Streams, AtomicWriteReplacesWholeFile) {
  const std::string path = testing::TempDir() + "/atomic.txt";
  WriteFileAtomically(path, "old content\r\n");
  WriteFileAtomically(path, "new\r\n", 0600);
  EXPECT_EQ(ReadFile(path), "new\r\n");
  EXPECT_THROW(WriteFileAtomically("/nonexistent/dir/f", "x"), EFCreateError);
}

namespace {
unsigned modeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

// Sets the umask for one scope.
struct Umask {
  explicit Umask(mode_t mask) : old(::umask(mask)) {}
  ~Umask() { ::umask(old); }
  mode_t old;
};
}  // namespace

TEST(Streams, OwnFilesArePrivateAndUserFilesFollowTheUmask) {
  const Umask open(022);
  const std::string dir = testing::TempDir() + "/modes-" + std::to_string(::getpid()) + "/";
  ::mkdir(dir.c_str(), 0700);
  WriteFileAtomically(dir + "store", "x");
  EXPECT_EQ(modeOf(dir + "store"), 0600u);
  AppendToFile(dir + "archive", "From a\n", true);
  AppendToFile(dir + "archive", "more\n", false);
  EXPECT_EQ(ReadFile(dir + "archive"), "From a\nmore\n");
  EXPECT_EQ(modeOf(dir + "archive"), 0600u);
  // A received attachment is the user's file: 0666 less the umask, like any other program's.
  {
    const Umask group(027);
    TFileStream(dir + "attachment", TFileStream::fmCreate).WriteString("a");
    EXPECT_EQ(UserFileMode(), 0640u);
  }
  EXPECT_EQ(modeOf(dir + "attachment"), 0640u);
  EXPECT_EQ(::umask(022), 022u);  // UserFileMode put the mask back
  EXPECT_THROW(AppendToFile(dir + "no/such", "x", true), EFCreateError);
  for (const char* name : {"store", "archive", "attachment"}) ::unlink((dir + name).c_str());
  ::rmdir(dir.c_str());
}

TEST(SysUtils, FileStampSeesEveryKindOfChange) {
  const std::string path = testing::TempDir() + "/stamp-" + std::to_string(::getpid());
  ::unlink(path.c_str());
  EXPECT_FALSE(StampOf(path).exists);
  EXPECT_EQ(StampOf(path), FileStamp{});
  WriteFileAtomically(path, "abc");
  const FileStamp first = StampOf(path);
  EXPECT_TRUE(first.exists);
  EXPECT_EQ(first.size, 3);
  EXPECT_EQ(StampOf(path), first);
  {
    TFileStream f(path, TFileStream::fmOpenWrite);
    f.SetPosition(3);
    f.WriteString("d");
  }
  EXPECT_EQ(StampOf(path).inode, first.inode);
  EXPECT_NE(StampOf(path), first);
  // Replaced by a rename: a new inode.
  const FileStamp second = StampOf(path);
  WriteFileAtomically(path, "abc");
  EXPECT_NE(StampOf(path).inode, second.inode);
  ::unlink(path.c_str());
}

TEST(Exceptions, MessageKeepsTextPastANulByte) {
  const std::string text("Invalid level (3) for item \"a\0b\"", 33);
  EXPECT_EQ(Exception(text).Message(), text);
}
