#include "HelpViewer.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QTextBrowser>

#include "QtText.h"
#include "Streams.h"
#include "StringList.h"
#include "SysUtils.h"

std::vector<HelpTopic> ParseHelpFile(std::string_view bytes) {
  TStringList lines;
  lines.SetText(bytes);
  std::vector<HelpTopic> topics;
  for (const std::string& line : lines.Items()) {
    if (line.rfind("#topic ", 0) == 0) {
      topics.push_back({corvane::Trim(line.substr(7)), {}, {}});
    } else if (topics.empty()) {
      continue;
    } else if (line.rfind("#title ", 0) == 0) {
      topics.back().title = corvane::Trim(line.substr(7));
    } else if (line.rfind("#", 0) != 0) {
      // Lines of a paragraph flow together; blank lines and indented lines keep their breaks.
      std::string& text = topics.back().text;
      const bool open = !text.empty() && text.back() != '\n';
      if (!line.empty() && line[0] != ' ') {
        text += open ? " " + line : line;
      } else {
        if (open) text += '\n';
        text += line + "\n";
      }
    }
  }
  for (HelpTopic& topic : topics) {
    if (topic.title.empty()) topic.title = topic.id;
    topic.text = corvane::TrimRight(topic.text);
    topic.text.erase(0, topic.text.find_first_not_of('\n'));
  }
  return topics;
}

bool ParseJumpId(std::string_view macro, std::string& topic) {
  const std::string text = corvane::Trim(macro);
  constexpr std::string_view kHead = "JumpID(";
  if (text.size() < kHead.size() + 1 ||
      !corvane::SameTextAscii(std::string_view(text).substr(0, kHead.size()), kHead) || text.back() != ')')
    return false;
  // Two quoted arguments: the file (may be empty) and the topic.
  std::vector<std::string> args;
  size_t i = kHead.size();
  while (args.size() < 2) {
    const size_t open = text.find('"', i);
    if (open == std::string::npos) return false;
    const size_t close = text.find('"', open + 1);
    if (close == std::string::npos) return false;
    args.push_back(text.substr(open + 1, close - open - 1));
    i = close + 1;
  }
  topic = args[1];
  return true;
}

HelpViewer::HelpViewer(QWidget* parent) : QDialog(parent) {
  setObjectName("HelpViewer");
  setWindowTitle("Corvane Help");
  // Help left open must not keep the program running once the main window has closed.
  setAttribute(Qt::WA_QuitOnClose, false);
  resize(560, 380);
  contents_ = new QListWidget(this);
  contents_->setObjectName("helpcontents");
  contents_->setMaximumWidth(170);
  page_ = new QTextBrowser(this);
  page_->setObjectName("helppage");
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(contents_);
  layout->addWidget(page_, 1);
  connect(contents_, &QListWidget::currentRowChanged, this, &HelpViewer::showTopic);
}

bool HelpViewer::ShowContents(const std::string& helpFile) {
  std::vector<HelpTopic> topics;
  try {
    topics = ParseHelpFile(corvane::ReadFile(helpFile));
  } catch (const std::exception&) {
    return false;
  }
  if (topics.empty()) return false;
  topics_ = std::move(topics);
  contents_->clear();
  for (const HelpTopic& topic : topics_) contents_->addItem(corvane::ToQString(topic.title));
  contents_->setCurrentRow(0);
  show();
  raise();
  return true;
}

bool HelpViewer::RunMacro(const std::string& macro) {
  std::string id;
  if (!ParseJumpId(macro, id)) return false;
  for (size_t i = 0; i < topics_.size(); ++i) {
    if (corvane::SameTextAscii(topics_[i].id, id)) {
      contents_->setCurrentRow(static_cast<int>(i));
      return true;
    }
  }
  return false;
}

std::string HelpViewer::CurrentTopic() const {
  const int row = contents_->currentRow();
  return row < 0 ? std::string() : topics_[static_cast<size_t>(row)].id;
}

void HelpViewer::showTopic(int index) {
  if (index < 0 || static_cast<size_t>(index) >= topics_.size()) return;
  page_->setPlainText(corvane::ToQString(topics_[static_cast<size_t>(index)].text));
}
