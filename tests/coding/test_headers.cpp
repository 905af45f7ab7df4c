#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "ZnExtstr.h"

namespace {

TExStringList lines(std::initializer_list<const char*> texts, bool sorted = false) {
  TExStringList list;
  for (const char* t : texts) list.Add(t);
  list.SetSorted(sorted);
  return list;
}

// Runs a test in the UTF-8 locale, as the program does once Qt has set the user's locale.
class Utf8Locale : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
  }
  void TearDown() override { std::setlocale(LC_ALL, saved_.c_str()); }

 private:
  std::string saved_;
};

}  // namespace

TEST(ExStringList, SetHeaderAddsReplacesInPlaceAndRemoves) {
  TExStringList list;
  list.SetHeader("Subject", "first");
  EXPECT_EQ(list.Text(), "Subject: first\r\n");
  list.SetHeader("To", "a@b");
  list.SetHeader("subject", "second");
  EXPECT_EQ(list.Text(), "subject: second\r\nTo: a@b\r\n");
  list.SetHeader("Subject", "");
  EXPECT_EQ(list.Text(), "To: a@b\r\n");
  list.SetHeader("Subject", "");
  EXPECT_EQ(list.Text(), "To: a@b\r\n");
}

TEST(ExStringList, NamesAreTheTextBeforeTheFirstColonUnchanged) {
  TExStringList list = lines({"Subject", "X-Note : spaced", "Date: 1:2:3", "SUBJECT: hi", "Subject: dup"});
  EXPECT_EQ(list.IndexOfHeader("subject"), 3);
  EXPECT_EQ(list.IndexOfHeader("X-Note"), -1);
  EXPECT_EQ(list.IndexOfHeader("X-Note "), 1);
  EXPECT_EQ(list.IndexOfHeader("Date"), 2);
  EXPECT_EQ(list.IndexOfHeader(""), -1);
  list.SetHeader("Subject", "new");
  EXPECT_EQ(list.Text(), "Subject\r\nX-Note : spaced\r\nDate: 1:2:3\r\nSubject: new\r\nSubject: dup\r\n");

  TExStringList bare = lines({"Subject"});
  bare.SetHeader("Subject", "x");
  EXPECT_EQ(bare.Text(), "Subject\r\nSubject: x\r\n");
}

TEST(ExStringList, SortedListsAreSearchedAndKeptInOrder) {
  EXPECT_EQ(TExStringList().IndexOfHeader("To"), -1);
  TExStringList list = lines({"to: x", "From: a", "cc: b", "Date: d", "Subject: s", "no colon"}, true);
  for (const char* name : {"FROM", "cc", "date", "SUBJECT", "To"}) {
    const int i = list.IndexOfHeader(name);
    ASSERT_GE(i, 0) << name;
    EXPECT_EQ(list.CompareStrings(list[i].substr(0, list[i].find(':')), name), 0) << name;
  }
  EXPECT_EQ(list.IndexOfHeader("Bcc"), -1);
  EXPECT_EQ(list.IndexOfHeader(""), -1);

  // Whole lines order "To-X: a" before "To: b", though the name "To" sorts first.
  TExStringList prefixed = lines({"To: b", "To-X: a"}, true);
  ASSERT_EQ(prefixed[0], "To-X: a");
  EXPECT_EQ(prefixed.IndexOfHeader("to"), 1);
  EXPECT_EQ(prefixed.IndexOfHeader("TO-x"), 0);

  list.SetHeader("Bcc", "z");
  list.SetHeader("cc", "c2");
  EXPECT_EQ(list.Text(), "Bcc: z\r\ncc: c2\r\nDate: d\r\nFrom: a\r\nno colon\r\nSubject: s\r\nto: x\r\n");
}

TEST_F(Utf8Locale, NamesCompareWithoutCaseInTheUsersLocale) {
  TExStringList list = lines({"Über: 1", "ärger: 2", "Straße: 3"});
  EXPECT_EQ(list.IndexOfHeader("über"), 0);
  EXPECT_EQ(list.IndexOfHeader("ÄRGER"), 1);
  EXPECT_EQ(list.IndexOfHeader("STRASSE"), -1);
  EXPECT_LT(list.CompareStrings("apple", "Banana"), 0);
  EXPECT_GT(list.CompareStrings("Cherry", "banana"), 0);
  EXPECT_EQ(list.CompareStrings("ÉTÉ", "été"), 0);
  // Bytes that are no UTF-8 still order consistently and equal only themselves.
  EXPECT_EQ(list.CompareStrings("a\xff", "A\xff"), 0);
  EXPECT_NE(list.CompareStrings("a\xff", "a\xfe"), 0);
  EXPECT_EQ(list.CompareStrings("a\xff", "a\xfe"), -list.CompareStrings("a\xfe", "a\xff"));

  TExStringList sorted = lines({"Zeta: 1", "über: 2", "alpha: 3", "Beta: 4"}, true);
  EXPECT_EQ(sorted.Text(), "alpha: 3\r\nBeta: 4\r\nZeta: 1\r\nüber: 2\r\n");
  EXPECT_EQ(sorted.IndexOfHeader("ÜBER"), 3);
}
