#include "corvane.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>

#include "AddressBook.h"
#include "AutoCheck.h"
#include "Exceptions.h"
#include "InboxStore.h"
#include "IniFile.h"
#include "InstanceLock.h"
#include "OutboxStore.h"
#include "QtText.h"
#include "QueuePane.h"
#include "ReceiveSession.h"
#include "ReportList.h"
#include "SeenIds.h"
#include "SendSession.h"
#include "StoreLoader.h"
#include "SysUtils.h"
#include "ZnSock.h"

namespace {
constexpr int kInboxPage = 1;
}  // namespace

Tpopform::Tpopform(const std::string& executablePath, Dialogs& dialogs, QWidget* parent)
    : QMainWindow(parent), executablePath(executablePath), dialogs(dialogs) {
  BuildControls(this);
  storeLoader_ = std::make_unique<StoreLoader>(storeprogress);
  wireHandlers();
  // A failure out of a component's time-out tick reaches no handler: show it like one.
  TThreadTimer::ApplicationExceptionHandler = [this](const std::exception& failure) { showFailure(failure); };
  guard([this] { createMailComponents(); });
  guard([this] { FormCreate(); });
}

Tpopform::~Tpopform() {
  TThreadTimer::ApplicationExceptionHandler = nullptr;
  // The lists outlive the stores they show.
  for (ReportList* list : {pophistlist, sendhistlist}) list->Rows()->Show(nullptr);
}

bool Tpopform::guard(const std::function<void()>& action) {
  try {
    action();
    return true;
  } catch (const std::exception& failure) {
    showFailure(failure);
  } catch (...) {
    showFailure(std::runtime_error("Unknown failure"));
  }
  return false;
}

std::string Tpopform::ErrorBoxText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
  return message;
}

void Tpopform::showFailure(const std::exception& failure) {
  // The box itself must not let a second failure out into the event loop.
  try {
    const auto* own = dynamic_cast<const Exception*>(&failure);
    dialogs.ShowError(ErrorBoxText(own ? own->Message() : std::string(failure.what())));
  } catch (...) {
  }
}

void Tpopform::setStatus(const std::string& text) {
  if (auto* area = StatusBar1->findChild<QLabel*>("StatusText")) area->setText(corvane::ToQString(text));
}

std::string Tpopform::statusText() const {
  const auto* area = StatusBar1->findChild<QLabel*>("StatusText");
  return area ? corvane::FromQString(area->text()) : std::string();
}

void Tpopform::wireHandlers() {
  const auto bind = [this](auto* sender, auto signal, void (Tpopform::*handler)()) {
    connect(sender, signal, this, [this, handler] { guard([this, handler] { (this->*handler)(); }); });
  };
  const auto onClick = [&bind](QToolButton* button, void (Tpopform::*handler)()) {
    bind(button, &QToolButton::clicked, handler);
  };
  const auto onTrigger = [&bind](QAction* action, void (Tpopform::*handler)()) {
    bind(action, &QAction::triggered, handler);
  };
  const auto onList = [this, &bind](QAbstractItemView* list, void (Tpopform::*handler)(), QMenu* menu) {
    bind(list, &QAbstractItemView::doubleClicked, handler);
    connect(list, &QWidget::customContextMenuRequested, this,
            [list, menu](const QPoint& at) { menu->popup(list->viewport()->mapToGlobal(at)); });
  };

  onTrigger(SaveInMessageAs1, &Tpopform::SaveInMessageAs1Click);
  onTrigger(LoadOutMessage1, &Tpopform::LoadOutMessage1Click);
  onTrigger(SetupFromAddress1, &Tpopform::SetupFromAddress1Click);
  onTrigger(Exit1, &Tpopform::Exit1Click);
  onTrigger(Contents1, &Tpopform::Contents1Click);
  onTrigger(About1, &Tpopform::About1Click);
  onTrigger(Delete1, &Tpopform::Delete1Click);
  onTrigger(DeleteAll1, &Tpopform::DeleteAll1Click);
  onTrigger(FetchWhole1, &Tpopform::FetchWhole1Click);
  bind(receivedpopup, &QMenu::aboutToShow, &Tpopform::receivedpopupPopup);
  onTrigger(MenuItem1, &Tpopform::MenuItem1Click);
  onTrigger(MenuItem2, &Tpopform::MenuItem2Click);
  onTrigger(SendLater1, &Tpopform::SendLater1Click);
  onTrigger(QueueEdit1, &Tpopform::queuelistDblClick);
  onTrigger(QueueResend1, &Tpopform::QueueResend1Click);
  onTrigger(QueueDelete1, &Tpopform::QueueDelete1Click);

  onClick(inconnect, &Tpopform::inconnectClick);
  onClick(indisconnect, &Tpopform::indisconnectClick);
  onClick(outconnect, &Tpopform::outconnectClick);
  onClick(outdisconnect, &Tpopform::outdisconnectClick);
  onClick(mailreply, &Tpopform::mailreplyClick);
  onClick(addnewaddr, &Tpopform::addnewaddrClick);
  onClick(deladdr, &Tpopform::deladdrClick);
  onClick(addmailto, &Tpopform::addmailtoClick);
  onClick(delmailto, &Tpopform::delmailtoClick);
  onClick(addatt, &Tpopform::addattClick);
  onClick(delatt, &Tpopform::delattClick);
  onClick(gosend, &Tpopform::gosendClick);
  bind(inSignIn, &QPushButton::clicked, &Tpopform::inSignInClick);
  bind(outSignIn, &QPushButton::clicked, &Tpopform::outSignInClick);

  onList(pophistlist, &Tpopform::pophistlistDblClick, receivedpopup);
  onList(sendhistlist, &Tpopform::sendhistlistDblClick, sendpopup);
  onList(queuelist, &Tpopform::queuelistDblClick, queuepopup);
  connect(gosend, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { writepopup->popup(gosend->mapToGlobal(at)); });
  // The body keeps its own menu, with Send later at its end.
  connect(outbody, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    QMenu* menu = outbody->createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator();
    menu->addAction(SendLater1);
    menu->popup(outbody->mapToGlobal(at));
  });
}

