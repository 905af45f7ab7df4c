// Any bytes survive a trip through the real widgets the window uses.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <random>

#include "QtText.h"

namespace {

using namespace std::string_literals;

std::string randomBytes(std::mt19937& rng, size_t size) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(byte(rng));
  return out;
}

// Texts that widgets are known to bend: NBSP, line and paragraph separators, a lone CR and
// LF, the text document's frame marks, NUL, invalid UTF-8, and the escape range itself.
std::vector<std::string> awkwardTexts() {
  return {
      "",
      "plain text",
      "a\xC2\xA0"
      "b",  // U+00A0
      "a\xE2\x80\xA8"
      "b",  // U+2028
      "a\xE2\x80\xA9"
      "b",  // U+2029
      "lone\rcr",
      "lone\nlf",
      "crlf\r\ninside",
      "nul\0byte"s,
      "\xFF\xFE invalid \xC3",
      "\xED\xA0\x80 encoded surrogate",
      "\xEF\xB7\x90\xEF\xB7\x91 frame marks",   // U+FDD0 U+FDD1
      "\xEF\x9C\x80\xEF\x9F\xBF escape range",  // U+F700 U+F7FF
      "\xEF\x9F\xBF",                           // U+F7FF alone at the end
      "tab\tand\x0C form feed \x1B",
      "   leading and trailing   ",
      "\xF0\x9F\x93\xA8 emoji",
  };
}

TEST(QtText, LineEditAndComboKeepAnyBytes) {
  QLineEdit edit;
  QComboBox box;
  box.setEditable(true);
  std::mt19937 rng(7);
  std::vector<std::string> samples = awkwardTexts();
  for (int i = 0; i < 200; ++i) samples.push_back(randomBytes(rng, 1 + i % 40));
  for (const std::string& bytes : samples) {
    corvane::SetText(&edit, bytes);
    EXPECT_EQ(corvane::GetText(&edit), bytes);
    corvane::SetText(&box, bytes);
    EXPECT_EQ(corvane::GetText(&box), bytes);
  }
  corvane::SetItems(&box, samples);
  EXPECT_EQ(corvane::GetItems(&box), samples);
}

TEST(QtText, MemoKeepsAnyLines) {
  QPlainTextEdit memo;
  std::mt19937 rng(11);
  const std::vector<std::string> awkward = awkwardTexts();
  corvane::SetMemoLines(&memo, awkward);
  EXPECT_EQ(corvane::GetMemoLines(&memo), awkward);

  for (int round = 0; round < 50; ++round) {
    std::vector<std::string> lines;
    for (int i = 0; i < round % 7; ++i) lines.push_back(randomBytes(rng, static_cast<size_t>(i * 9 + round % 5)));
    corvane::SetMemoLines(&memo, lines);
    ASSERT_EQ(corvane::GetMemoLines(&memo), lines) << "round " << round;
  }
}

TEST(QtText, MemoCountsLinesAsTheEditControlDid) {
  QPlainTextEdit memo;
  corvane::SetMemoLines(&memo, {});
  EXPECT_TRUE(corvane::GetMemoLines(&memo).empty());
  EXPECT_EQ(corvane::GetMemoText(&memo), "");

  corvane::SetMemoLines(&memo, {""});
  EXPECT_EQ(corvane::GetMemoLines(&memo), std::vector<std::string>{""});
  EXPECT_EQ(corvane::GetMemoText(&memo), "\r\n");

  // Every line ends in CR LF in the whole text; a line added after typed text starts anew.
  corvane::SetMemoLines(&memo, {"one", "", "three"});
  EXPECT_EQ(corvane::GetMemoText(&memo), "one\r\n\r\nthree\r\n");
  memo.setPlainText("typed");
  corvane::AddMemoLine(&memo, "added");
  corvane::AddMemoLine(&memo, "again");
  EXPECT_EQ(corvane::GetMemoLines(&memo), (std::vector<std::string>{"typed", "added", "again"}));
}

TEST(QtText, MemoTextRoundTripsAndSplitsOnlyAtCrLf) {
  QPlainTextEdit memo;
  std::mt19937 rng(13);
  std::vector<std::string> samples = awkwardTexts();
  samples.push_back("a\r\n\r\nb\r\n");
  samples.push_back("\r\n");
  samples.push_back("ends in a lone cr\r");
  for (int i = 0; i < 100; ++i) samples.push_back(randomBytes(rng, static_cast<size_t>(i * 3)));
  for (const std::string& text : samples) {
    corvane::SetMemoText(&memo, text);
    ASSERT_EQ(corvane::GetMemoText(&memo), text);
  }
  corvane::SetMemoText(&memo, "a\rb\nc\r\nd");
  EXPECT_EQ(corvane::GetMemoLines(&memo), (std::vector<std::string>{"a\rb\nc", "d"}));
}

TEST(QtText, WhatTheUserTypesComesBackAsLines) {
  QPlainTextEdit memo;
  QTest::keyClicks(&memo, "first");
  QTest::keyClick(&memo, Qt::Key_Return);
  QTest::keyClicks(&memo, "second");
  QTest::keyClick(&memo, Qt::Key_Return, Qt::ShiftModifier);  // a soft line break
  QTest::keyClicks(&memo, "third ");
  QKeyEvent accented(QEvent::KeyPress, Qt::Key_Eacute, Qt::NoModifier, QString::fromUtf8("\xC3\xA9"));
  QApplication::sendEvent(&memo, &accented);
  EXPECT_EQ(corvane::GetMemoLines(&memo), (std::vector<std::string>{"first", "second", "third \xC3\xA9"}));
  EXPECT_EQ(corvane::GetMemoText(&memo), "first\r\nsecond\r\nthird \xC3\xA9");
}

TEST(QtText, EscapedFormShowsSpecialsAsSingleCharacters) {
  // One private-use character per special, two for the range's own code points.
  EXPECT_EQ(corvane::EscapeMemoLine("a\rb").size(), 3);
  EXPECT_EQ(corvane::EscapeMemoLine("\xEF\x9C\x80").size(), 2);
  EXPECT_FALSE(corvane::EscapeMemoLine("x\xE2\x80\xA9y").contains(QChar(0x2029)));
  // A private-use character typed by the user, not made by escaping, is kept as it is.
  EXPECT_EQ(corvane::UnescapeMemoLine(QString(QChar(0xF7A0))), "\xEF\x9E\xA0");
}

}  // namespace
