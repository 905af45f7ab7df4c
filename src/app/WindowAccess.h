#pragma once
// How the window's controls meet the keyboard and assistive technology: the Tab order of
// each page, the names and descriptions a screen reader speaks, and a focus that shows on
// every control. One table per page, in Tab order: a new control joins with one row.
#include <vector>

class QWidget;
struct TpopformControls;

struct AccessRow {
  QWidget* widget;
  const char* name;         // what a screen reader speaks; nullptr: the control's own caption
  const char* description;  // nullptr where the name (or the tool tip) says enough
};

// The pages of mailbinder, by index.
enum class WindowPage { Connect = 0, Inbox = 1, WriteMail = 2 };

// The focusable controls of page in Tab order. The order of the classic tab stops is kept;
// the controls they left out (the glyph buttons, the later additions) follow the field
// they act on, in reading order.
std::vector<AccessRow> AccessRows(const TpopformControls& controls, WindowPage page);

// A caption's mnemonic: Alt and letter move to buddy (a check box is its own). The letters
// differ within each page and from the menu bar's.
struct MnemonicRow {
  QWidget* caption;  // a QLabel or a QAbstractButton
  char letter;       // the first occurrence of it in the caption, either case, is marked
  QWidget* buddy;    // for a label; nullptr for a button
};
std::vector<MnemonicRow> MnemonicRows(const TpopformControls& controls, WindowPage page);

// Chains each page's Tab order, names every control, and lets the glyph buttons take the
// focus from the keyboard with a visible frame; marks the captions' mnemonics.
void ApplyWindowAccess(TpopformControls& controls);
