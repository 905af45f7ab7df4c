#pragma once
// Every box, question and file chooser the window shows goes through this seam, so the
// window can run against real Qt dialogs or against scripted answers. All texts are bytes
// (the program's 8-bit strings); the Qt side converts them losslessly.
#include <QPointer>
#include <functional>
#include <memory>
#include <string>

class QWidget;
class HelpViewer;

// The design-time settings of a file dialog and the file it returned.
struct TFileDialog {
  std::string Filter;      // "Description|pattern|Description|pattern ..."
  std::string DefaultExt;  // added when the chosen name has no extension
  std::string FileName;    // the chosen file after a successful Execute
};

enum class TConfirmButtons { OkCancel, YesNo };
// The button Enter presses. A question whose Yes deletes or trusts something defaults to
// No, so a hurried Enter loses nothing and trusts nobody.
enum class TDefaultAnswer { Yes, No };

// A progress box with a Cancel button, shown while it lives.
class ProgressBox {
 public:
  virtual ~ProgressBox() = default;
  virtual void SetText(const std::string& text) = 0;
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;

  // Plain message box: caption "Corvane", one OK button.
  virtual void ShowMessage(const std::string& text) = 0;
  // Error box: caption "Corvane", error icon, one OK button. The text arrives finished.
  virtual void ShowError(const std::string& text) = 0;
  // Confirmation box: caption "Confirm", question icon; true for OK or Yes. byDefault
  // chooses the default button: OK or Yes, or Cancel or No.
  virtual bool Confirm(const std::string& text, TConfirmButtons buttons,
                       TDefaultAnswer byDefault = TDefaultAnswer::Yes) = 0;
  // Input box with caption, prompt and an entry field holding value; true for OK, and
  // value then holds the text entered.
  virtual bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) = 0;
  // File dialogs; true when a file was chosen, which is then in dialog.FileName.
  virtual bool ExecuteOpen(TFileDialog& dialog) = 0;
  virtual bool ExecuteSave(TFileDialog& dialog) = 0;
  // Help viewer: show the contents of a help file (false when that failed), then run a
  // macro such as JumpID("","topic") in it.
  virtual bool HelpContents(const std::string& helpFile) = 0;
  virtual void HelpMacro(const std::string& helpFile, const std::string& macro) = 0;

  // Asks for an e-mail address and, optionally, its password; true for OK. Without an
  // answer of its own the request is cancelled.
  virtual bool AskAccountAddress(std::string& /*address*/, std::string& /*password*/) { return false; }
  // Shows a progress box while the returned object lives; onCancel runs when the user
  // presses its Cancel button. Without a box of its own nothing is shown.
  virtual std::unique_ptr<ProgressBox> ShowProgress(const std::string& caption, const std::string& text,
                                                    std::function<void()> onCancel);
};

// The real dialogs, centred on their owner window (or on the active window until the owner
// is set).
class QtDialogs : public Dialogs {
 public:
  QtDialogs();
  ~QtDialogs() override;

  void SetOwner(QWidget* owner);

  void ShowMessage(const std::string& text) override;
  void ShowError(const std::string& text) override;
  bool Confirm(const std::string& text, TConfirmButtons buttons,
               TDefaultAnswer byDefault = TDefaultAnswer::Yes) override;
  bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) override;
  bool ExecuteOpen(TFileDialog& dialog) override;
  bool ExecuteSave(TFileDialog& dialog) override;
  bool HelpContents(const std::string& helpFile) override;
  void HelpMacro(const std::string& helpFile, const std::string& macro) override;
  bool AskAccountAddress(std::string& address, std::string& password) override;
  std::unique_ptr<ProgressBox> ShowProgress(const std::string& caption, const std::string& text,
                                            std::function<void()> onCancel) override;

 private:
  QWidget* parentWindow() const;

  std::unique_ptr<HelpViewer> help_;
  QPointer<QWidget> owner_;
};
