// Encoded words, folding, parameters and the Date and Message-ID texts of outgoing headers.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QStringDecoder>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "EncodedWords.h"
#include "HeaderEncoding.h"
#include "QuotedPrintable.h"

using namespace mime;

namespace {

std::vector<std::string> physicalLines(const std::string& field) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = field.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(field.substr(start, end - start));
  lines.push_back(field.substr(start));
  return lines;
}

bool validUtf8(const std::string& bytes) {
  QStringDecoder decoder(QStringDecoder::Utf8);
  (void)decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
  return !decoder.hasError();
}

// Decodes the encoded words of a field value, as a reader does: blanks between words go.
std::string decodeWords(const std::string& value, bool* wholeCharacters = nullptr) {
  static const std::regex word("=\\?UTF-8\\?B\\?([A-Za-z0-9+/=]*)\\?=");
  std::string text;
  if (wholeCharacters) *wholeCharacters = true;
  for (auto it = std::sregex_iterator(value.begin(), value.end(), word); it != std::sregex_iterator(); ++it) {
    EXPECT_LE(it->length(), 75);
    const std::string bytes = QByteArray::fromBase64(QByteArray::fromStdString((*it)[1].str())).toStdString();
    if (wholeCharacters && !validUtf8(bytes)) *wholeCharacters = false;
    text += bytes;
  }
  return text;
}

const std::string kMixed =
    "Gr\xC3\xBC\xC3\x9F"
    "e \xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x93\x8E aus K\xC3\xB6ln, "
    "wo die Stra\xC3\x9F"
    "en lang sind und die Betreffzeilen auch \xE2\x80\x94 sehr lang \xE2\x80\x94 "
    "\xF0\x9F\x93\x8E\xF0\x9F\x93\x8E\xF0\x9F\x93\x8E\xF0\x9F\x93\x8E\xF0\x9F\x93\x8E\xF0\x9F\x93\x8E";

TEST(HeaderEncoding, SubjectsKeepPlainTextAndEncodeTheRestInFoldedWholeCharacterWords) {
  EXPECT_EQ(UnstructuredValue("Subject", "Quarterly report"), "Quarterly report");
  EXPECT_EQ(UnstructuredValue("Subject", ""), "");
  EXPECT_EQ(UnstructuredValue("Subject", "caf\xC3\xA9"), "=?UTF-8?B?Y2Fmw6k=?=");

  for (const std::string& text : {kMixed, std::string(1200, 'a'), std::string("=?UTF-8?Q?hi?="),
                                  std::string("tab\tand\x01"
                                              "control")}) {
    const std::string value = UnstructuredValue("Subject", text);
    ASSERT_NE(value, text);
    const std::vector<std::string> lines = physicalLines("Subject: " + value);
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_LE(lines[i].size(), kFoldAt) << lines[i];
      if (i > 0) {
        EXPECT_EQ(lines[i].front(), ' ');
      }
    }
    bool whole = false;
    EXPECT_EQ(decodeWords(value, &whole), text);
    EXPECT_TRUE(whole);
  }
  // One character longer than a word can hold still goes out whole.
  EXPECT_EQ(EncodedWords(std::string(100, '\xFF')).size(), 3u);
}

TEST(HeaderEncoding, FromLineNamesArePlainQuotedOrEncoded) {
  EXPECT_EQ(FromField("Ann Smith", "ann@example.org"), "From: Ann Smith<ann@example.org>");
  EXPECT_EQ(FromField("", "ann@example.org"), "From: <ann@example.org>");
  EXPECT_EQ(FromField("Smith, Ann \"A.\"", "a@b"), "From: \"Smith, Ann \\\"A.\\\"\"<a@b>");
  EXPECT_EQ(FromField("Zo\xC3\xAB", "zoe@example.org"), "From: =?UTF-8?B?Wm/Dqw==?= <zoe@example.org>");
  const std::string folded = FromField(kMixed, "zoe@example.org");
  for (const std::string& line : physicalLines(folded)) EXPECT_LE(line.size(), kFoldAt);
  EXPECT_TRUE(folded.ends_with(" <zoe@example.org>"));
  EXPECT_EQ(decodeWords(folded), kMixed);
}

