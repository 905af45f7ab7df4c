#pragma once
// The window on the offscreen platform with scripted dialogs, in a fresh application
// folder, driven through its widgets as a user would; helpers shared by the session tests.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <memory>
#include <string>
#include <vector>

#include "ListRows.h"
#include "QtText.h"
#include "ScriptedDialogs.h"
#include "Streams.h"
#include "corvane.h"

namespace session {

inline std::string ReadBytes(const std::string& path) {
  TMemoryStream stream;
  stream.LoadFromFile(path);
  return stream.Data();
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  TMemoryStream stream;
  stream.SetData(bytes);
  stream.SaveToFile(path);
}

inline std::string TestData(const std::string& name) {
  return ReadBytes(CORVANE_TEST_DATA "/integration/" + name);
}

inline std::vector<std::string> Rows(const QAbstractItemView* list, int column) {
  return listrows::Column(list, column);
}

class Window {
 public:
  Window() { EXPECT_TRUE(dir_.isValid()); }
  ~Window() { Close(); }

  // The application folder, with its trailing separator.
  std::string Folder() const { return dir_.path().toStdString() + "/"; }

  Tpopform& Open() {
    // One program at a time on a folder: the old window goes before the new one starts.
    form_.reset();
    form_ = std::make_unique<Tpopform>(Folder() + "corvane", dialogs);
    form_->show();
    return *form_;
  }
  Tpopform& operator*() { return *form_; }
  Tpopform* operator->() { return form_.get(); }
  // Closes and destroys the window as quitting the program would.
  void Close() {
    if (!form_) return;
    form_->close();
    form_.reset();
  }

  void ReceiveAccount(const std::string& host, uint16_t port, const std::string& user, const std::string& password) {
    corvane::SetText(form_->inHost, host);
    corvane::SetText(form_->inPort, std::to_string(port));
    corvane::SetText(form_->inUserID, user);
    corvane::SetText(form_->inPassword, password);
  }
  void SendAccount(uint16_t port) {
    corvane::SetText(form_->outhost, "127.0.0.1");
    corvane::SetText(form_->outport, std::to_string(port));
    corvane::SetText(form_->outuserid, "tester");
    corvane::SetText(form_->localname, "Tess Ter");
    corvane::SetText(form_->localemail, "tess@example.org");
  }

  // Clicks a button on the page that holds it, after showing that page as a user would.
  void Click(QToolButton* button, QWidget* page) {
    form_->mailbinder->setCurrentWidget(page);
    QTest::mouseClick(button, Qt::LeftButton);
  }
  void Connect() { Click(form_->inconnect, form_->TabSheet1); }
  // Writes a short message to alice@example.org and clicks the paper plane.
  void SendOne(const std::string& subject) {
    corvane::SetText(form_->outsubject, subject);
    corvane::SetMemoLines(form_->outbody, {"Hello"});
    corvane::SetItems(form_->mailto, {"alice@example.org"});
    Click(form_->gosend, form_->TabSheet4);
  }
  // The first error box shown, or "(none)".
  std::string FirstError() const {
    const std::vector<std::string> errors = dialogs.errors();
    return errors.empty() ? "(none)" : errors.front();
  }
  void Disconnect() { Click(form_->indisconnect, form_->TabSheet1); }

  ScriptedDialogs dialogs;

 private:
  QTemporaryDir dir_;
  std::unique_ptr<Tpopform> form_;
};

}  // namespace session
