#include "WindowAccess.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>

#include "WindowControls.h"

namespace {

std::vector<AccessRow> receiveGroup(const TpopformControls& c) {
  return {
      {c.inHost, "Receive host", "Name or address of the POP3 server"},
      {c.inPort, "Receive port", "POP3 server port: 110, or 995 with SSL/TLS"},
      {c.inUserID, "Receive user ID", "User name of the mailbox on the POP3 server"},
      {c.inPassword, "Receive password", nullptr},
      {c.inSecurity, "Receive security", "How the connection to the POP3 server is secured"},
      {c.insavecheck, "Save receive settings", "Save the Receive group's settings when connecting"},
      {c.inconnect, "Connect to the POP3 server", "Connects and retrieves the new messages into the inbox"},
      {c.indisconnect, "Disconnect from the POP3 server", nullptr},
      {c.inLogin, "Receive sign-in method", "The password, or OAuth 2.0 with a provider"},
      {c.inSignIn, nullptr, nullptr},
      {c.inAllowPlainLogin, nullptr, nullptr},
      {c.inOnServer, "What stays on the server",
       "Delete each message once stored, keep it, keep it for some days, or delete it when deleted here"},
      {c.inKeepDays, "Keep for days", nullptr},
      {c.inLargeKB, "Headers only over size",
       "Messages larger than this come as their header only until fetched whole; Off fetches all whole"},
      {c.inCheckMinutes, "Check for mail every",
       "Minutes between checks for new mail while the window is open; Off checks only on Connect"},
  };
}

std::vector<AccessRow> sendGroup(const TpopformControls& c) {
  return {
      {c.outhost, "Send host", "Name or address of the SMTP server"},
      {c.outport, "Send port", "SMTP server port: 25, or 465 with SSL/TLS"},
      {c.outuserid, "Send user ID", "User ID of the SMTP account"},
      {c.localname, "Your name", "The sender's name on the messages you send"},
      {c.localemail, "Your e-mail address", "The sender's address on the messages you send"},
      {c.outsavecheck, "Save send settings", "Save the Send group's settings when connecting"},
      {c.outconnect, "Connect to the SMTP server", nullptr},
      {c.outdisconnect, "Disconnect from the SMTP server", nullptr},
      {c.outSecurity, "Send security", "How the connection to the SMTP server is secured"},
      {c.outAuthUser, "Send login name", "User name for the SMTP server's login"},
      {c.outAuthPassword, "Send login password", nullptr},
      {c.outLogin, "Send sign-in method", "The password, or OAuth 2.0 with a provider"},
      {c.outSignIn, nullptr, nullptr},
      {c.outAllowPlainLogin, nullptr, nullptr},
  };
}

std::vector<AccessRow> connectPage(const TpopformControls& c) {
  std::vector<AccessRow> rows = receiveGroup(c);
  const std::vector<AccessRow> send = sendGroup(c);
  rows.insert(rows.end(), send.begin(), send.end());
  rows.push_back({c.keyringcheck, nullptr, nullptr});
  return rows;
}

std::vector<AccessRow> inboxPage(const TpopformControls& c) {
  return {
      {c.popmsgbody, "Message body", "Body of the selected received message"},
      {c.popatt, "Attachments", "Files attached to the selected message, stored beside the program"},
      {c.mailreply, "Reply to the message", "Writes a reply to the selected message"},
      {c.pophistlist, "Inbox", "Received messages, one row each"},
  };
}

std::vector<AccessRow> writeMailPage(const TpopformControls& c) {
  return {
      {c.mailto, "To", "Recipients of the message"},
      {c.addmailto, "Add recipient", "Adds the address book's selected address to the recipients"},
      {c.delmailto, "Remove recipient", "Removes the selected recipient"},
      {c.outattach, "Attachments", "Files sent with the message"},
      {c.addatt, "Add attachment", "Chooses a file to send with the message"},
      {c.delatt, "Remove attachment", "Removes the selected file from the attachments"},
      {c.outsubject, "Subject", nullptr},
      {c.gosend, "Send the message", nullptr},
      {c.selectaddr, "Address book", "Entries are a name, \"=\" and an e-mail address"},
      {c.addnewaddr, "Add new address", "Adds an entry to the address book"},
      {c.deladdr, "Delete selected address", "Deletes the selected entry from the address book"},
      {c.outbody, "Message body", "Text of the message to send"},
      {c.sendhistlist, "Sent messages", "Messages sent, one row each"},
      {c.queuelist, "Send queue", "Messages waiting to be sent"},
  };
}

// The Connect page's two groups share most captions; the letters keep the Receive
// group's fields on the letters people guess first.
std::vector<MnemonicRow> connectMnemonics(const TpopformControls& c) {
  return {
      {c.Label4, 't', c.inHost},
      {c.Label5, 'o', c.inPort},
      {c.Label10, 'u', c.inUserID},
      {c.Label11, 'w', c.inPassword},
      {c.inSecurityLabel, 'y', c.inSecurity},
      {c.inLoginLabel, 'g', c.inLogin},
      {c.insavecheck, 'e', nullptr},
      {c.inAllowPlainLogin, 'x', nullptr},
      {c.inOnServerLabel, 'b', c.inOnServer},
      {c.inLargeKBLabel, 'z', c.inLargeKB},
      {c.inCheckMinutesLabel, 'q', c.inCheckMinutes},
      {c.Label12, 's', c.outhost},
      {c.Label13, 'r', c.outport},
      {c.Label14, 'd', c.outuserid},
      {c.Label15, 'n', c.localname},
      {c.Label16, 'm', c.localemail},
      {c.outSecurityLabel, 'c', c.outSecurity},
      {c.outAuthUserLabel, 'l', c.outAuthUser},
      {c.outAuthPasswordLabel, 'p', c.outAuthPassword},
      {c.outLoginLabel, 'i', c.outLogin},
      {c.outsavecheck, 'v', nullptr},
      {c.outAllowPlainLogin, 'a', nullptr},
      {c.keyringcheck, 'k', nullptr},
  };
}

void markMnemonic(const MnemonicRow& row) {
  const auto mark = [&](QString text) {
    const qsizetype at = text.indexOf(QChar(row.letter), 0, Qt::CaseInsensitive);
    if (at >= 0 && !text.contains('&')) text.insert(at, '&');
    return text;
  };
  if (auto* label = qobject_cast<QLabel*>(row.caption)) {
    label->setText(mark(label->text()));
    label->setBuddy(row.buddy);
    // The underlined letter is drawn apart from its neighbours, without their kerning
    // ("To" grows by the pair's), while the size hint still measures the kerned text.
    const QString plain = label->text().remove('&');
    int apart = 0;
    for (const QChar letter : plain) apart += label->fontMetrics().horizontalAdvance(letter);
    const int grown = apart - label->fontMetrics().horizontalAdvance(plain);
    if (grown > 0) label->resize(label->width() + grown, label->height());
  } else if (auto* button = qobject_cast<QAbstractButton*>(row.caption)) {
    button->setText(mark(button->text()));
  }
}

void applyRow(const AccessRow& row) {
  if (row.name) row.widget->setAccessibleName(row.name);
  if (row.description) row.widget->setAccessibleDescription(row.description);
  // The text field of an editable box takes the focus itself: a screen reader speaks its
  // name, not the box's, and Qt names a box after its current text.
  if (auto* box = qobject_cast<QComboBox*>(row.widget); box && box->lineEdit())
    box->lineEdit()->setAccessibleName(row.name ? QString(row.name) : box->accessibleName());
  if (auto* glyph = qobject_cast<QToolButton*>(row.widget)) {
    // Tab reaches the button; a click still leaves the focus where the user was typing.
    glyph->setFocusPolicy(Qt::TabFocus);
  }
}

}  // namespace

