// HTML of received mail as the text the user reads: the words, and where each link goes.
#include <gtest/gtest.h>

#include "HtmlText.h"

namespace {

TEST(HtmlToText, LinksKeepTheirAddressUnlessTheTextSaysIt) {
  struct Case {
    const char* html;
    const char* text;
  };
  const Case cases[] = {
      {"<p>see <a href=\"https://example.org/trip\">this link</a>.</p>", "see this link <https://example.org/trip>."},
      {"<a href=\"https://example.org/a\">https://example.org/a</a>", "https://example.org/a"},
      {"<a href=\"http://Example.org/\">example.org</a>", "example.org"},
      {"<a href=\"mailto:ann@example.org\">ann@example.org</a>", "ann@example.org"},
      {"<a href=\"mailto:ann@example.org\">Ann</a>", "Ann <mailto:ann@example.org>"},
      {"<a href=\"#top\">back</a> <a name=\"here\">anchor</a>", "back anchor"},
      {"<a href=\"u1\"><b>bold</b> and <i>plain</i></a> <a href=\"u2\">two</a>", "bold and plain <u1> two <u2>"},
      {"<a href=\"u&#10;v\">line</a>", "line <uv>"},
      {"<ul><li><a href=\"l1\">one</a></li><li>two</li></ul><table><tr><td><a href=\"c\">cell</a></td></tr></table>"
       "<p>after <a href=\"p\">end</a></p>",
       "one <l1>\ntwo\ncell <c>\n\nafter end <p>"},
      {"<p>no links&nbsp;here</p>", "no links here"},
  };
  for (const Case& c : cases) EXPECT_EQ(mime::HtmlToText(c.html), c.text) << c.html;
}

}  // namespace
