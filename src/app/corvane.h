#pragma once
// The one window of the mail client. Its controls are named after their objectName and
// its handlers after the control and event; each entry from Qt runs through guard().
#include <QIcon>
#include <QList>
#include <QMainWindow>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "Dialogs.h"
#include "LineList.h"
#include "ReportList.h"
#include "Znpop3.h"
#include "Znsmtp.h"

class QAction;
class QCheckBox;
class QCloseEvent;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QStatusBar;
class QTabWidget;
class QToolButton;
class QTreeWidget;
class InboxStore;
struct InboxMessage;
class InstanceLock;
class OutboxStore;
class AddressBookFile;

class Tpopform : public QMainWindow {
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
  void SaveInMessageAs1Click();
  void mailreplyClick();

  // Outbox store.
  void outsaveClick();
  void makehistlistClick();
  void sendhistlistDblClick();
  void MenuItem1Click();
  void MenuItem2Click();
  void LoadOutMessage1Click();

  // Address book and the compose lists.
  void addnewaddrClick();
  void deladdrClick();
  void addmailtoClick();
  void delmailtoClick();
  void addattClick();
  void delattClick();

  // Receive and send sessions.
  void inconnectClick();
  void indisconnectClick();
  void outconnectClick();
  void outdisconnectClick();
  void gosendClick();

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
  // The stores behind pophistlist and sendhistlist ("mailin.txt", "mailout.txt").
  InboxStore& inboxStore();
  OutboxStore& outboxStore();
  std::shared_ptr<InboxStore> inboxStore_;
  std::shared_ptr<OutboxStore> outboxStore_;
  std::shared_ptr<AddressBookFile> addressBook_;
  AddressBookFile& addressBook();  // "mailbook.txt"

  // Mail component hooks: created and bound before FormCreate, aborted on closing.
  void createMailComponents();
  void abortMailComponents();

  // The mail components, with their design-time values and every event bound.
  std::unique_ptr<TZnPOP3> ZnPOP31;
  std::unique_ptr<TZnSMTP> ZnSMTP1;

  // Events of ZnPOP31.
  void ZnPOP31Disconnect(TObject* Sender);
  void ZnPOP31Connect(TObject* Sender);
  void ZnPOP31InvalidHost(bool& Handled);
  void ZnPOP31HostResolved(TObject* Sender);
  void ZnPOP31Status(TObject* Sender, const std::string& Status);
  void ZnPOP31ConnectionFailed(TObject* Sender);
  void ZnPOP31ConnectionRequired(bool& Handled);
  void ZnPOP31RetrieveStart(TObject* Sender);
  void ZnPOP31RetrieveEnd(TObject* Sender);
  void ZnPOP31Success(TObject* Sender);
  void ZnPOP31Failure(TObject* Sender);

  // Events of ZnSMTP1.
  void ZnSMTP1Disconnect(TObject* Sender);
  void ZnSMTP1Connect(TObject* Sender);
  void ZnSMTP1InvalidHost(bool& Handled);
  void ZnSMTP1HostResolved(TObject* Sender);
  void ZnSMTP1Status(TObject* Sender, const std::string& Status);
  void ZnSMTP1ConnectionFailed(TObject* Sender);
  void ZnSMTP1PacketSent(TObject* Sender);
  void ZnSMTP1ConnectionRequired(bool& Handled);
  void ZnSMTP1RecipientNotFound(const std::string& Recipient);
  void ZnSMTP1HeaderIncomplete(bool& Handled, int hiType);
  void ZnSMTP1SendStart(TObject* Sender);
  void ZnSMTP1Success(TObject* Sender);
  void ZnSMTP1Failure(TObject* Sender);
  void ZnSMTP1EncodeStart(const std::string& Filename);
  void ZnSMTP1EncodeEnd(const std::string& Filename);

  // Window.
  QTabWidget* mailbinder = nullptr;
  QStatusBar* StatusBar1 = nullptr;
  QList<QIcon> ImageList1;

  // Menus.
  QMenuBar* MainMenu1 = nullptr;
  QMenu* File1 = nullptr;
  QAction* SaveInMessageAs1 = nullptr;
  QAction* LoadOutMessage1 = nullptr;
  QAction* N2 = nullptr;
  QAction* Exit1 = nullptr;
  QMenu* Help1 = nullptr;
  QAction* Contents1 = nullptr;
  QAction* N1 = nullptr;
  QAction* About1 = nullptr;
  QMenu* receivedpopup = nullptr;
  QAction* Delete1 = nullptr;
  QAction* DeleteAll1 = nullptr;
  QMenu* sendpopup = nullptr;
  QAction* MenuItem1 = nullptr;
  QAction* MenuItem2 = nullptr;

  // File dialogs.
  TFileDialog OpenDialog1{"Text Files|*.txt|All Files|*.*", "txt", {}};
  TFileDialog SaveDialog1{"Text Files|*.txt", "txt", {}};

