#include "Dialogs.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressDialog>
#include <QStringList>

#include "HelpViewer.h"
#include "QtText.h"
#include "SysUtils.h"

namespace {

// "Text Files|*.txt|All Files|*.*" -> "Text Files (*.txt);;All Files (*.*)"
QString qtFilter(const std::string& filter) {
  const QStringList parts = corvane::ToQString(filter).split('|');
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
    out << parts[i] + " (" + QString(parts[i + 1]).replace(';', ' ') + ")";
  return out.join(";;");
}

// Message texts come from servers and files: never let them be taken for markup.
int runBox(QWidget* parent, QMessageBox::Icon icon, const char* caption, const std::string& text,
           QMessageBox::StandardButtons buttons, QMessageBox::StandardButton byDefault) {
  QMessageBox box(icon, caption, corvane::ToQString(text), buttons, parent);
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(byDefault);
  return box.exec();
}

bool runFileDialog(QWidget* parent, TFileDialog& dialog, QFileDialog::AcceptMode mode) {
  QFileDialog chooser(parent);
  chooser.setAcceptMode(mode);
  chooser.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  chooser.setNameFilter(qtFilter(dialog.Filter));
  chooser.setDefaultSuffix(corvane::ToQString(dialog.DefaultExt));
  if (!dialog.FileName.empty()) chooser.selectFile(corvane::ToQString(dialog.FileName));
  if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) return false;
  dialog.FileName = corvane::FromQString(chooser.selectedFiles().constFirst());
  return true;
}

class NoProgress : public ProgressBox {
 public:
  void SetText(const std::string&) override {}
};

// A busy bar that keeps the window from other clicks while a long step runs.
class QtProgress : public ProgressBox {
 public:
  QtProgress(QWidget* parent, const std::string& caption, const std::string& text, std::function<void()> onCancel)
      : dialog_(corvane::ToQString(text), "Cancel", 0, 0, parent) {
    dialog_.setWindowTitle(corvane::ToQString(caption));
    dialog_.setWindowModality(Qt::WindowModal);
    dialog_.setMinimumDuration(0);
    dialog_.setAutoClose(false);
    dialog_.setAutoReset(false);
    QObject::connect(&dialog_, &QProgressDialog::canceled, &dialog_, std::move(onCancel));
    dialog_.show();
  }
  void SetText(const std::string& text) override { dialog_.setLabelText(corvane::ToQString(text)); }

 private:
  QProgressDialog dialog_;
};

}  // namespace

std::unique_ptr<ProgressBox> Dialogs::ShowProgress(const std::string&, const std::string&, std::function<void()>) {
  return std::make_unique<NoProgress>();
}

QtDialogs::QtDialogs() = default;
QtDialogs::~QtDialogs() = default;

void QtDialogs::SetOwner(QWidget* owner) {
  owner_ = owner;
}

// Without a window manager no window may be active, and a box without a parent would sit
// in the screen's corner rather than over the window it speaks for.
QWidget* QtDialogs::parentWindow() const {
  if (QWidget* modal = QApplication::activeModalWidget()) return modal;
  return owner_ ? owner_.data() : QApplication::activeWindow();
}

void QtDialogs::ShowMessage(const std::string& text) {
  runBox(parentWindow(), QMessageBox::NoIcon, "Corvane", text, QMessageBox::Ok, QMessageBox::Ok);
}

void QtDialogs::ShowError(const std::string& text) {
  runBox(parentWindow(), QMessageBox::Critical, "Corvane", text, QMessageBox::Ok, QMessageBox::Ok);
}

bool QtDialogs::Confirm(const std::string& text, TConfirmButtons buttons, TDefaultAnswer byDefault) {
  const bool yesNo = buttons == TConfirmButtons::YesNo;
  const QMessageBox::StandardButton yes = yesNo ? QMessageBox::Yes : QMessageBox::Ok;
  const QMessageBox::StandardButton no = yesNo ? QMessageBox::No : QMessageBox::Cancel;
  return runBox(parentWindow(), QMessageBox::Question, "Confirm", text, yes | no,
                byDefault == TDefaultAnswer::Yes ? yes : no) == yes;
}

bool QtDialogs::InputQuery(const std::string& caption, const std::string& prompt, std::string& value) {
  QInputDialog input(parentWindow());
  input.setWindowTitle(corvane::ToQString(caption));
  input.setLabelText(corvane::ToQString(prompt));
  input.setTextValue(corvane::ToQString(value));
  if (input.exec() != QDialog::Accepted) return false;
  value = corvane::FromQString(input.textValue());
  return true;
}

bool QtDialogs::ExecuteOpen(TFileDialog& dialog) {
  return runFileDialog(parentWindow(), dialog, QFileDialog::AcceptOpen);
}
bool QtDialogs::ExecuteSave(TFileDialog& dialog) {
  return runFileDialog(parentWindow(), dialog, QFileDialog::AcceptSave);
}

bool QtDialogs::HelpContents(const std::string& helpFile) {
  if (!help_) help_ = std::make_unique<HelpViewer>();
  if (help_->ShowContents(helpFile)) return true;
  ShowMessage(corvane::Format("Cannot open the help file %s", helpFile.c_str()));
  return false;
}

void QtDialogs::HelpMacro(const std::string& /*helpFile*/, const std::string& macro) {
  if (help_) help_->RunMacro(macro);
}

bool QtDialogs::AskAccountAddress(std::string& address, std::string& password) {
  QDialog dialog(parentWindow());
  dialog.setWindowTitle("Set up from address");
  auto* form = new QFormLayout(&dialog);
  form->addRow(
      new QLabel("Corvane looks up the servers of your address. The password is\n"
                 "sent nowhere until you have confirmed what was found."));
  auto* addressField = new QLineEdit(corvane::ToQString(address));
  addressField->setObjectName("setupAddress");
  auto* passwordField = new QLineEdit(corvane::ToQString(password));
  passwordField->setObjectName("setupPassword");
  passwordField->setEchoMode(QLineEdit::Password);
  form->addRow("&E-mail address:", addressField);
  form->addRow("&Password (optional):", passwordField);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  form->addRow(buttons);
  if (dialog.exec() != QDialog::Accepted) return false;
  address = corvane::FromQString(addressField->text().trimmed());
  password = corvane::FromQString(passwordField->text());
  return true;
}

std::unique_ptr<ProgressBox> QtDialogs::ShowProgress(const std::string& caption, const std::string& text,
                                                     std::function<void()> onCancel) {
  return std::make_unique<QtProgress>(parentWindow(), caption, text, std::move(onCancel));
}
