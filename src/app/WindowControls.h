#pragma once
// The controls of the main window: every widget, menu and file dialog, named after its
// objectName, and the code that builds and places them. The window class adds the
// handlers; this part knows none of them.
#include <QIcon>
#include <QList>

#include "Account.h"
#include "Dialogs.h"
#include "ReportList.h"

class QAction;
class QCheckBox;
class QComboBox;
class QSpinBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLayout;
class QLineEdit;
class QMainWindow;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QProgressBar;
class QSplitter;
class QPushButton;
class QSpinBox;
class QStatusBar;
class QTabWidget;
class QToolButton;
class QTreeWidget;

// The author's contact address, on the Connect page and in the About box.
inline constexpr const char* kContactAddress = "corvane@example.org";

struct TpopformControls {
  // Builds every control into window, which then shows the Inbox page.
  void BuildControls(QMainWindow* window);

  // The fields of one group of the Connect page; those the group lacks are null.
  struct AccountFields {
    QLineEdit* host;
    QLineEdit* port;
    QLineEdit* userId;
    QLineEdit* password;
    QComboBox* security;
    QLineEdit* loginUser;
    QLineEdit* loginPassword;
    QLineEdit* name;
    QLineEdit* email;
    QCheckBox* save;
    QComboBox* login;  // the sign-in choice
    QCheckBox* allowPlainLogin;
  };
  AccountFields FieldsOf(AccountSide side) const;
  // The account as the group's fields hold it, and the fields showing an account; what the
  // group has no field for is left alone.
  Account AccountIn(AccountSide side) const;
  void ShowAccount(AccountSide side, const Account& account);

  // Window.
  QTabWidget* mailbinder = nullptr;
  QStatusBar* StatusBar1 = nullptr;
  QProgressBar* storeprogress = nullptr;  // in the status bar while a store is indexed
  QList<QIcon> ImageList1;

  // Menus.
  QMenuBar* MainMenu1 = nullptr;
  QMenu* File1 = nullptr;
  QAction* SaveInMessageAs1 = nullptr;
  QAction* LoadOutMessage1 = nullptr;
  QAction* SetupFromAddress1 = nullptr;  // finds both accounts' servers from an address
  QAction* N2 = nullptr;
  QAction* Exit1 = nullptr;
  QMenu* Help1 = nullptr;
  QAction* Contents1 = nullptr;
  QAction* N1 = nullptr;
  QAction* About1 = nullptr;
  QMenu* receivedpopup = nullptr;
  QAction* Delete1 = nullptr;
  QAction* DeleteAll1 = nullptr;
  QAction* FetchWhole1 = nullptr;  // enabled for a record that holds only a header
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
  // How each account signs in, and the passwords' place.
  QLabel* inLoginLabel = nullptr;
  QComboBox* inLogin = nullptr;  // Password / OAuth 2.0 with Google, Microsoft or another issuer
  QPushButton* inSignIn = nullptr;
  QCheckBox* inAllowPlainLogin = nullptr;
  QLabel* outLoginLabel = nullptr;
  QComboBox* outLogin = nullptr;
  QPushButton* outSignIn = nullptr;
  QCheckBox* outAllowPlainLogin = nullptr;
  QCheckBox* keyringcheck = nullptr;  // "Keep passwords in the system keyring"
  // Checking for mail by itself, every so many minutes ("Off" at 0).
  QLabel* inCheckMinutesLabel = nullptr;
  QSpinBox* inCheckMinutes = nullptr;
  QLabel* inLargeKBLabel = nullptr;
  QSpinBox* inLargeKB = nullptr;
  // What a session leaves on the server.
  QLabel* inOnServerLabel = nullptr;
  QComboBox* inOnServer = nullptr;  // the choices of kOnServerKeys, in their order
  QSpinBox* inKeepDays = nullptr;   // enabled for "Keep for days" only
  QLabel* inNoUidlNote = nullptr;   // shown once a server without unique ids was met
  // The hourglass over the window while a message comes in.
  void ShowBusy(bool busy);
  // The last session's server gave unique ids (or did not), which keeping mail needs.
  void ShowUniqueIds(bool available);
  // The group's Sign in button names the account signed in as ("" for none).
  void ShowSignInAccount(AccountSide side, const std::string& account);
  // The group's sign-in choice: the password, or OAuth 2.0 with provider (one of no preset
  // is "other issuer").
  void ShowSignInChoice(AccountSide side, bool oauth2, const std::string& provider);
  // Inbox page.
  QWidget* TabSheet2 = nullptr;
  ReportList* pophistlist = nullptr;
  QLabel* Label6 = nullptr;
  QPlainTextEdit* popmsgheader = nullptr;
  QTreeWidget* pophistory = nullptr;
  QPlainTextEdit* popmsgbody = nullptr;
  QSplitter* inboxsplitter = nullptr;  // between pophistlist and popmsgbody
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
  // The send queue below the sent messages, shown while it holds a message, and the
  // page's pop-up menu (right click on the send button; also at the end of the body's own).
  QLabel* queuelabel = nullptr;
  QTreeWidget* queuelist = nullptr;
  QMenu* queuepopup = nullptr;
  QAction* QueueEdit1 = nullptr;
  QAction* QueueResend1 = nullptr;
  QAction* QueueDelete1 = nullptr;
  QMenu* writepopup = nullptr;
  QAction* SendLater1 = nullptr;

 private:
  void buildWindow();
  void buildMenus();
  void buildConnectPage();
  void buildSecurityControls();
  void buildSignInControls();
  QSpinBox* receiveRow(QLabel*& caption, const char* captionName, const char* text, const char* name);
  void buildLargeControls();
  void buildCheckControls();
  void buildServerChoices();
  void buildInboxPage();
  void buildWriteMailPage();
  void buildQueueControls(QLayout* page);

  QMainWindow* window_ = nullptr;
};