  // Connect page.
  QWidget* TabSheet1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Label5 = nullptr;
  QLabel* Label10 = nullptr;
  QLabel* Label11 = nullptr;
  QLineEdit* inHost = nullptr;
  QLineEdit* inPort = nullptr;
  QLineEdit* inUserID = nullptr;
  QLineEdit* inPassword = nullptr;
  QCheckBox* insavecheck = nullptr;
  QToolButton* inconnect = nullptr;
  QToolButton* indisconnect = nullptr;
  QGroupBox* GroupBox2 = nullptr;
  QLabel* Label12 = nullptr;
  QLabel* Label13 = nullptr;
  QLabel* Label14 = nullptr;
  QLabel* Label15 = nullptr;
  QLabel* Label16 = nullptr;
  QLineEdit* outhost = nullptr;
  QLineEdit* outport = nullptr;
  QLineEdit* outuserid = nullptr;
  QLineEdit* localname = nullptr;
  QLineEdit* localemail = nullptr;
  QCheckBox* outsavecheck = nullptr;
  QToolButton* outconnect = nullptr;
  QToolButton* outdisconnect = nullptr;
  // Secure connections and the send account's login.
  QLabel* inSecurityLabel = nullptr;
  QComboBox* inSecurity = nullptr;  // None / STARTTLS / SSL/TLS
  QLabel* outSecurityLabel = nullptr;
  QComboBox* outSecurity = nullptr;
  QLabel* outAuthUserLabel = nullptr;
  QLineEdit* outAuthUser = nullptr;
  QLabel* outAuthPasswordLabel = nullptr;
  QLineEdit* outAuthPassword = nullptr;
  // What each account keeps without a field: a PEM file of extra trusted certificates and
  // the fingerprint of a certificate the user chose to trust.
  std::string inCAFile;
  std::string inCertFingerprint;
  std::string outCAFile;
  std::string outCertFingerprint;
  // How long, in ms, a receive session may go without progress; the account has no field
  // for it.
  int32_t inTimeOut = 60000;

  // Inbox page.
  QWidget* TabSheet2 = nullptr;
  ReportList* pophistlist = nullptr;
  QLabel* Label6 = nullptr;
  QPlainTextEdit* popmsgheader = nullptr;
  QTreeWidget* pophistory = nullptr;
  QPlainTextEdit* popmsgbody = nullptr;
  QFrame* Panel2 = nullptr;
  QLabel* Label1 = nullptr;
  QComboBox* popatt = nullptr;
  QLineEdit* popfrom = nullptr;
  QLineEdit* popsubject = nullptr;
  QToolButton* mailreply = nullptr;

  // Write Mail page.
  QWidget* TabSheet4 = nullptr;
  QFrame* Panel1 = nullptr;
  QLabel* Label7 = nullptr;
  QComboBox* selectaddr = nullptr;
  QToolButton* addnewaddr = nullptr;
  QToolButton* deladdr = nullptr;
  QLabel* LBLTO = nullptr;
  QComboBox* mailto = nullptr;
  QToolButton* addmailto = nullptr;
  QToolButton* delmailto = nullptr;
  QLabel* Label20 = nullptr;
  QComboBox* outattach = nullptr;
  QToolButton* addatt = nullptr;
  QToolButton* delatt = nullptr;
  QLabel* Label22 = nullptr;
  QLineEdit* outsubject = nullptr;
  QToolButton* gosend = nullptr;
  QPlainTextEdit* outbody = nullptr;
  QTreeWidget* sendhistory = nullptr;
  ReportList* sendhistlist = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildWindow();
  void buildMenus();
  void buildConnectPage();
  void buildInboxPage();
  void buildWriteMailPage();
  void buildSecurityControls();
  // Runs connect; a refused certificate is shown with its fingerprint, and when the user
  // then explicitly trusts it, it is pinned for the account and connect runs once more.
  void connectTrusting(TZnSocket& component, std::string& pin, QCheckBox* saveBox, const char* section,
                       const std::function<void()>& connect);
  void wireHandlers();
  void receiveAll();
  // Appends a message to the inbox store and lists it.
  void storeReceived(InboxMessage message);
  // Fills the display fields with a message as popsaveClick would store it: shown holds
  // the beginning of a body of bodyLines lines, that of inbox record row (kBodyNotStored
  // when the message is in no record).
  void showReceived(const InboxMessage& shown, size_t bodyLines, int row);
  // The whole text of the body on display, or its lines: the memo's, or, when the memo
  // shows only the beginning of a long body, the inbox record's.
  std::string shownBodyText();
  TLineList shownBodyLines();
  // The body on display is no longer that of the record it was taken from.
  void forgetCutBody();

  static constexpr int kBodyWhole = -1;      // the memo holds the whole body
  static constexpr int kBodyNotStored = -2;  // the memo holds part of a body that is in no record
  int cutBodyRow_ = kBodyWhole;              // else the inbox record whose body the memo shows in part
  // Selects the newest row of the inbox list and scrolls to it.
  void selectNewestRow();

  bool receiving_ = false;  // ZnPOP31Connect's retrieval loop is running
  bool closing_ = false;    // the window is closing: the mail components were aborted
  bool refused_ = false;    // another running Corvane has the application folder
};