std::vector<MnemonicRow> MnemonicRows(const TpopformControls& c, WindowPage page) {
  switch (page) {
    case WindowPage::Connect:
      return connectMnemonics(c);
    case WindowPage::Inbox:
      return {{c.Label1, 'a', c.popatt}};
    case WindowPage::WriteMail:
      break;
  }
  return {{c.Label7, 'a', c.selectaddr},
          {c.LBLTO, 't', c.mailto},
          {c.Label20, 'c', c.outattach},
          {c.Label22, 's', c.outsubject}};
}

std::vector<AccessRow> AccessRows(const TpopformControls& controls, WindowPage page) {
  switch (page) {
    case WindowPage::Connect:
      return connectPage(controls);
    case WindowPage::Inbox:
      return inboxPage(controls);
    case WindowPage::WriteMail:
      break;
  }
  return writeMailPage(controls);
}

void ApplyWindowAccess(TpopformControls& controls) {
  // The header memo lies under the list, which covers it: a focus there could not be seen.
  controls.popmsgheader->setFocusPolicy(Qt::NoFocus);
  // The pages' holder passes its focus on to the tabs but still counts as focusable.
  controls.mailbinder->setAccessibleName("Pages");
  for (const WindowPage page : {WindowPage::Connect, WindowPage::Inbox, WindowPage::WriteMail}) {
    const std::vector<AccessRow> rows = AccessRows(controls, page);
    for (const MnemonicRow& row : MnemonicRows(controls, page)) markMnemonic(row);
    for (size_t i = 0; i < rows.size(); ++i) {
      applyRow(rows[i]);
      if (i > 0) QWidget::setTabOrder(rows[i - 1].widget, rows[i].widget);
    }
  }
}
