#pragma once
// HTML of received mail as plain text, with Qt's document doing the reading.
#include <cstddef>
#include <string>
#include <string_view>

namespace mime {

// The text of an HTML document without its markup, lines separated by LF; a link's address
// follows its text as "text <address>" unless the text says it already or the link stays
// within the document.
std::string HtmlToText(std::string_view utf8Html);

// The charset an HTML document names in a meta element, or empty.
std::string HtmlMetaCharset(std::string_view html);

// Where a long HTML text can be cut into pieces converted one by one: before the last tag
// that starts a block of its own, outside comments, scripts and styles, within the first
// limit bytes; failing that after the last tag or line; failing that at limit.
size_t HtmlCut(std::string_view html, size_t limit);

}  // namespace mime