TEST(HeaderEncoding, AddressListsStayAsTypedUntilANameNeedsEncodingOrTheLineIsTooLong) {
  const std::vector<std::string> plain{"bob@example.org", "Carol <carol@example.org>", "\"Doe, J.\" <j@x.org>", ""};
  EXPECT_EQ(AddressListValue("To", plain), "bob@example.org,Carol <carol@example.org>,\"Doe, J.\" <j@x.org>,");

  EXPECT_EQ(AddressListValue("To", {"J. Smith <j@x.org>", "J\xC3\xBCrgen <j@y.org>", "\"Z\xC3\xB6\" <z@y.org>"}),
            "\"J. Smith\" <j@x.org>, =?UTF-8?B?SsO8cmdlbg==?= <j@y.org>,\r\n =?UTF-8?B?WsO2?= <z@y.org>");

  std::vector<std::string> many;
  std::string compact;
  for (int i = 0; i < 120; ++i) {
    many.push_back("recipient-" + std::to_string(i) + "@example.org");
    compact += (i ? ", " : "") + many.back();
  }
  const std::string value = AddressListValue("To", many);
  const std::vector<std::string> lines = physicalLines("To: " + value);
  EXPECT_GT(lines.size(), 30u);
  for (const std::string& line : lines) EXPECT_LE(line.size(), kFoldAt);
  // Unfolded, the list is the same list.
  std::string unfolded = value;
  for (size_t at; (at = unfolded.find("\r\n")) != std::string::npos;) unfolded.erase(at, 2);
  EXPECT_EQ(unfolded, compact);
}

TEST(HeaderEncoding, DateTextHasEnglishNamesAndTheOffset) {
  std::tm tm{};
  tm.tm_year = 127;
  tm.tm_mon = 0;
  tm.tm_mday = 3;
  tm.tm_wday = 0;
  tm.tm_hour = 7;
  tm.tm_min = 8;
  tm.tm_sec = 9;
  EXPECT_EQ(DateText(tm, 0), "Sun, 3 Jan 2027 07:08:09 +0000");
  EXPECT_EQ(DateText(tm, -(9 * 3600 + 30 * 60)), "Sun, 3 Jan 2027 07:08:09 -0930");
  tm.tm_mon = 8;
  tm.tm_wday = 4;
  tm.tm_mday = 30;
  EXPECT_EQ(DateText(tm, 13 * 3600 + 45 * 60), "Thu, 30 Sep 2027 07:08:09 +1345");
}

TEST(HeaderEncoding, MessageIdsAreFreshAndCarryTheSenderDomainWhenItIsOne) {
  std::set<std::string> seen;
  for (int i = 0; i < 500; ++i) seen.insert(NewMessageId("ann@example.org"));
  EXPECT_EQ(seen.size(), 500u);
  EXPECT_TRUE(std::regex_match(*seen.begin(), std::regex("<[0-9a-f]{32}@example\\.org>")));
  const auto domain = [](const std::string& address) {
    const std::string id = NewMessageId(address);
    return id.substr(id.find('@') + 1, id.size() - id.find('@') - 2);
  };
  EXPECT_EQ(domain("Ann <ann@mail.example.org>"), "mail.example.org");
  EXPECT_EQ(domain("a@b@c.example"), "c.example");
  EXPECT_EQ(domain("ann@[192.0.2.1]"), "[192.0.2.1]");
  for (const char* none : {"ann", "ann@", "ann@.example", "ann@ex..ample", "ann@[x", "ann@\xC3\xA9.org"})
    EXPECT_EQ(domain(none), "localhost") << none;
}

TEST(QuotedPrintable, EncodesWhatTransportWouldChangeAndBreaksLongLinesSoftly) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(QuotedPrintableLines(""), Lines{""});
  EXPECT_EQ(QuotedPrintableLines("Gr\xC3\xBC\xC3\x9F"
                                 "e a=b"),
            Lines{"Gr=C3=BC=C3=9Fe a=3Db"});
  EXPECT_EQ(QuotedPrintableLines("ends in blanks \t"), Lines{"ends in blanks =09"});
  EXPECT_EQ(QuotedPrintableLines("From here"), Lines{"=46rom here"});
  EXPECT_EQ(QuotedPrintableLines(std::string("nul\0", 4)), Lines{"nul=00"});
  const Lines broken = QuotedPrintableLines(std::string(74, 'a') + "\xC3\xA9" + std::string(100, ' ') + "b");
  ASSERT_EQ(broken.size(), 3u);
  EXPECT_EQ(broken[0], std::string(74, 'a') + "=");  // "=C3" does not fit, nor is it cut
  EXPECT_EQ(broken[1], "=C3=A9" + std::string(69, ' ') + "=");
  EXPECT_EQ(broken[2], std::string(31, ' ') + "b");
}

}  // namespace
