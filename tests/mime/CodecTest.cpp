// The codecs both ways: what each encoder writes, its decoder gives back, for every byte
// value and every length a group can end on; and the login's reading of base64 that
// skips a pad is the one the bits alone give.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "Base64.h"
#include "QuotedPrintable.h"
#include "UUCode.h"

namespace {

std::string sampleBytes(size_t length, unsigned seed) {
  std::mt19937 rng(seed);
  std::string bytes(length, '\0');
  for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
  return bytes;
}

// Coded lines of whole groups, split back at their CR LF.
std::vector<std::string> codedLines(const mime::SixBitLines& code, const std::string& bytes) {
  std::string text(mime::SixBitLines::LinesRoom(bytes.size(), 45), '\0');
  const char* end =
      code.EncodeLines(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), 45, text.data());
  text.resize(static_cast<size_t>(end - text.data()));
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t crlf = text.find("\r\n", at);
    lines.push_back(text.substr(at, crlf - at));
    at = crlf + 2;
  }
  return lines;
}

TEST(Codecs, Base64AndUULinesDecodeToWhatWasEncodedAtEveryLength) {
  for (size_t length = 0; length <= 100; ++length) {
    const std::string bytes = sampleBytes(length, static_cast<unsigned>(length));
    EXPECT_EQ(mime::DecodeBase64(mime::EncodeBase64(bytes)), bytes) << length;

    std::string fromLines;
    for (const std::string& line : codedLines(mime::Base64Lines(), bytes)) {
      std::string out(mime::MaxDecodedLine(line.size()), '\0');
      size_t written = 0;
      mime::DecodeBase64Line(line, out.data(), written);
      fromLines.append(out, 0, written);
    }
    EXPECT_EQ(fromLines, bytes) << length;

    std::string fromUU;
    for (const std::string& line : codedLines(mime::UULines(), bytes)) {
      char out[mime::kMaxUULineBytes];
      fromUU.append(out, mime::DecodeUULine(line, out));
    }
    EXPECT_EQ(fromUU, bytes) << length;
  }
}

TEST(Codecs, ALoginsBase64ReadsOnPastAPadAsTheBitsGo) {
  struct Case {
    const char* text;
    std::string ends, skipped;
  };
  const Case cases[] = {
      {"QUJD", "ABC", "ABC"},
      {"QQ==", "A", "A"},
      {"QQ==QUJD", "A", "A\x04\x14$"},  // "QQQUJD" as one stream
      {"Q=Q=", "", "A"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mime::DecodeBase64(c.text), c.ends) << c.text;
    EXPECT_EQ(mime::DecodeBase64(c.text, mime::Base64Pad::Skipped), c.skipped) << c.text;
  }
}

TEST(Codecs, QuotedPrintableLinesDecodeToTheLineTheyCameFrom) {
  for (unsigned seed = 0; seed < 200; ++seed) {
    const std::string line = sampleBytes(seed % 180, seed);
    std::string coded;
    for (const std::string& part : mime::QuotedPrintableLines(line)) {
      EXPECT_LE(part.size(), 76u);
      coded += part + "\r\n";
    }
    coded.resize(coded.size() - 2);
    EXPECT_EQ(mime::DecodeQuotedPrintable(coded), line) << seed;
  }
}

}  // namespace
