#include "HtmlText.h"

#include <QString>
#include <QStringList>
#include <QTextBlock>
#include <QTextDocument>
#include <cctype>
#include <utility>
#include <vector>

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

// Where a link's text ends in the document's plain text, and the address it goes to.
struct LinkEnd {
  qsizetype at;
  QString address;
};

// "http://example.org/" is what "example.org" or "Example.org/" says too.
QString withoutScheme(QString address) {
  for (const QLatin1String scheme : {QLatin1String("https://"), QLatin1String("http://")})
    if (address.startsWith(scheme, Qt::CaseInsensitive)) address.remove(0, scheme.size());
  while (address.endsWith(QChar('/'))) address.chop(1);
  return address;
}

// The address a link's text leaves unsaid, or nothing: a link within the document, or one
// whose text is its address already.
QString unsaidAddress(const QString& linkText, const QString& href) {
  QString address;
  // Line ends and other controls in an attribute would break the text's lines.
  for (const QChar c : href)
    if (c.category() != QChar::Other_Control) address += c;
  address = address.trimmed();
  const QString text = linkText.trimmed();
  if (address.isEmpty() || address.startsWith(QChar('#'))) return {};
  const auto same = [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) == 0; };
  if (same(text, address) || same(withoutScheme(text), withoutScheme(address))) return {};
  if (address.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive) && same(text, address.mid(7))) return {};
  return address;
}

// Every link of the document with its address to show, in order.
std::vector<LinkEnd> linkEnds(const QTextDocument& document) {
  std::vector<LinkEnd> ends;
  for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
    QString href;
    QString text;
    qsizetype end = 0;
    const auto close = [&] {
      if (!href.isEmpty())
        if (QString address = unsaidAddress(text, href); !address.isEmpty())
          ends.push_back(LinkEnd{end, std::move(address)});
      text.clear();
    };
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment fragment = it.fragment();
      const QTextCharFormat format = fragment.charFormat();
      const QString fragmentHref = format.isAnchor() ? format.anchorHref() : QString();
      if (fragmentHref != href) {
        close();
        href = fragmentHref;
      }
      // Only a link's own text is ever looked at.
      if (!href.isEmpty()) text += fragment.text();
      end = fragment.position() + fragment.length();
    }
    close();
  }
  return ends;
}

}  // namespace

std::string HtmlToText(std::string_view utf8Html) {
  QTextDocument document;
  document.setHtml(QString::fromUtf8(utf8Html.data(), static_cast<qsizetype>(utf8Html.size())));
  QString text = document.toPlainText();
  // Each link keeps its address after its text, "text <address>"; the text is copied once,
  // in order, as a long one can hold many thousand links.
  const std::vector<LinkEnd> links = linkEnds(document);
  if (!links.empty()) {
    QString linked;
    qsizetype from = 0;
    for (const LinkEnd& link : links) {
      linked.append(QStringView(text).mid(from, link.at - from)).append(QLatin1String(" <"));
      linked.append(link.address).append(QChar('>'));
      from = link.at;
    }
    text = linked.append(QStringView(text).mid(from));
  }
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
