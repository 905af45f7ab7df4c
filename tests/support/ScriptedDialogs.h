#pragma once
// Dialogs for window tests: every box, question, chooser and help call is recorded in
// order, and answered from a queue of replies; with the queue empty the default answer
// (Cancel/No, nothing chosen, help shown) is given and recorded as such.
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Dialogs.h"

class ScriptedDialogs : public Dialogs {
 public:
  enum class Kind { Message, Error, Confirm, Input, Open, Save, HelpContents, HelpMacro, AccountAddress, Progress };

  struct Shown {
    Kind kind;
    std::string text;     // message, question, input prompt, help file or macro
    std::string caption;  // input box caption, or the dialog's filter for file choosers
    bool answer = false;  // the reply given: OK/Yes, a file chosen, help shown
    std::string value;    // the text entered or the file chosen
    bool byDefault = false;
    bool defaultNo = false;  // a question whose default button is Cancel or No
  };

  struct Reply {
    bool ok = true;
    std::string value;
  };

  // Replies are taken in order by Confirm, InputQuery, ExecuteOpen, ExecuteSave,
  // HelpContents and AskAccountAddress (value "address\npassword"); messages, errors and
  // progress texts take none.
  void queue(bool ok, std::string value = {}) { replies.push_back({ok, std::move(value)}); }

  std::vector<Shown> shown;
  std::deque<Reply> replies;
  // Asked with each progress text (caption first); true presses the box's Cancel button.
  std::function<bool(const std::string& text)> cancelProgressWhen;

  // The texts shown of one kind, in order.
  std::vector<std::string> texts(Kind kind) const {
    std::vector<std::string> out;
    for (const Shown& entry : shown)
      if (entry.kind == kind) out.push_back(entry.text);
    return out;
  }
  std::vector<std::string> errors() const { return texts(Kind::Error); }
  std::vector<std::string> messages() const { return texts(Kind::Message); }

  void ShowMessage(const std::string& text) override { shown.push_back({Kind::Message, text, {}, true, {}, false}); }
  void ShowError(const std::string& text) override { shown.push_back({Kind::Error, text, {}, true, {}, false}); }

  bool Confirm(const std::string& text, TConfirmButtons buttons,
               TDefaultAnswer byDefault = TDefaultAnswer::Yes) override {
    const bool ok = answer(Kind::Confirm, text, buttons == TConfirmButtons::YesNo ? "YesNo" : "OkCancel", false).ok;
    shown.back().defaultNo = byDefault == TDefaultAnswer::No;
    return ok;
  }

  bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) override {
    const Reply reply = answer(Kind::Input, prompt, caption, false);
    if (reply.ok) value = reply.value;
    return reply.ok;
  }

  bool ExecuteOpen(TFileDialog& dialog) override { return choose(Kind::Open, dialog); }
  bool ExecuteSave(TFileDialog& dialog) override { return choose(Kind::Save, dialog); }

  bool HelpContents(const std::string& helpFile) override { return answer(Kind::HelpContents, helpFile, {}, true).ok; }
  void HelpMacro(const std::string& /*helpFile*/, const std::string& macro) override {
    shown.push_back({Kind::HelpMacro, macro, {}, true, {}, false});
  }

  bool AskAccountAddress(std::string& address, std::string& password) override {
    const Reply reply = answer(Kind::AccountAddress, address, "Set up from address", false);
    if (!reply.ok) return false;
    const size_t newline = reply.value.find('\n');
    address = reply.value.substr(0, newline);
    password = newline == std::string::npos ? std::string() : reply.value.substr(newline + 1);
    return true;
  }

  std::unique_ptr<ProgressBox> ShowProgress(const std::string& caption, const std::string& text,
                                            std::function<void()> onCancel) override {
    auto box = std::make_unique<Box>(*this, std::move(onCancel));
    shown.push_back({Kind::Progress, caption, caption, true, {}, false});
    box->SetText(text);
    return box;
  }

 private:
  class Box : public ProgressBox {
   public:
    Box(ScriptedDialogs& owner, std::function<void()> onCancel) : owner_(owner), onCancel_(std::move(onCancel)) {}
    void SetText(const std::string& text) override {
      owner_.shown.push_back({Kind::Progress, text, {}, true, {}, false});
      if (onCancel_ && owner_.cancelProgressWhen && owner_.cancelProgressWhen(text)) onCancel_();
    }

   private:
    ScriptedDialogs& owner_;
    std::function<void()> onCancel_;
  };

  Reply answer(Kind kind, const std::string& text, const std::string& caption, bool defaultOk) {
    Reply reply{defaultOk, {}};
    const bool byDefault = replies.empty();
    if (!byDefault) {
      reply = replies.front();
      replies.pop_front();
    }
    shown.push_back({kind, text, caption, reply.ok, reply.value, byDefault});
    return reply;
  }

  bool choose(Kind kind, TFileDialog& dialog) {
    const Reply reply = answer(kind, dialog.DefaultExt, dialog.Filter, false);
    if (reply.ok) dialog.FileName = reply.value;
    return reply.ok;
  }
};
