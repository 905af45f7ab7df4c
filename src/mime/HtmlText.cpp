#include "HtmlText.h"

#include <QString>
#include <QStringList>
#include <QTextDocument>
#include <cctype>

#include "SysUtils.h"

namespace mime {
namespace {

bool tagAt(std::string_view html, size_t at, std::string_view name) {
  if (html.size() - at < name.size() + 2) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(html[at + 1 + i])) != name[i]) return false;
  const char next = html[at + 1 + name.size()];
  return next == '>' || next == '/' || std::isspace(static_cast<unsigned char>(next));
}

}  // namespace

std::string HtmlToText(std::string_view utf8Html) {
  QTextDocument document;
  document.setHtml(QString::fromUtf8(utf8Html.data(), static_cast<qsizetype>(utf8Html.size())));
  QString text = document.toPlainText();
  // Paragraph and line separators of the document are line ends in the text.
  text.replace(QChar(QChar::ParagraphSeparator), QChar('\n'));
  text.replace(QChar(QChar::LineSeparator), QChar('\n'));
  text.replace(QChar(QChar::Nbsp), QChar(' '));
  // Line breaks of the source become blanks at the ends of the document's lines.
  std::string out;
  const QStringList lines = text.split(QChar('\n'));
  for (qsizetype i = 0; i < lines.size(); ++i) {
    const QByteArray bytes = lines[i].toUtf8();
    std::string_view view(bytes.constData(), static_cast<size_t>(bytes.size()));
    while (!view.empty() && (view.back() == ' ' || view.back() == '\t')) view.remove_suffix(1);
    if (i > 0) out += '\n';
    out.append(view);
  }
  return out;
}

std::string HtmlMetaCharset(std::string_view html) {
  const std::string head = corvane::LowerCase(html.substr(0, 4096));
  size_t at = 0;
  while ((at = head.find("<meta", at)) != std::string::npos) {
    const size_t end = head.find('>', at);
    const std::string tag = head.substr(at, end == std::string::npos ? std::string::npos : end - at);
    const size_t cs = tag.find("charset=");
    if (cs != std::string::npos) {
      size_t start = cs + 8;
      while (start < tag.size() && (tag[start] == '"' || tag[start] == '\'' || tag[start] == ' ')) ++start;
      size_t stop = start;
      while (stop < tag.size() && (std::isalnum(static_cast<unsigned char>(tag[stop])) || tag[stop] == '-' ||
                                   tag[stop] == '_' || tag[stop] == ':' || tag[stop] == '.'))
        ++stop;
      if (stop > start) return tag.substr(start, stop - start);
    }
    at = end == std::string::npos ? head.size() : end;
  }
  return {};
}

size_t HtmlCut(std::string_view html, size_t limit) {
  static constexpr std::string_view kBlocks[] = {"p",  "div", "br", "tr", "li",         "table", "h1", "h2", "h3",
                                                 "h4", "h5",  "h6", "hr", "blockquote", "pre",   "ul", "ol"};
  size_t cut = 0;
  for (size_t at = html.find('<'); at < limit; at = html.find('<', at + 1)) {
    // What a comment, script or style holds is not markup: no cut inside it.
    if (html.substr(at).starts_with("<!--")) {
      at = html.find("-->", at + 4);
      if (at == std::string_view::npos) break;
      continue;
    }
    if (tagAt(html, at, "script") || tagAt(html, at, "style")) {
      const std::string_view name = tagAt(html, at, "script") ? "script" : "style";
      // "</name", read as a tag whose first character is the slash.
      do at = html.find("</", at + 1);
      while (at != std::string_view::npos && !tagAt(html, at + 1, name));
      if (at == std::string_view::npos) break;
      continue;
    }
    for (const std::string_view name : kBlocks)
      if (tagAt(html, at, name)) cut = at;
  }
  if (cut > 0) return cut;
  const std::string_view head = html.substr(0, limit);
  if (const size_t tagEnd = head.rfind('>'); tagEnd != std::string_view::npos) return tagEnd + 1;
  if (const size_t lineEnd = head.rfind('\n'); lineEnd != std::string_view::npos) return lineEnd + 1;
  return limit;
}

}  // namespace mime
