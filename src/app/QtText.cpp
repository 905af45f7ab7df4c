#include "QtText.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <array>

#include "SysUtils.h"
#include "TextCodec.h"

namespace corvane {
namespace {

constexpr char16_t kRangeFirst = 0xF700;
constexpr char16_t kRangeLast = 0xF7FF;
constexpr char16_t kEscape = kRangeLast;
// Characters a text document would not keep inside a paragraph; the i-th goes in as
// U+F700 + i.
constexpr std::array<char16_t, 6> kSpecials = {0x000A, 0x000D, 0x2028, 0x2029, 0xFDD0, 0xFDD1};

int specialIndex(char16_t c) {
  for (size_t i = 0; i < kSpecials.size(); ++i)
    if (kSpecials[i] == c) return static_cast<int>(i);
  return -1;
}

// A user's Shift+Enter puts U+2028 into a paragraph: it counts as a line break.
QStringList splitUserBreaks(const QString& paragraph) {
  return paragraph.split(QChar(0x2028));
}

}  // namespace

QString ToQString(std::string_view bytes) {
  const std::u16string text = BytesToUtf16(bytes);
  return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

std::string FromQString(const QString& text) {
  return Utf16ToBytes(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size())));
}

QString EscapeMemoLine(std::string_view bytes) {
  const std::u16string text = BytesToUtf16(bytes);
  QString out;
  out.reserve(static_cast<qsizetype>(text.size()));
  for (char16_t c : text) {
    const int special = specialIndex(c);
    if (special >= 0) {
      out += QChar(static_cast<char16_t>(kRangeFirst + special));
    } else {
      if (c >= kRangeFirst && c <= kRangeLast) out += QChar(kEscape);
      out += QChar(c);
    }
  }
  return out;
}

std::string UnescapeMemoLine(const QString& text) {
  std::u16string out;
  out.reserve(static_cast<size_t>(text.size()));
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t c = text.at(i).unicode();
    if (c == kEscape && i + 1 < text.size()) {
      out += text.at(++i).unicode();
    } else if (c >= kRangeFirst && c < kRangeFirst + kSpecials.size()) {
      out += kSpecials[c - kRangeFirst];
    } else {
      out += c;
    }
  }
  return Utf16ToBytes(out);
}

std::string GetText(const QLineEdit* edit) {
  return FromQString(edit->text());
}
void SetText(QLineEdit* edit, std::string_view bytes) {
  edit->setText(ToQString(bytes));
}

std::string GetText(const QComboBox* box) {
  return FromQString(box->currentText());
}

void SetText(QComboBox* box, std::string_view bytes) {
  if (box->isEditable())
    box->setEditText(ToQString(bytes));
  else
    box->setCurrentIndex(box->findText(ToQString(bytes), Qt::MatchExactly | Qt::MatchCaseSensitive));
}

std::vector<std::string> GetItems(const QComboBox* box) {
  std::vector<std::string> items;
  items.reserve(static_cast<size_t>(box->count()));
  for (int i = 0; i < box->count(); ++i) items.push_back(FromQString(box->itemText(i)));
  return items;
}

void SetItems(QComboBox* box, const std::vector<std::string>& items) {
  box->clear();
  QStringList texts;
  texts.reserve(static_cast<qsizetype>(items.size()));
  for (const std::string& item : items) texts << ToQString(item);
  box->addItems(texts);
}

void AddItem(QComboBox* box, std::string_view bytes) {
  box->addItem(ToQString(bytes));
}
void InsertItem(QComboBox* box, int index, std::string_view bytes) {
  box->insertItem(index, ToQString(bytes));
}
std::string ItemText(const QComboBox* box, int index) {
  return FromQString(box->itemText(index));
}

std::vector<std::string> GetMemoLines(const QPlainTextEdit* memo) {
  std::vector<std::string> lines;
  const QTextDocument* document = memo->document();
  for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
    const bool last = !block.next().isValid();
    if (last && block.text().isEmpty()) break;
    for (const QString& part : splitUserBreaks(block.text())) lines.push_back(UnescapeMemoLine(part));
  }
  return lines;
}

void SetMemoLines(QPlainTextEdit* memo, const std::vector<std::string>& lines) {
  QString text;
  for (const std::string& line : lines) {
    text += EscapeMemoLine(line);
    text += QChar('\n');
  }
  memo->setPlainText(text);
}

int MemoShownLines(const TLineList& lines) {
  return LinesThatFit(lines.Count(), kMemoShownBytes, [&](int i) { return lines[i].size(); });
}

void ShowBody(QPlainTextEdit* memo, const std::vector<std::string>& lines, size_t totalLines) {
  if (lines.size() >= totalLines) {
    SetMemoLines(memo, lines);
    memo->setReadOnly(false);
    return;
  }
  std::vector<std::string> shown(lines);
  shown.push_back(Format("[%zu more lines are not shown here. Save InMessage As writes the whole text.]",
                         totalLines - lines.size()));
  SetMemoLines(memo, shown);
  memo->setReadOnly(true);
  // Still read with the keys: cursor, page and selection keys move through it.
  memo->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

void AddMemoLine(QPlainTextEdit* memo, std::string_view line) {
  QTextCursor cursor(memo->document());
  cursor.movePosition(QTextCursor::End);
  QString text;
  if (!cursor.block().text().isEmpty()) text += QChar('\n');
  text += EscapeMemoLine(line);
  text += QChar('\n');
  cursor.insertText(text);
}

std::string GetMemoText(const QPlainTextEdit* memo) {
  std::string text;
  const QTextDocument* document = memo->document();
  for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
    if (block != document->begin()) text += "\r\n";
    bool first = true;
    for (const QString& part : splitUserBreaks(block.text())) {
      if (!first) text += "\r\n";
      text += UnescapeMemoLine(part);
      first = false;
    }
  }
  return text;
}

void SetMemoText(QPlainTextEdit* memo, std::string_view text) {
  QString display;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find("\r\n", start);
    display += EscapeMemoLine(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) break;
    display += QChar('\n');
    start = end + 2;
  }
  memo->setPlainText(display);
}

}  // namespace corvane
