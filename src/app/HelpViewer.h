#pragma once
// The program's help viewer and its help file format.
//
// A help file is text with one topic after another. A topic starts with a line
// "#topic <id>" followed by a line "#title <title>"; the lines up to the next topic are its
// text, in which the lines of a paragraph flow together while blank lines and lines indented
// with a blank keep their breaks. Lines before the first topic and other lines starting with
// "#" are ignored.
#include <QDialog>
#include <string>
#include <string_view>
#include <vector>

class QListWidget;
class QTextBrowser;

struct HelpTopic {
  std::string id;
  std::string title;
  std::string text;
};

std::vector<HelpTopic> ParseHelpFile(std::string_view bytes);
// The topic of a JumpID("file","topic") macro; false for any other macro.
bool ParseJumpId(std::string_view macro, std::string& topic);

class HelpViewer : public QDialog {
  Q_OBJECT

 public:
  explicit HelpViewer(QWidget* parent = nullptr);

  // Loads the help file and shows its topic list; false when the file cannot be read or
  // holds no topic.
  bool ShowContents(const std::string& helpFile);
  // Runs a macro in the loaded file; JumpID shows the topic with that id.
  bool RunMacro(const std::string& macro);
  std::string CurrentTopic() const;

 private:
  void showTopic(int index);

  std::vector<HelpTopic> topics_;
  QListWidget* contents_ = nullptr;
  QTextBrowser* page_ = nullptr;
};
