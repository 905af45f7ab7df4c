// The packed line list that carries message bodies from the reader into the stores.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Exceptions.h"
#include "LineList.h"

namespace {

using Lines = std::vector<std::string>;

std::string failureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no failure";
}

}  // namespace

TEST(LineList, EditsKeepOrderAndEveryLineIntactAcrossManyBlocks) {
  // Lines of many sizes, one far larger than a block, so that lines land in many blocks
  // and some leave a block's end unused.
  TLineList list;
  Lines expected;
  for (int i = 0; i < 20000; ++i) {
    std::string line(static_cast<size_t>((i * 37) % 300), static_cast<char>('a' + i % 26));
    line += std::to_string(i);
    if (i == 7000) line = std::string(3 << 20, 'x');
    list.Add(line);
    expected.push_back(line);
  }
  list.Insert(0, "first");
  expected.insert(expected.begin(), "first");
  list.Insert(5000, "");
  expected.insert(expected.begin() + 5000, "");
  list.Insert(list.Count(), "last");
  expected.push_back("last");
  list.Delete(3);
  expected.erase(expected.begin() + 3);
  list.Delete(100, 900);
  expected.erase(expected.begin() + 100, expected.begin() + 1000);
  list.Delete(10, 0);
  EXPECT_EQ(list.Items(), expected);
  EXPECT_EQ(list.Count(), static_cast<int>(expected.size()));

  size_t bytes = 0;
  std::string text;
  for (const std::string& line : expected) {
    bytes += line.size();
    text += line + "\r\n";
  }
  EXPECT_EQ(list.TextBytes(), bytes);
  EXPECT_EQ(list.Text(), text);

  // A copy is a list of its own.
  TLineList copy = list;
  copy.MutableLine(0)[0] = 'F';
  copy.Add("more");
  EXPECT_EQ(list[0], "first");
  EXPECT_EQ(copy[0], "First");
  EXPECT_EQ(copy[copy.Count() - 1], "more");
  EXPECT_EQ(list.First(3).Items(), Lines(expected.begin(), expected.begin() + 3));
  EXPECT_EQ(list.First(-1).Count(), 0);
  EXPECT_EQ(list.First(1 << 30).Count(), list.Count());

  list.Clear();
  EXPECT_TRUE(list.Empty());
  list.Add("again");
  EXPECT_EQ(list.Items(), Lines{"again"});
}

TEST(LineList, BadIndexesFailAsAStringListDoes) {
  TLineList list{"a", "b"};
  EXPECT_EQ(failureOf([&] { list[2]; }), "List index out of bounds (2)");
  EXPECT_EQ(failureOf([&] { list[-1]; }), "List index out of bounds (-1)");
  EXPECT_EQ(failureOf([&] { list.Insert(3, "x"); }), "List index out of bounds (3)");
  EXPECT_EQ(failureOf([&] { list.Delete(2); }), "List index out of bounds (2)");
  EXPECT_EQ(failureOf([&] { list.Delete(1, 2); }), "List index out of bounds (2)");
  EXPECT_EQ(failureOf([&] { list.MutableLine(5); }), "List index out of bounds (5)");
  EXPECT_EQ(list.Items(), (Lines{"a", "b"}));
}

TEST(LineList, TextSplitsAtEveryKindOfLineEnd) {
  EXPECT_EQ(TLineList::FromText("").Count(), 0);
  EXPECT_EQ(TLineList::FromText("a\r\nb\rc\nd").Items(), (Lines{"a", "b", "c", "d"}));
  EXPECT_EQ(TLineList::FromText("a\r\n").Items(), Lines{"a"});
  EXPECT_EQ(TLineList::FromText("\r\n\r\n").Items(), (Lines{"", ""}));
  EXPECT_EQ(TLineList::FromText("a\n\rb\r").Items(), (Lines{"a", "", "b"}));
  EXPECT_EQ(TLineList::FromText(std::string("n\0ul\r\n", 6)).Items(), Lines{std::string("n\0ul", 4)});
}

TEST(LineList, InPlaceEditsSplitAndNarrowWithoutTouchingOtherLines) {
  TLineList list{"\r\nFile \"a\" extracted", "plain", "x\r\ny\r\n", "  indented"};
  list.SplitLines("\r\n");
  EXPECT_EQ(list.Items(), (Lines{"", "File \"a\" extracted", "plain", "x", "y", "", "  indented"}));
  list.SplitLines("\r\n");  // nothing left to split
  EXPECT_EQ(list.Count(), 7);

  list.Narrow(6, 2, 100);
  EXPECT_EQ(list[6], "indented");
  list.Narrow(6, 0, 3);
  EXPECT_EQ(list[6], "ind");
  list.Narrow(6, 10, 3);  // past the end: empty, never outside the line
  EXPECT_EQ(list[6], "");
  EXPECT_EQ(list[2], "plain");
  std::span<char> line = list.MutableLine(2);
  line[0] = 'P';
  EXPECT_EQ(list.Items(), (Lines{"", "File \"a\" extracted", "Plain", "x", "y", "", ""}));

  std::vector<std::string> seen;
  for (const std::string_view text : list) seen.emplace_back(text);
  EXPECT_EQ(seen, list.Items());
}
