// The display layer and the header fields of received mail: encoded words, RFC 2231
// parameters, charsets and quoted-printable, in the forms mailers actually send.
#include <gtest/gtest.h>

#include "Base64.h"
#include "Charsets.h"
#include "EncodedWords.h"
#include "EntityHeader.h"
#include "QuotedPrintable.h"

namespace {

TEST(EncodedWords, DecodeAcrossWordsCharsetsAndTheirMistakes) {
  // Blanks between two encoded words are folding, not text; a character may be split.
  EXPECT_EQ(mime::DecodeEncodedWords("=?UTF-8?B?w6k=?= =?UTF-8?B?w6k=?= x"), "\xC3\xA9\xC3\xA9 x");
  EXPECT_EQ(mime::DecodeEncodedWords("=?utf-8?b?4oI=?=\r\n =?utf-8?b?rA==?="), "\xE2\x82\xAC");
  EXPECT_EQ(mime::DecodeEncodedWords("a =?iso-8859-1?q?caf=E9_au_lait?= b"), "a caf\xC3\xA9 au lait b");
  EXPECT_EQ(mime::DecodeEncodedWords("=?ISO-8859-1*fr?Q?=E9?="), "\xC3\xA9");
  EXPECT_EQ(mime::DecodeEncodedWords("=?KOI8-R?B?8NLJ18XU?="), "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  // Not encoded words: kept as written.
  EXPECT_EQ(mime::DecodeEncodedWords("=?UTF-8?X?abc?= and =? plain"), "=?UTF-8?X?abc?= and =? plain");
  EXPECT_EQ(mime::DecodeEncodedWords("price =?UTF-8?Q?10=?"), "price =?UTF-8?Q?10=?");
  // Raw 8-bit text outside words shows as Windows-1252 where it is not UTF-8.
  EXPECT_EQ(mime::DecodeEncodedWords("M\xFCller"), "M\xC3\xBCller");
  EXPECT_EQ(mime::DecodeEncodedWords("M\xC3\xBCller"), "M\xC3\xBCller");
}

TEST(Charsets, ConvertWithAWellKeptConverterAndNeverLoseAByte) {
  EXPECT_EQ(mime::ToUtf8("\x80 \x93q\x94", "windows-1252"), "\xE2\x82\xAC \xE2\x80\x9Cq\xE2\x80\x9D");
  EXPECT_EQ(mime::ToUtf8("\xA4", "ISO-8859-15"), "\xE2\x82\xAC");
  EXPECT_EQ(mime::ToUtf8("\xB1", "iso-8859-2"), "\xC4\x85");
  EXPECT_EQ(mime::ToUtf8("\x1B$B$3$s$K$A$O\x1B(B", "ISO-2022-JP"),
            "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF");
  // Unknown charset, and bytes the charset does not have: one character per byte.
  EXPECT_EQ(mime::ToUtf8("a\xE9\x81", "x-unknown"), "a\xC3\xA9\xC2\x81");
  EXPECT_EQ(mime::ToUtf8("ok \xFF\xFE", "utf-8"), "ok \xC3\xBF\xC3\xBE");
  EXPECT_EQ(mime::ToUtf8("\x81\xFF", "shift_jis").size(), 4u);
  // UTF-8 text under a Latin label is UTF-8.
  EXPECT_EQ(mime::ToUtf8("caf\xC3\xA9", "iso-8859-1"), "caf\xC3\xA9");
}

TEST(QuotedPrintable, SoftBreaksCodesAndTransportBlanks) {
  EXPECT_EQ(mime::DecodeQuotedPrintable("a=3Db =\r\nc  \r\nd=\r\n"), "a=b c\r\nd");
  EXPECT_EQ(mime::DecodeQuotedPrintable("=E2=82=AC=ZZ=4"), "\xE2\x82\xAC=ZZ=4");
  EXPECT_EQ(mime::DecodeQuotedPrintable("lf only\nnext"), "lf only\nnext");
}

TEST(Base64, OneStreamAcrossLinesEndingAtItsPad) {
  mime::Base64Decoder decoder;
  std::string out;
  decoder.Feed("YW", out);
  decoder.Feed("J\r\njZ", out);
  decoder.Feed("A=", out);
  decoder.Feed("=ZZZZ", out);
  decoder.Finish(out);
  EXPECT_EQ(out, "abcd");
  EXPECT_TRUE(decoder.Ended());
  EXPECT_EQ(mime::DecodeBase64("Y W\tJ*j"), "abc");
}

TEST(Parameters, Rfc2231SectionsCharsetsQuotesAndComments) {
  mime::Parameters p;
  EXPECT_EQ(mime::ParseStructured("Application/PDF (a comment); NAME=\"a \\\"b\\\" c.pdf\"; x=1", p),
            "application/pdf");
  EXPECT_EQ(mime::ParameterText(p, "name"), "a \"b\" c.pdf");
  EXPECT_EQ(mime::ParameterText(p, "x"), "1");

  // Sections out of order, extended and plain mixed; the 2231 value wins over the plain one.
  mime::ParseStructured(
      "attachment; filename=\"fallback.txt\"; filename*1=\" part two\"; filename*0*=UTF-8'de'%C3%84rger; "
      "filename*2*=%20%E2%82%AC",
      p);
  EXPECT_EQ(mime::ParameterText(p, "filename"), "\xC3\x84rger part two \xE2\x82\xAC");
  // A missing section ends the value; a single extended value needs no number.
  mime::ParseStructured("a; name*0=one; name*2=three; title*=iso-8859-1''%E9t%E9", p);
  EXPECT_EQ(mime::ParameterText(p, "name"), "one");
  EXPECT_EQ(mime::ParameterText(p, "title"), "\xC3\xA9t\xC3\xA9");
  // Windows paths in quotes keep their backslashes; unquoted values may hold blanks.
  mime::ParseStructured("attachment; filename=\"C:\\dir\\y.txt\"; name=my file.txt ;", p);
  EXPECT_EQ(mime::ParameterText(p, "filename"), "C:\\dir\\y.txt");
  EXPECT_EQ(mime::ParameterText(p, "name"), "my file.txt");
}

TEST(EntityHeader, TypesAreCaseBlindAndSafeWhenBroken) {
  mime::EntityHeader h;
  h.AddLine("CONTENT-TYPE: Multipart/Alternative;");
  h.AddLine("\tBoundary=\"=_b\"");
  h.AddLine("Content-Transfer-Encoding: Quoted-Printable (comment)");
  h.Interpret();
  EXPECT_TRUE(h.IsMultipart());
  EXPECT_EQ(h.subtype, "alternative");
  EXPECT_EQ(h.Boundary(), "=_b");
  EXPECT_EQ(h.encoding, "quoted-printable");

  mime::EntityHeader broken;
  broken.AddLine("Content-Type: text; charset=koi8-r");
  broken.Interpret("message/rfc822");
  EXPECT_EQ(broken.type + "/" + broken.subtype, "message/rfc822");
  EXPECT_EQ(broken.Charset(), "koi8-r");

  EXPECT_TRUE(mime::EntityHeader::LooksLikeHeaderLine("X-Odd-Name : value"));
  EXPECT_FALSE(mime::EntityHeader::LooksLikeHeaderLine("Hello there: how are you"));
  EXPECT_FALSE(mime::EntityHeader::LooksLikeHeaderLine(": value"));
}

}  // namespace
