#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "Exceptions.h"
#include "ZnUUE.h"

namespace fs = std::filesystem;

namespace {

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string randomBytes(size_t length, unsigned seed) {
  std::mt19937 rng(seed);
  std::string bytes(length, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

struct Coded {
  std::string bytes;
  std::vector<std::string> messages;
};

Coded run(UUMethods method, bool encode, const std::string& input) {
  TMemoryStream in, out;
  in.SetData(input);
  TZnUUProcessor coder;
  coder.Method = method;
  coder.InputStream = &in;
  coder.OutputStream = &out;
  Coded result;
  coder.OnMessage = [&](const std::string& text) { result.messages.push_back(text); };
  encode ? coder.Encode() : coder.Decode();
  result.bytes = out.Data();
  return result;
}

std::string encode(UUMethods method, const std::string& input) {
  return run(method, true, input).bytes;
}
std::string decode(UUMethods method, const std::string& input) {
  return run(method, false, input).bytes;
}

std::string toCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// A scratch folder for the external tools' files, removed when the test ends.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (fs::temp_directory_path() / "corvane-coder-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~ScratchDir() { fs::remove_all(path_); }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

int shell(const std::string& command) {
  return std::system(command.c_str());
}

}  // namespace

// Each case is a file named <case>.<mime|uu>-<encode|decode> beside its .expected output
// and, where the decoder should speak, a .messages file with one message per line.
TEST(CoderCases, EveryDataFileGivesItsExpectedBytes) {
  const fs::path folder = fs::path(CORVANE_TEST_DATA) / "coding";
  int cases = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string ext = entry.path().extension().string();
    const bool mime = ext.starts_with(".mime-"), uu = ext.starts_with(".uu-");
    if (!mime && !uu) continue;
    ++cases;
    SCOPED_TRACE(entry.path().filename().string());
    const Coded got = run(mime ? uuMime : uuCode, ext.ends_with("-encode"), readBytes(entry.path()));
    EXPECT_EQ(got.bytes, readBytes(entry.path().string() + ".expected"));
    std::string messages;
    for (const auto& m : got.messages) messages += m + "\n";
    const fs::path messageFile = entry.path().string() + ".messages";
    EXPECT_EQ(messages, fs::exists(messageFile) ? readBytes(messageFile) : "");
  }
  EXPECT_GE(cases, 25);
}

TEST(Coder, EncodeStartsFromTheBeginningAppendsAtTheOutputAndRewindsIt) {
  TMemoryStream in, out;
  in.SetData("xxabc");
  in.SetPosition(3);
  out.SetData("kept:");
  out.Seek(0, TSeekOrigin::soEnd);
  TZnUUProcessor coder;
  coder.Method = uuCode;
  coder.InputStream = &in;
  coder.OutputStream = &out;
  std::vector<std::string> events;
  coder.OnBeginEncode = [&](TObject* sender) {
    EXPECT_EQ(sender, &coder);
    events.push_back("begin at " + std::to_string(in.Position()));
  };
  coder.OnEndEncode = [&](TObject*) { events.push_back("end at " + std::to_string(out.Position())); };
  coder.Encode();
  EXPECT_EQ(out.Data(), "kept:%>'AA8F,\r\n`\r\n");
  EXPECT_EQ(events, (std::vector<std::string>{"begin at 0", "end at 0"}));
  EXPECT_EQ(in.Position(), 5);
}

TEST(Coder, DecodeLeavesTheInputJustAfterTheLineThatEndedIt) {
  TMemoryStream in, out;
  in.SetData("junk\r\nSGVs\r\nbG8=\r\nSGVs\r\n");
  in.SetPosition(6);
  out.SetData("12345");
  out.SetPosition(1);
  TZnUUProcessor coder;
  coder.InputStream = &in;
  coder.OutputStream = &out;
  std::vector<std::string> events;
  coder.OnBeginDecode = [&](TObject*) { events.push_back("begin"); };
  coder.OnEndDecode = [&](TObject*) { events.push_back("end"); };
  coder.Decode();
  EXPECT_EQ(out.Data(), "1Hello");
  EXPECT_EQ(out.Position(), 6);
  EXPECT_EQ(in.Position(), 18);
  EXPECT_EQ(events, (std::vector<std::string>{"begin", "end"}));

  in.SetData("SGVs\r\nbG8h");
  out.Clear();
  coder.Decode();
  EXPECT_EQ(in.Position(), 10);
}

namespace {

// A stream whose reads or writes fail after a number of bytes, like a full disk.
class FailingStream : public TMemoryStream {
 public:
  int64_t failReadAfter = -1, failWriteAfter = -1;
  int64_t Read(void* buffer, int64_t count) override {
    if (failReadAfter >= 0 && Position() + count > failReadAfter) throw EFileError("Stream read error");
    return TMemoryStream::Read(buffer, count);
  }
  void Write(const void* buffer, int64_t count) override {
    if (failWriteAfter >= 0 && Size() + count > failWriteAfter) throw EFileError("Stream write error");
    TMemoryStream::Write(buffer, count);
  }
};

}  // namespace

TEST(Coder, FailuresPassOnAndEncodeStillRewindsAndEnds) {
  TMemoryStream in;
  in.SetData(randomBytes(1 << 20, 3));
  FailingStream out;
  out.failWriteAfter = 1000;
  TZnUUProcessor coder;
  coder.InputStream = &in;
  coder.OutputStream = &out;
  int ends = 0;
  coder.OnEndEncode = [&](TObject*) {
    ++ends;
    EXPECT_EQ(out.Position(), 0);
  };
  coder.OutputStream->SetPosition(0);
  EXPECT_THROW(coder.Encode(), EFileError);
  EXPECT_EQ(ends, 1);

  FailingStream badIn;
  badIn.SetData(encode(uuMime, randomBytes(1 << 20, 4)));
  badIn.failReadAfter = 4096;
  TMemoryStream sink;
  coder.InputStream = &badIn;
  coder.OutputStream = &sink;
  coder.OnEndDecode = [&](TObject*) { ADD_FAILURE() << "OnEndDecode after a failure"; };
  EXPECT_THROW(coder.Decode(), EFileError);

  coder.InputStream = nullptr;
  EXPECT_THROW(coder.Decode(), Exception);
  EXPECT_THROW(coder.Encode(), Exception);
}

TEST(Coder, RoundTripsThroughFilesAcrossBlockBoundaries) {
  ScratchDir dir;
  // Lengths around the encoder's block and the decoder's read window.
  for (size_t length : {size_t{184319}, size_t{184320}, size_t{184321}, size_t{262144 * 3 + 7}}) {
    for (UUMethods method : {uuMime, uuCode}) {
      SCOPED_TRACE(std::to_string(length) + (method == uuMime ? " mime" : " uu"));
      const std::string data = randomBytes(length, static_cast<unsigned>(length));
      writeBytes(dir / "in", data);
      TZnUUProcessor coder;
      coder.Method = method;
      {
        TFileStream in((dir / "in").string(), TFileStream::fmOpenRead);
        TFileStream out((dir / "coded").string(), TFileStream::fmCreate);
        coder.InputStream = &in;
        coder.OutputStream = &out;
        coder.Encode();
      }
      EXPECT_EQ(readBytes(dir / "coded"), encode(method, data));
      TFileStream in((dir / "coded").string(), TFileStream::fmOpenRead);
      TFileStream out((dir / "decoded").string(), TFileStream::fmCreate);
      coder.InputStream = &in;
      coder.OutputStream = &out;
      coder.Decode();
      out.Flush();
      EXPECT_EQ(in.Position(), in.Size());
      EXPECT_TRUE(readBytes(dir / "decoded") == data);
    }
  }
}

TEST(Coder, AWholeAttachmentOnOneLineDecodesCompletely) {
  const std::string data = randomBytes(700000, 9);
  std::string line;
  for (size_t at = 0; at < data.size(); at += 45 * 1000) {
    std::string coded = encode(uuMime, data.substr(at, 45 * 1000));
    std::erase(coded, '\r');
    std::erase(coded, '\n');
    line += coded;
  }
  EXPECT_TRUE(decode(uuMime, line + "\r\n") == data);
  EXPECT_TRUE(decode(uuMime, line) == data);
}

TEST(CoderProperty, MimeLinesEqualCoreutilsBase64) {
  ScratchDir dir;
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  lengths.insert(lengths.end(), {size_t{1} << 20, 3 * 1000 * 1000 + 1, 4 * 1000 * 1000 + 2});
  for (size_t n : lengths) {
    const std::string data = randomBytes(n, static_cast<unsigned>(n + 1));
    writeBytes(dir / "in", data);
    ASSERT_EQ(shell("base64 -w 60 '" + (dir / "in").string() + "' > '" + (dir / "out").string() + "'"), 0);
    const std::string ours = encode(uuMime, data);
    EXPECT_TRUE(ours == toCrLf(readBytes(dir / "out"))) << n;
    EXPECT_TRUE(decode(uuMime, ours) == data) << n;
  }
}

TEST(CoderProperty, UuLinesMatchSharutils) {
  ScratchDir dir;
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  lengths.insert(lengths.end(), {size_t{3} << 20, 2 * 1000 * 1000 + 1});
  const std::string in = (dir / "in").string(), out = (dir / "out").string(), back = (dir / "back").string();
  for (size_t n : lengths) {
    const std::string data = randomBytes(n, static_cast<unsigned>(n + 7));
    const std::string ours = encode(uuCode, data);
    EXPECT_TRUE(decode(uuCode, ours) == data) << n;

    // uuencode pads a short final group and we do not: compare whole groups only.
    if (n % 3 == 0) {
      writeBytes(in, data);
      ASSERT_EQ(shell("uuencode '" + in + "' name > '" + out + "'"), 0);
      std::string theirs = readBytes(out);
      theirs = theirs.substr(theirs.find('\n') + 1);
      theirs = theirs.substr(0, theirs.rfind("end\n"));
      EXPECT_TRUE(ours == toCrLf(theirs)) << n;
    }

    writeBytes(in, "begin 644 " + back + "\r\n" + ours + "end\r\n");
    fs::remove(back);
    ASSERT_EQ(shell("uudecode '" + in + "'"), 0) << n;
    EXPECT_TRUE(readBytes(back) == data) << n;
  }
}
