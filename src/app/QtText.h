#pragma once
// The Qt side of the lossless text codec: every text that goes between the program's byte
// strings and a widget passes through here, so any bytes come back from the widget as
// they went in.
//
// Line edits and combo boxes keep any UTF-16 text, so they take the codec's text as it is.
// A text document does not: it turns LF, CR, U+2029 and its frame marks U+FDD0 and U+FDD1
// into paragraph breaks, and shows U+2028 as a line break. Memo lines therefore go in with
// those characters escaped into the private-use range U+F700..U+F7FF, the range's own code
// points escaped too (U+F7FF followed by the character), so the mapping stays one-to-one.
// A memo holds each line followed by a paragraph break, as the classic edit control did;
// a last paragraph left empty is no line.
#include <QString>
#include <string>
#include <string_view>
#include <vector>

#include "LineList.h"

class QComboBox;
class QLineEdit;
class QPlainTextEdit;

namespace corvane {

QString ToQString(std::string_view bytes);
std::string FromQString(const QString& text);

// One memo line to and from its escaped display form.
QString EscapeMemoLine(std::string_view bytes);
std::string UnescapeMemoLine(const QString& text);

std::string GetText(const QLineEdit* edit);
void SetText(QLineEdit* edit, std::string_view bytes);

// A combo box: the text of its edit part and its item list.
std::string GetText(const QComboBox* box);
void SetText(QComboBox* box, std::string_view bytes);
std::vector<std::string> GetItems(const QComboBox* box);
void SetItems(QComboBox* box, const std::vector<std::string>& items);
void AddItem(QComboBox* box, std::string_view bytes);
void InsertItem(QComboBox* box, int index, std::string_view bytes);
std::string ItemText(const QComboBox* box, int index);

// A memo: its lines (one per paragraph of the document), and its whole text, the lines
// separated by CR LF without one after the last. SetMemoText splits at CR LF only; a lone
// CR or LF stays inside its line.
std::vector<std::string> GetMemoLines(const QPlainTextEdit* memo);
void SetMemoLines(QPlainTextEdit* memo, const std::vector<std::string>& lines);
void AddMemoLine(QPlainTextEdit* memo, std::string_view line);
std::string GetMemoText(const QPlainTextEdit* memo);
void SetMemoText(QPlainTextEdit* memo, std::string_view text);

// A memo lays out all it holds at once, in a time that grows with the text: a message
// body is shown up to about this many bytes.
inline constexpr size_t kMemoShownBytes = 1 << 20;
// The first lines of a body that fit kMemoShownBytes, at least one.
int MemoShownLines(const TLineList& lines);
// Shows the first lines of a body of totalLines lines. When lines are left out, a last line
// says how many, and the memo is read-only: what it shows is not the whole text, so edits
// to it could not be kept.
void ShowBody(QPlainTextEdit* memo, const std::vector<std::string>& lines, size_t totalLines);

}  // namespace corvane
