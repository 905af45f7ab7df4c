// The span decoder of base64 streams against a decoder that takes one character at a time,
// on the odd input mail carries: line ends of every kind, blanks and stray bytes inside
// groups, pads early or late, unpadded ends, and spans cut at any point.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "Base64.h"

namespace {

constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The rule, one character at a time: outside the alphabet is skipped, a pad flushes the
// group begun and ends the data.
std::string reference(const std::string& text) {
  std::string out;
  unsigned group = 0;
  int count = 0;
  for (const char c : text) {
    const char* at = c == '\0' ? nullptr : std::strchr(kDigits, c);
    if (c == '=') break;
    if (!at) continue;
    group = group << 6 | static_cast<unsigned>(at - kDigits);
    if (++count == 4) {
      out += static_cast<char>(group >> 16 & 0xFF);
      out += static_cast<char>(group >> 8 & 0xFF);
      out += static_cast<char>(group & 0xFF);
      group = 0;
      count = 0;
    }
  }
  if (count == 2) out += static_cast<char>(group >> 4 & 0xFF);
  if (count == 3) {
    out += static_cast<char>(group >> 10 & 0xFF);
    out += static_cast<char>(group >> 2 & 0xFF);
  }
  return out;
}

// Decodes text fed in the given spans, into a buffer of exactly the promised room each time
// with a guard byte behind it.
std::string inSpans(const std::string& text, const std::vector<size_t>& cuts) {
  TBase64Stream stream;
  std::string out;
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    const size_t to = i < cuts.size() ? cuts[i] : text.size();
    const std::string_view span = std::string_view(text).substr(from, to - from);
    std::string room(TBase64Stream::MaxDecoded(span.size()) + 1, '\x5A');
    const size_t n = stream.Feed(span, room.data());
    EXPECT_LE(n, room.size() - 1);
    EXPECT_EQ(room.back(), '\x5A') << "wrote past the room it promised";
    out.append(room, 0, n);
    from = to;
  }
  stream.Finish(out);
  return out;
}

TEST(Base64Stream, OddInputDecodesAsOneCharacterAtATime) {
  const std::vector<std::string> cases = {
      "",
      "QUJD",
      "QUJDRA==",
      "QUJDRA=",
      "QUJDRA",  // no pad: the last group's bytes still count
      "QUJDR",   // one character left over gives nothing
      "QU JD\tRE\r\nVG",
      "QUJD\r\nREVG\nR0hJ\rSktM",  // CR LF, bare LF, bare CR
      "QU=JDREVG",                 // a pad inside a group ends the data there
      "=QUJD",
      "QUJD====QUJD",
      "QUJD*#!~\x80\xFF\x01REVG",
      "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVo=\r\nQUJD\r\n",
      std::string("QU\0JD", 5),
      "QUJDREVGR0hJSktM\r\n\r\n\r\nTU5P",
      "-- QUJD --",
  };
  for (const std::string& text : cases) {
    EXPECT_EQ(inSpans(text, {}), reference(text)) << text;
    for (size_t cut = 0; cut <= text.size(); ++cut)
      EXPECT_EQ(inSpans(text, {cut}), reference(text)) << text << " cut at " << cut;
  }
}

TEST(Base64Stream, RandomMailLikeTextInRandomSpans) {
  // Mostly digits in lines of odd lengths, with line ends, blanks, stray bytes and now and
  // then a pad sprinkled in.
  std::mt19937 rng(2024);
  for (int round = 0; round < 400; ++round) {
    std::string text;
    const size_t length = rng() % 2000;
    const unsigned pads = rng() % 4;
    for (size_t i = 0; i < length; ++i) {
      const unsigned pick = rng() % 1000;
      if (pick < 900) {
        text += kDigits[rng() % 64];
      } else if (pick < 960) {
        text += rng() % 2 ? "\r\n" : "\n";
      } else if (pick < 990) {
        text += " \t*.-\x80\xFF"[rng() % 7];
      } else if (pick < 990 + pads) {
        text += '=';
      } else {
        text += kDigits[rng() % 64];
      }
    }
    std::vector<size_t> cuts;
    for (size_t at = 0; at < text.size(); at += 1 + rng() % 200) cuts.push_back(at);
    EXPECT_EQ(inSpans(text, cuts), reference(text)) << "round " << round;
  }
}

TEST(Base64Stream, EndsAtItsPadAndStaysEnded) {
  TBase64Stream stream;
  std::string out;
  stream.Feed("QUJDRA==", out);
  EXPECT_TRUE(stream.Ended());
  stream.Feed("QUJD", out);
  stream.Finish(out);
  EXPECT_EQ(out, "ABCD");
  char room[8];
  EXPECT_EQ(stream.Feed("QUJD", room), 0u);
}

TEST(Base64Stream, EveryByteValueRoundTripsThroughLinesOf76) {
  std::string bytes;
  for (int i = 0; i < 3 * 256; ++i) bytes += static_cast<char>(i * 7 % 256);
  std::string coded;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const unsigned group = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) coded += kDigits[group >> shift & 63];
    if (coded.size() % 78 == 76) coded += "\r\n";
  }
  EXPECT_TRUE(inSpans(coded, {}) == bytes);
}

}  // namespace