void Tpopform::closeEvent(QCloseEvent* event) {
  bool CanClose = true;
  // A failure while closing is shown, but never keeps the user from leaving.
  guard([this, &CanClose] { FormCloseQuery(CanClose); });
  if (CanClose)
    event->accept();
  else
    event->ignore();
}

void Tpopform::FormCreate() {
  appFolder = corvane::ExtractFilePath(executablePath);
  settingsPath = corvane::ChangeFileExt(executablePath, ".ini");
  inboxStorePath = appFolder + "mailin.txt";
  if (!lockFolder()) return;
  // A received file must not take the name of one of the program's own files here, or the
  // program would load it at its next start as its settings or its address book.
  std::vector<std::string> reserved = MessageStore::FileNames({"mailin.txt", "mailout.txt", QueueStore::kFileName});
  reserved.insert(reserved.end(),
                  {corvane::ExtractFileName(executablePath), corvane::ExtractFileName(settingsPath), "mailin.mbox",
                   SeenIds::kFileName, "mailbook.txt", "Corvane.hlp", InstanceLock::FileName, kSecretsFile});
  receive_->SetFolder(appFolder, std::move(reserved));
  // A damaged inbox store must not keep the accounts, the address book and the outbox
  // store from loading: each part reports its own failure.
  guard([this] { loadInboxStore(); });
  LoadSettings();
  // After the outbox: a message sent just before a crash may still need its outbox record.
  guard([this] { loadQueue(); });
}

void Tpopform::FormCloseQuery(bool& CanClose) {
  signIn_->Cancel();
  setup_.Cancel();
  abortMailComponents();
  CanClose = true;
}

void Tpopform::Exit1Click() {
  close();
}

void Tpopform::Contents1Click() {
  const std::string helpFile = appFolder + "Corvane.hlp";
  if (dialogs.HelpContents(helpFile)) dialogs.HelpMacro(helpFile, corvane::Format("JumpID(\"\",\"%s\")", "Corvane"));
}

void Tpopform::About1Click() {
  dialogs.ShowMessage(corvane::Format(
      "Corvane 2\nA mail client for one POP3 mailbox and one SMTP server.\n\nContact: %s", kContactAddress));
}

void Tpopform::LoadSettings() {
  // An unreadable settings file or a damaged address book is reported, and the stores
  // after it still load.
  // A first start suggests finding the servers from the address.
  if (!corvane::FileExists(settingsPath)) setStatus(SetupFlow::kFirstStartHint);
  guard([this] {
    const IniFile ini(settingsPath);
    keyringcheck->setChecked(ReadKeyringChoice(ini));
    for (const AccountSide side : {AccountSide::Receive, AccountSide::Send}) {
      Account account = ReadAccount(ini, side);
      if (keyringcheck->isChecked()) signIn_->FetchPasswords(side, account);
      signIn_->Keep(side, account);
      ShowAccount(side, account);
      (side == AccountSide::Receive ? inCAFile : outCAFile) = account.caFile;
      (side == AccountSide::Receive ? inCertFingerprint : outCertFingerprint) = account.certFingerprint;
    }
  });
  guard([this] { loadAddressBook(); });
  guard([this] { loadOutboxStore(); });
}

void Tpopform::insaveClick() {
  saveAccount(AccountSide::Receive);
}

void Tpopform::saveoutClick() {
  saveAccount(AccountSide::Send);
}

Account Tpopform::accountFor(AccountSide side) const {
  Account account = AccountIn(side);
  account.caFile = side == AccountSide::Receive ? inCAFile : outCAFile;
  account.certFingerprint = side == AccountSide::Receive ? inCertFingerprint : outCertFingerprint;
  signIn_->Complete(side, account);
  return account;
}

void Tpopform::saveAccount(AccountSide side) {
  IniFile ini(settingsPath);
  const bool keyring = keyringcheck->isChecked();
  WriteAccount(ini, side, keyring ? signIn_->StorePasswords(side, accountFor(side)) : accountFor(side));
  if (side == AccountSide::Receive) WriteKeyringChoice(ini, keyring);
}

// The fingerprint of a certificate the user chose to trust is kept for the account, and
// written at once when the account is saved on connect.
std::function<void(const std::string&)> Tpopform::pinFor(AccountSide side) {
  return [this, side](const std::string& fingerprint) {
    (side == AccountSide::Receive ? inCertFingerprint : outCertFingerprint) = fingerprint;
    if (FieldsOf(side).save->isChecked())
      IniFile(settingsPath).WriteString(SectionOf(side), "CertFingerprint", fingerprint);
  };
}

// ---- what the sessions report --------------------------------------------------------

void Tpopform::Status(const std::string& text) {
  if (StatusBar1) setStatus(text);
}

void Tpopform::ShowInbox() {
  mailbinder->setCurrentIndex(kInboxPage);
}

// The list shows its new rows, and the status bar its latest text, a few times a second
// while many messages come in.
void Tpopform::Receiving(bool receiving) {
  pophistlist->SetPaced(receiving);
  if (receiving)
    statusPacing_.emplace(StatusBar1);
  else
    statusPacing_.reset();
}
