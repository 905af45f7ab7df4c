#pragma once
// The one window of the mail client. Its controls are named after their objectName and
// its handlers after the control and event; each entry from Qt runs through guard(). The
// handlers are thin: the sessions talk to the servers, the stores keep the mail, and the
// window turns clicks into their calls and shows what they report.
#include <QMainWindow>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ComposeLists.h"
#include "Dialogs.h"
#include "LineList.h"
#include "PacedPaint.h"
#include "ReadingPane.h"
#include "ReceiveSession.h"
#include "SendSession.h"
#include "SessionView.h"
#include "SetupFlow.h"
#include "SignInController.h"
#include "WindowControls.h"
#include "Znpop3.h"
#include "Znsmtp.h"

class AutoCheck;
class QCloseEvent;
class InboxStore;
class QueuePane;
class InstanceLock;
class MessageStore;
class OutboxStore;
class AddressBookFile;
class ReportList;
class StoreLoader;

class Tpopform : public QMainWindow,
                 public TpopformControls,
                 private ReceiveView,
                 private SendView,
                 private SignInView {
  Q_OBJECT

 public:
  // executablePath fixes the application folder and the settings file; dialogs answers
  // every box and chooser the window shows.
  Tpopform(const std::string& executablePath, Dialogs& dialogs, QWidget* parent = nullptr);
  ~Tpopform() override;

  // Window state fixed by FormCreate.
  std::string executablePath;
  std::string appFolder;       // the executable's folder, with its trailing "/"
  std::string settingsPath;    // the executable's path with ".ini"
  std::string inboxStorePath;  // appFolder + "mailin.txt"
  Dialogs& dialogs;
  // What each account keeps without a field: a PEM file of extra trusted certificates and
  // the fingerprint of a certificate the user chose to trust.
  std::string inCAFile;
  std::string inCertFingerprint;
  std::string outCAFile;
  std::string outCertFingerprint;
  // How long, in ms, a receive session may go without progress; the account has no field
  // for it.
  int32_t inTimeOut = 60000;

  // Runs one entry from Qt: a failure that leaves action is shown in the error box and
  // never crosses the event loop. Returns false when action failed.
  bool guard(const std::function<void()>& action);
  // The error box text: "." appended when the last character sorts after ".".
  static std::string ErrorBoxText(const std::string& message);
  void showFailure(const std::exception& failure);
  // The one text area of the status bar.
  void setStatus(const std::string& text);
  std::string statusText() const;

  // The window itself: start-up, closing, help and About.
  void FormCreate();
  void FormCloseQuery(bool& CanClose);
  void Exit1Click();
  void Contents1Click();
  void About1Click();
  // Finds both groups' servers from an e-mail address (File menu).
  void SetupFromAddress1Click() {
    if (setup_.Run()) setStatus(SetupFlow::kFilledIn);
  }
  SetupFlow& setupFlow() { return setup_; }

  // Settings file.
  void LoadSettings();
  void insaveClick();
  void saveoutClick();

  // Inbox store and reader.
  void popsaveClick();
  void makepophistClick();
  void pophistlistDblClick();
  void Delete1Click();
  void DeleteAll1Click();
  void FetchWhole1Click();
  void receivedpopupPopup();
  void SaveInMessageAs1Click();
  void mailreplyClick();

  // Outbox store.
  void outsaveClick();
  // A sent message as a new outbox record, written before it returns.
  void recordSent(const OutboxMessage& message);
  void makehistlistClick();
  void sendhistlistDblClick();
  void MenuItem1Click();
  void MenuItem2Click();
  void LoadOutMessage1Click();

  // Address book and the compose lists.
  void addnewaddrClick() { compose::AddBookEntry(selectaddr, addressBook()); }
  void deladdrClick() { compose::DeleteBookEntry(selectaddr, addressBook()); }
  void addmailtoClick() { compose::AddRecipient(selectaddr, mailto); }
  void delmailtoClick() { compose::DeleteRecipient(mailto); }
  void addattClick();
  void delattClick() { compose::DeleteAttachment(outattach); }

  // Receive and send sessions.
  void inconnectClick();
  void indisconnectClick();
  void outconnectClick();
  void outdisconnectClick();
  void gosendClick();
  // The Sign in buttons.
  void inSignInClick() { signIn_->Clicked(AccountSide::Receive, accountFor(AccountSide::Receive)); }
  void outSignInClick() { signIn_->Clicked(AccountSide::Send, accountFor(AccountSide::Send)); }

  // The send queue ("mailqueue.txt", queuelist): Send later, and the list's pop-up (Edit
  // is also the double click).
  void SendLater1Click();
  void queuelistDblClick();
  void QueueResend1Click();
  void QueueDelete1Click();
  void loadQueue();
  QueuePane& queuePane();
  std::unique_ptr<QueuePane> queue_;
  compose::Draft draft_;

  // Start-up takes the application folder for this run; false (after a box saying so)
  // when another running Corvane has it. Such a window loads nothing, writes nothing and
  // stays disabled; the program main then ends.
  bool lockFolder();
  bool Refused() const { return refused_; }
  std::unique_ptr<InstanceLock> instanceLock_;

  // Store hooks of start-up: the inbox store with its list (FormCreate), the address
  // book and the outbox store with its list (LoadSettings).
  void loadInboxStore();
  void loadAddressBook();
  void loadOutboxStore();
  // The stores behind pophistlist and sendhistlist ("mailin.txt", "mailout.txt") and the
  // address book ("mailbook.txt").
  InboxStore& inboxStore();
  OutboxStore& outboxStore();
  AddressBookFile& addressBook();
  std::shared_ptr<InboxStore> inboxStore_;
  std::shared_ptr<OutboxStore> outboxStore_;
  std::shared_ptr<AddressBookFile> addressBook_;
  // Reads large stores while the window stays live; gone before the stores it reads.
  std::unique_ptr<StoreLoader> storeLoader_;

  // Mail component hooks: created and bound before FormCreate, aborted on closing.
  void createMailComponents();
  void abortMailComponents();

  // Secrets in the keyring, else in kSecretsFile beside the program; the sign-ins.
  static constexpr const char* kSecretsFile = "mailsecrets.txt";
  std::unique_ptr<corvane::auth::SecretStore> secrets_;
  std::unique_ptr<SignInController> signIn_;

  // Runs a receive session by itself every inCheckMinutes while the window is open.
  std::unique_ptr<AutoCheck> autoCheck_;

  // The mail components, with their design-time values and every event bound.
  std::unique_ptr<TZnPOP3> ZnPOP31;
  std::unique_ptr<TZnSMTP> ZnSMTP1;

  // Events of ZnPOP31 and ZnSMTP1, each handed to its session.
  void ZnPOP31Disconnect(TObject* /*Sender*/) { receive_->Disconnected(); }
  void ZnPOP31Connect(TObject* /*Sender*/) { receive_->Connected(); }
  void ZnPOP31InvalidHost(bool& Handled) { receive_->InvalidHost(Handled); }
  void ZnPOP31HostResolved(TObject* /*Sender*/) { receive_->HostResolved(); }
  void ZnPOP31Status(TObject* /*Sender*/, const std::string& Status) { receive_->StatusChanged(Status); }
  void ZnPOP31ConnectionFailed(TObject* /*Sender*/) { receive_->ConnectionFailed(); }
  void ZnPOP31ConnectionRequired(bool& Handled) { receive_->ConnectionRequired(Handled); }
  void ZnPOP31RetrieveStart(TObject* /*Sender*/) { receive_->RetrieveStarted(); }
  void ZnPOP31RetrieveEnd(TObject* /*Sender*/) { receive_->RetrieveEnded(); }
  void ZnPOP31Success(TObject* /*Sender*/) { receive_->Succeeded(); }
  void ZnPOP31Failure(TObject* /*Sender*/) { receive_->Failed(); }

  void ZnSMTP1Disconnect(TObject* /*Sender*/) { send_->Disconnected(); }
  void ZnSMTP1Connect(TObject* Sender);
  void ZnSMTP1InvalidHost(bool& Handled) { send_->InvalidHost(Handled); }
  void ZnSMTP1HostResolved(TObject* /*Sender*/) { send_->HostResolved(); }
  void ZnSMTP1Status(TObject* /*Sender*/, const std::string& Status) { send_->StatusChanged(Status); }
  void ZnSMTP1ConnectionFailed(TObject* /*Sender*/) { send_->ConnectionFailed(); }
  void ZnSMTP1PacketSent(TObject* /*Sender*/) { send_->PacketSent(); }
  void ZnSMTP1ConnectionRequired(bool& Handled) { send_->ConnectionRequired(Handled); }
  void ZnSMTP1RecipientNotFound(const std::string& Recipient) { send_->RecipientNotFound(Recipient); }
  void ZnSMTP1RecipientDeferred(const std::string& Recipient) { send_->RecipientDeferred(Recipient); }
  void ZnSMTP1HeaderIncomplete(bool& /*Handled*/, int /*hiType*/) { send_->HeaderIncomplete(); }
  void ZnSMTP1SendStart(TObject* /*Sender*/) { send_->SendStarted(); }
  void ZnSMTP1Success(TObject* /*Sender*/) { send_->Succeeded(); }
  void ZnSMTP1Failure(TObject* /*Sender*/) { send_->Failed(); }
  void ZnSMTP1EncodeStart(const std::string& Filename) { send_->EncodeStarted(Filename); }
  void ZnSMTP1EncodeEnd(const std::string& Filename) { send_->EncodeEnded(Filename); }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // What the sessions report.
  void Status(const std::string& text) override;
  void ShowFailure(const std::exception& failure) override { showFailure(failure); }
  Dialogs& Ask() override { return dialogs; }
  void Busy(bool busy) override { ShowBusy(busy); }
  void ShowInbox() override;
  void Receiving(bool receiving) override;
  void Stored() override;
  void ShowReceived(const InboxMessage& shown, size_t bodyLines, int row) override;
  void UniqueIds(bool available) override { ShowUniqueIds(available); }
  void ShowSignedIn(AccountSide side, const std::string& account) override { ShowSignInAccount(side, account); }

  void wireHandlers();
  // One path for both accounts: the settings of a side written from its group, and the
  // click on its connect button.
  void saveAccount(AccountSide side);
  Account accountFor(AccountSide side) const;
  // The account to connect with: an OAuth 2.0 one signed in, with its token.
  Account signedIn(AccountSide side);
  std::function<void(const std::string&)> pinFor(AccountSide side);
  // Loads a store file into its list at start-up; a damaged file is reported after the
  // list shows what could be read.
  void loadStore(ReportList* list, const std::shared_ptr<MessageStore>& store);
  ReadingPane pane_{*this};
  SetupFlow setup_{*this, dialogs};

  std::unique_ptr<ReceiveSession> receive_;
  std::unique_ptr<SendSession> send_;
  std::optional<PacedPaint> statusPacing_;  // while a session stores many messages
  bool refused_ = false;                    // another running Corvane has the application folder
};
