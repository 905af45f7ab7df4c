#include "WindowControls.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFrame>
#include <QGraphicsDropShadowEffect>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "Account.h"
#include "GlyphButton.h"
#include "Glyphs.h"
#include "QtText.h"
#include "WindowAccess.h"
#include "WindowKeys.h"

namespace {

const QColor kFieldColour(192, 220, 192);
const QColor kNavy(0, 0, 128);

template <typename W>
W* place(QWidget* parent, const char* name, int x, int y, int w, int h) {
  auto* widget = new W(parent);
  widget->setObjectName(name);
  widget->setGeometry(x, y, w, h);
  return widget;
}

void setTextColour(QWidget* widget, const QColor& colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, colour);
  widget->setPalette(palette);
}

void setBold(QWidget* widget, bool bold) {
  QFont font = widget->font();
  font.setBold(bold);
  widget->setFont(font);
}

// Labels size themselves to their caption, as the classic auto-sized labels did; a width
// is given only where the caption is aligned inside it.
// The status text changes with every server reply. A size hint that does not depend on the
// text spares the window a text layout for each: the bar's height is fixed and the label
// takes whatever width the bar gives it.
class StatusLabel : public QLabel {
 public:
  using QLabel::QLabel;
  QSize sizeHint() const override { return {0, fontMetrics().height()}; }
  QSize minimumSizeHint() const override { return sizeHint(); }
};

QLabel* label(QWidget* parent, const char* name, const char* caption, int x, int y, int w = -1, int h = 16) {
  auto* widget = new QLabel(caption, parent);
  widget->setObjectName(name);
  widget->setTextFormat(Qt::PlainText);
  widget->move(x, y);
  if (w < 0)
    widget->adjustSize();
  else
    widget->resize(w, h);
  return widget;
}

QGroupBox* groupBox(QWidget* parent, const char* name, const char* caption, int x, int y, int w, int h) {
  auto* widget = place<QGroupBox>(parent, name, x, y, w, h);
  widget->setTitle(caption);
  setBold(widget, true);
  return widget;
}

// The caption sits on the frame's top line, as on the classic group box, so the first row
// of fields (outhost lies 21 pixels down) stays inside the frame. Set once the fields are
// in: the fonts they took from the window stay theirs.
void frameUnderCaption(QGroupBox* box) {
  box->setStyleSheet(
      "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 8px; }"
      "QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0px 2px; }");
}

QLabel* groupLabel(QWidget* parent, const char* name, const char* caption, int x, int y) {
  QLabel* widget = label(parent, name, caption, x, y);
  setTextColour(widget, kNavy);
  setBold(widget, true);
  widget->adjustSize();
  return widget;
}

QLineEdit* edit(QWidget* parent, const char* name, int x, int y, int w, int h, bool coloured) {
  auto* widget = place<QLineEdit>(parent, name, x, y, w, h);
  setBold(widget, false);
  // A field hands texts between stores and components: it must not cut a long one.
  widget->setMaxLength(std::numeric_limits<int>::max());
  if (coloured) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Base, kFieldColour);
    widget->setPalette(palette);
  }
  return widget;
}

QCheckBox* saveBox(QWidget* parent, const char* name, int x, int y) {
  auto* widget = place<QCheckBox>(parent, name, x, y, 73, 17);
  widget->setText("Save");
  setBold(widget, false);
  return widget;
}

QComboBox* dropDown(QWidget* parent, const char* name, int x, int y, int w, int h) {
  auto* widget = place<QComboBox>(parent, name, x, y, w, h);
  widget->setEditable(true);
  widget->setInsertPolicy(QComboBox::NoInsert);
  widget->lineEdit()->setMaxLength(std::numeric_limits<int>::max());
  return widget;
}

QToolButton* glyphButton(QWidget* parent, const char* name, Glyph glyph, int x, int y, const char* hint = nullptr) {
  QToolButton* widget = place<GlyphButton>(parent, name, x, y, 23, 22);
  widget->setAutoRaise(true);
  widget->setIcon(GlyphIcon(glyph));
  widget->setIconSize(QSize(16, 16));
  widget->setFocusPolicy(Qt::NoFocus);
  if (hint) widget->setToolTip(hint);
  return widget;
}

// A report-style list: whole rows, one selected at a time, nothing to edit, its own pop-up.
template <typename List>
List* reportStyle(List* widget, const char* name, int fromWidth) {
  widget->setObjectName(name);
  widget->setColumnWidth(0, fromWidth);
  widget->header()->setStretchLastSection(true);
  widget->setRootIsDecorated(false);
  widget->setItemsExpandable(false);
  widget->setUniformRowHeights(true);
  widget->setSelectionMode(QAbstractItemView::SingleSelection);
  widget->setSelectionBehavior(QAbstractItemView::SelectRows);
  widget->setAllColumnsShowFocus(true);
  widget->setEditTriggers(QAbstractItemView::NoEditTriggers);
  widget->setContextMenuPolicy(Qt::CustomContextMenu);
  return widget;
}

ReportList* reportList(QWidget* parent, const char* name, int fromWidth) {
  auto* list = reportStyle(new ReportList(parent), name, fromWidth);
  list->EnableSorting();
  return list;
}

// "From" and "Subject" keep their places and "Subject" still takes the room left; the
// date, after them, is as wide as the locale's longest short date needs.
void showDateColumn(ReportList* list) {
  list->Rows()->SetDateColumn(true);
  QHeaderView* header = list->header();
  header->setStretchLastSection(false);
  header->setSectionResizeMode(1, QHeaderView::Stretch);
  const QString widest = QLocale().toString(QDateTime(QDate(2000, 12, 28), QTime(23, 59, 59)), QLocale::ShortFormat);
  const int padding = 2 * list->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header) + 12;
  list->setColumnWidth(
      2, std::max(list->fontMetrics().horizontalAdvance(widest), header->fontMetrics().horizontalAdvance("Date")) +
             padding);
}

// The list keeps its 121 pixels while the window grows and the body takes the rest; the
// user may drag the border either way, but never so far that the list loses its header
// and two rows or a side disappears. A handle width of 0 makes the handle take no room:
// its grab area overlaps a few pixels of both sides instead, so the body starts where
// the list ends, as without a splitter.
void splitListAndBody(QSplitter* splitter, QTreeView* list, QPlainTextEdit* body) {
  splitter->setHandleWidth(0);
  splitter->setChildrenCollapsible(false);
  splitter->setStretchFactor(0, 0);
  splitter->setStretchFactor(1, 1);
  const int row = list->fontMetrics().height() + 4;
  list->setMinimumHeight(list->header()->sizeHint().height() + 2 * row + 2 * list->frameWidth());
  body->setMinimumHeight(body->fontMetrics().height() + 2 * body->frameWidth());
  splitter->setSizes({121, 1});
}

QTreeWidget* hiddenTree(QWidget* parent, const char* name, const char* root, int x, int y, int w, int h) {
  auto* widget = place<QTreeWidget>(parent, name, x, y, w, h);
  widget->setHeaderHidden(true);
  widget->setEditTriggers(QAbstractItemView::NoEditTriggers);
  widget->addTopLevelItem(new QTreeWidgetItem(QStringList{root}));
  widget->hide();
  return widget;
}

QPlainTextEdit* memo(QWidget* parent, const char* name) {
  auto* widget = new QPlainTextEdit(parent);
  widget->setObjectName(name);
  widget->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // Tab moves on to the next control, as in the other fields of the window.
  widget->setTabChangesFocus(true);
  return widget;
}

// A menu item; the caption "-" makes a separator.
QAction* menuItem(QMenu* menu, const char* name, const char* caption) {
  QAction* item = std::string_view(caption) == "-" ? menu->addSeparator() : menu->addAction(caption);
  item->setObjectName(name);
  return item;
}

// The space kept between a caption and the field it names.
constexpr int kCaptionGap = 4;

// A caption's right edge plus the gap: where its field may begin at the earliest.
int fieldStartFor(const QLabel* caption) {
  return caption->x() + caption->width() + kCaptionGap;
}

// A font wider than the layout's own would run the captions of a group into their fields:
// the field column moves right as far as the widest caption needs and the group grows by
// as much. Fields keep their places where the captions fit.
void makeRoomForCaptions(QGroupBox* box, std::initializer_list<QLabel*> captions,
                         std::initializer_list<QWidget*> fields) {
  int need = 0;
  int column = std::numeric_limits<int>::max();
  for (const QLabel* caption : captions) need = std::max(need, fieldStartFor(caption));
  for (const QWidget* field : fields) column = std::min(column, field->x());
  const int shift = need - column;
  if (shift <= 0) return;
  for (QWidget* field : fields) field->move(field->x() + shift, field->y());
  box->resize(box->width() + shift, box->height());
}

// A field in a row of fixed places gives up width on its left so that its caption fits.
void fitCaptionBeforeField(const QLabel* caption, QWidget* field) {
  const int shift = fieldStartFor(caption) - field->x();
  if (shift <= 0) return;
  field->setGeometry(field->x() + shift, field->y(), std::max(field->width() - shift, 24), field->height());
}

// A field widened where the font's digits need more room than the layout gave, so that a
// value as wide as sample shows whole.
void widenToShow(QLineEdit* field, const QString& sample) {
  QStyleOptionFrame option;
  option.initFrom(field);
  option.lineWidth = field->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, field);
  const QMargins margins = field->textMargins() + field->contentsMargins();
  // Qt's line edit keeps two pixels free beside the text on each side.
  const int text = field->fontMetrics().horizontalAdvance(sample) + 2 * 2 + margins.left() + margins.right();
  const QSize needed =
      field->style()->sizeFromContents(QStyle::CT_LineEdit, &option, QSize(text, field->height()), field);
  if (needed.width() > field->width()) field->resize(needed.width() + 1, field->height());
}

}  // namespace

TpopformControls::AccountFields TpopformControls::FieldsOf(AccountSide side) const {
  if (side == AccountSide::Receive)
    return {inHost,  inPort,  inUserID, inPassword,  inSecurity, nullptr,
            nullptr, nullptr, nullptr,  insavecheck, inLogin,    inAllowPlainLogin};
  return {outhost,         outport,   outuserid,  nullptr,      outSecurity, outAuthUser,
          outAuthPassword, localname, localemail, outsavecheck, outLogin,    outAllowPlainLogin};
}

namespace {
// The text fields of a group beside the account members they hold.
std::vector<std::pair<QLineEdit*, std::string Account::*>> textFields(const TpopformControls::AccountFields& f) {
  return {{f.host, &Account::host},           {f.port, &Account::port},
          {f.userId, &Account::userId},       {f.password, &Account::password},
          {f.loginUser, &Account::loginUser}, {f.loginPassword, &Account::loginPassword},
          {f.name, &Account::name},           {f.email, &Account::email}};
}
}  // namespace

Account TpopformControls::AccountIn(AccountSide side) const {
  const AccountFields fields = FieldsOf(side);
  Account account;
  for (const auto& [field, member] : textFields(fields))
    if (field) account.*member = corvane::GetText(field);
  account.security = SecurityAt(fields.security->currentIndex());
  // The first entry stands for the way the account had (none or "Password"); the others
  // for OAuth 2.0 with the provider of the same place.
  const int login = fields.login->currentIndex();
  account.login = login == 0 ? fields.login->itemData(0).toString().toStdString() : "OAuth2";
  if (login > 0) account.oauthProvider = corvane::auth::kProviderNames[login - 1];
  account.allowPlainLogin = fields.allowPlainLogin->isChecked() ? "1" : "";
  if (side == AccountSide::Receive) account.checkMinutes = std::to_string(inCheckMinutes->value());
  if (side == AccountSide::Receive) {
    const int choice = inOnServer->currentIndex();
    account.onServer = kOnServerKeys[std::clamp(choice, 0, 3)];
    if (choice == int(OnServer::KeepDays)) account.keepDays = std::to_string(inKeepDays->value());
    account.largeKB = std::to_string(inLargeKB->value());
  }
  return account;
}

void TpopformControls::ShowAccount(AccountSide side, const Account& account) {
  const AccountFields fields = FieldsOf(side);
  for (const auto& [field, member] : textFields(fields))
    if (field) corvane::SetText(field, account.*member);
  fields.security->setCurrentIndex(SecurityIndex(account.security));
  // Choosing the password after OAuth 2.0 is a choice the file must keep.
  fields.login->setItemData(0, QString::fromStdString(account.OAuth2() ? "Password" : account.login));
  ShowSignInChoice(side, account.OAuth2(), account.oauthProvider);
  fields.allowPlainLogin->setChecked(account.PlainLoginAllowed());
  if (side == AccountSide::Receive) inCheckMinutes->setValue(account.CheckMinutes());
  if (side != AccountSide::Receive) return;
  inOnServer->setCurrentIndex(int(account.ServerChoice()));
  if (account.KeepDaysCount() > 0) inKeepDays->setValue(account.KeepDaysCount());
  inLargeKB->setValue(account.LargeKBCount());
}

void TpopformControls::ShowSignInChoice(AccountSide side, bool oauth2, const std::string& provider) {
  int login = 0;
  for (int i = 0; oauth2 && i < 3; ++i)
    if (provider == corvane::auth::kProviderNames[i]) login = i + 1;
  if (oauth2 && login == 0) login = 3;  // an issuer of the user's own
  FieldsOf(side).login->setCurrentIndex(login);
}

void TpopformControls::ShowSignInAccount(AccountSide side, const std::string& account) {
  QPushButton* button = side == AccountSide::Receive ? inSignIn : outSignIn;
  // A long address is shortened in its middle to fit; the tip shows it whole.
  const QString caption = account.empty() ? "Sign in" : corvane::ToQString("Signed in as " + account);
  button->setText(button->fontMetrics().elidedText(caption, Qt::ElideMiddle, button->width() - 12));
  button->setToolTip(account.empty() ? "Sign in with the provider chosen above"
                                     : corvane::ToQString("Signed in as " + account + "; click to sign in anew"));
}

void TpopformControls::BuildControls(QMainWindow* window) {
  window_ = window;
  buildWindow();
  ApplyWindowAccess(*this);
  BindWindowKeys(*this);
  // The places of these controls are fixed: the window stops shrinking where they would be
  // cut off, with whatever fonts their captions got.
  for (QWidget* placed : {TabSheet1, static_cast<QWidget*>(Panel1), static_cast<QWidget*>(Panel2)})
    placed->setMinimumSize(placed->childrenRect().bottomRight().x() + 8, placed->minimumHeight());
  TabSheet1->setMinimumHeight(TabSheet1->childrenRect().bottom() + 8);
}

void TpopformControls::buildWindow() {
  window_->setObjectName("popform");
  window_->setWindowTitle("Corvane 2");
  // Where the classic fonts are missing, take faces of the same metrics, so captions fit
  // the places the layout gives them.
  QFont::insertSubstitutions("MS Sans Serif", {"Arial", "Liberation Sans", "Nimbus Sans", "Helvetica"});
  QFont::insertSubstitutions("Times New Roman", {"Liberation Serif", "Nimbus Roman", "Times"});
  QFont font("MS Sans Serif");
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(14);
  window_->setFont(font);
  window_->move(117, 101);
  window_->resize(621, 411 + 100);  // room for the security and login rows

  ImageList1 = MakeImageList();
  buildMenus();

  mailbinder = new QTabWidget(window_);
  mailbinder->setObjectName("mailbinder");
  mailbinder->setIconSize(QSize(16, 16));
  window_->setCentralWidget(mailbinder);
  buildConnectPage();
  buildInboxPage();
  buildWriteMailPage();
  mailbinder->addTab(TabSheet1, ImageList1[0], "Connect");
  mailbinder->addTab(TabSheet2, ImageList1[2], "Inbox");
  mailbinder->addTab(TabSheet4, ImageList1[3], "Write Mail");
  mailbinder->setCurrentIndex(1);
  // Groups that grew for a wide font widen the window instead of being cut.
  const int connectWidth = GroupBox2->x() + GroupBox2->width() + 20;
  if (connectWidth > window_->width()) window_->resize(connectWidth, window_->height());

  StatusBar1 = new QStatusBar(window_);
  StatusBar1->setObjectName("StatusBar1");
  StatusBar1->setFixedHeight(23);
  auto* area = new StatusLabel(StatusBar1);
  area->setObjectName("StatusText");
  area->setTextFormat(Qt::PlainText);
  // A long server reply is cut at the bar's edge instead of widening the window.
  area->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  // The text lives in a label of its own, not in the bar's message, which menu hints
  // passing over the bar would wipe.
  StatusBar1->addWidget(area, 1);
  // Shown only while a store's index is made: its text names what is read.
  storeprogress = new QProgressBar(StatusBar1);
  storeprogress->setObjectName("storeprogress");
  storeprogress->setFixedWidth(220);
  storeprogress->setMaximumHeight(17);
  storeprogress->setTextVisible(true);
  storeprogress->hide();
  StatusBar1->addPermanentWidget(storeprogress);
  window_->setStatusBar(StatusBar1);
}

void TpopformControls::buildMenus() {
  MainMenu1 = new QMenuBar(window_);
  MainMenu1->setObjectName("MainMenu1");
  window_->setMenuBar(MainMenu1);

  File1 = MainMenu1->addMenu("&File");
  File1->setObjectName("File1");
  SaveInMessageAs1 = menuItem(File1, "SaveInMessageAs1", "Save InMessage &As...");
  LoadOutMessage1 = menuItem(File1, "LoadOutMessage1", "&Load OutMessage");
  SetupFromAddress1 = menuItem(File1, "SetupFromAddress1", "&Set up from address...");
  N2 = menuItem(File1, "N2", "-");
  Exit1 = menuItem(File1, "Exit1", "E&xit");

  Help1 = MainMenu1->addMenu("&Help");
  Help1->setObjectName("Help1");
  Contents1 = menuItem(Help1, "Contents1", "&Contents");
  Contents1->setShortcut(QKeySequence(Qt::Key_F1));
  // F1 works from every control of the window, as the menu's short-cut.
  Contents1->setShortcutContext(Qt::WindowShortcut);
  N1 = menuItem(Help1, "N1", "-");
  About1 = menuItem(Help1, "About1", "&About");

  receivedpopup = new QMenu(window_);
  receivedpopup->setObjectName("receivedpopup");
  Delete1 = menuItem(receivedpopup, "Delete1", "Delete");
  DeleteAll1 = menuItem(receivedpopup, "DeleteAll1", "Delete All");
  FetchWhole1 = menuItem(receivedpopup, "FetchWhole1", "Fetch whole message");

  sendpopup = new QMenu(window_);
  sendpopup->setObjectName("sendpopup");
  MenuItem1 = menuItem(sendpopup, "MenuItem1", "Delete");
  MenuItem2 = menuItem(sendpopup, "MenuItem2", "Delete All");
}

void TpopformControls::buildConnectPage() {
  TabSheet1 = new QWidget(mailbinder);  // the window font reaches the captions as they size
  TabSheet1->setObjectName("TabSheet1");

  Label2 = label(TabSheet1, "Label2", "Corvane 2", 112, 280, 182, 46);
  QFont titleFont("Times New Roman");
  titleFont.setStyleHint(QFont::Serif);
  titleFont.setPixelSize(40);
  titleFont.setBold(true);
  titleFont.setItalic(true);
  Label2->setFont(titleFont);
  Label2->adjustSize();
  setTextColour(Label2, kNavy);
  Label3 = label(TabSheet1, "Label3", kContactAddress, 328, 296);
  setTextColour(Label3, Qt::white);
  setBold(Label3, true);
  Label3->adjustSize();
  // A wider title face must not run the title into the contact line.
  Label3->move(std::max(Label3->x(), Label2->x() + Label2->width() + 2 * kCaptionGap), Label3->y());
  // White on today's light page ground would vanish: a dark edge keeps it legible.
  auto* edge = new QGraphicsDropShadowEffect(Label3);
  edge->setBlurRadius(0);
  edge->setOffset(1, 1);
  edge->setColor(QColor(64, 64, 64));
  Label3->setGraphicsEffect(edge);

  GroupBox1 = groupBox(TabSheet1, "GroupBox1", "Receive", 16, 8, 257, 249);
  Label4 = groupLabel(GroupBox1, "Label4", "Host", 10, 34);
  Label5 = groupLabel(GroupBox1, "Label5", "Port", 10, 63);
  Label10 = groupLabel(GroupBox1, "Label10", "User ID", 10, 93);
  Label11 = groupLabel(GroupBox1, "Label11", "Password", 10, 122);
  inHost = edit(GroupBox1, "inHost", 89, 29, 149, 24, true);
  inPort = edit(GroupBox1, "inPort", 89, 58, 45, 24, true);
  inPort->setText("110");
  inUserID = edit(GroupBox1, "inUserID", 89, 88, 149, 24, true);
  inPassword = edit(GroupBox1, "inPassword", 89, 118, 149, 24, true);
  inPassword->setEchoMode(QLineEdit::Password);
  // The password shows as "*", as the account's users know it.
  inPassword->setStyleSheet("lineedit-password-character: 42");
  insavecheck = saveBox(GroupBox1, "insavecheck", 16, 208);
  inconnect = glyphButton(GroupBox1, "inconnect", Glyph::RingClosed, 120, 208, "Connect to pop server");
  indisconnect = glyphButton(GroupBox1, "indisconnect", Glyph::RingOpen, 144, 208, "Disconnect");
  widenToShow(inPort, "00000");
  makeRoomForCaptions(GroupBox1, {Label4, Label5, Label10, Label11}, {inHost, inPort, inUserID, inPassword});

  GroupBox2 = groupBox(TabSheet1, "GroupBox2", "Send", 288, 8, 313, 249);
  Label12 = groupLabel(GroupBox2, "Label12", "Host: ", 15, 26);
  Label13 = groupLabel(GroupBox2, "Label13", "Port: ", 15, 59);
  Label14 = groupLabel(GroupBox2, "Label14", "User ID: ", 15, 94);
  Label15 = groupLabel(GroupBox2, "Label15", "Name: ", 15, 132);
  Label16 = groupLabel(GroupBox2, "Label16", "E-Mail Address: ", 15, 169);
  outhost = edit(GroupBox2, "outhost", 141, 21, 148, 24, true);
  outport = edit(GroupBox2, "outport", 142, 54, 44, 24, true);
  outport->setText("25");
  outport->setToolTip("Default Port = 25");
  outuserid = edit(GroupBox2, "outuserid", 141, 89, 148, 24, true);
  localname = edit(GroupBox2, "localname", 140, 127, 149, 24, true);
  localemail = edit(GroupBox2, "localemail", 140, 164, 149, 24, true);
  outsavecheck = saveBox(GroupBox2, "outsavecheck", 112, 208);
  outconnect = glyphButton(GroupBox2, "outconnect", Glyph::RingClosed, 224, 208, "Connect to Mailserver");
  outdisconnect = glyphButton(GroupBox2, "outdisconnect", Glyph::RingOpen, 248, 208);
  widenToShow(outport, "00000");
  makeRoomForCaptions(GroupBox2, {Label12, Label13, Label14, Label15, Label16},
                      {outhost, outport, outuserid, localname, localemail});
  // The Send group keeps its distance from a Receive group that grew.
  GroupBox2->move(std::max(GroupBox2->x(), GroupBox1->x() + GroupBox1->width() + 15), GroupBox2->y());

  buildSecurityControls();
  buildSignInControls();
  buildServerChoices();
  buildLargeControls();
  buildCheckControls();
  frameUnderCaption(GroupBox1);
  frameUnderCaption(GroupBox2);
}

// The Receive group has room for its choice between the password and the Save row; the
// Send group grows below its Save row, and the title below the groups moves down with it.
void TpopformControls::buildSecurityControls() {
  const auto securityChoice = [](QWidget* parent, const char* name, int x, int y, int w) {
    auto* box = place<QComboBox>(parent, name, x, y, w, 24);
    setBold(box, false);
    for (const char* text : kSecurityTexts) box->addItem(text);
    return box;
  };
  // SSL/TLS has its own standard port: a port left at the plain default follows the choice.
  const auto followPort = [](QComboBox* box, QLineEdit* port, const char* plain, const char* secure) {
    QObject::connect(box, &QComboBox::currentIndexChanged, port, [=](int index) {
      const QString text = port->text().trimmed();
      if (index == 2 && text == plain) port->setText(secure);
      if (index != 2 && text == secure) port->setText(plain);
    });
  };
  constexpr int kGrowth = 100;

  // The new rows take the field column the captions left them.
  inSecurityLabel = groupLabel(GroupBox1, "inSecurityLabel", "Security", 10, 158);
  inSecurity = securityChoice(GroupBox1, "inSecurity", inHost->x(), 153, inHost->width());
  inSecurityLabel->setBuddy(inSecurity);
  makeRoomForCaptions(GroupBox1, {Label4, Label5, Label10, Label11, inSecurityLabel},
                      {inHost, inPort, inUserID, inPassword, inSecurity});
  followPort(inSecurity, inPort, "110", "995");

  outSecurityLabel = groupLabel(GroupBox2, "outSecurityLabel", "Security: ", 15, 245);
  const int column = localemail->x();
  const int width = localemail->width();
  outSecurity = securityChoice(GroupBox2, "outSecurity", column, 240, width);
  outAuthUserLabel = groupLabel(GroupBox2, "outAuthUserLabel", "Login Name: ", 15, 277);
  outAuthUser = edit(GroupBox2, "outAuthUser", column, 272, width, 24, true);
  outAuthPasswordLabel = groupLabel(GroupBox2, "outAuthPasswordLabel", "Login Password: ", 15, 309);
  outAuthPassword = edit(GroupBox2, "outAuthPassword", column, 304, width, 24, true);
  outAuthPassword->setEchoMode(QLineEdit::Password);
  outAuthPassword->setStyleSheet("lineedit-password-character: 42");
  outSecurityLabel->setBuddy(outSecurity);
  outAuthUserLabel->setBuddy(outAuthUser);
  outAuthPasswordLabel->setBuddy(outAuthPassword);
  followPort(outSecurity, outport, "25", "465");
  makeRoomForCaptions(
      GroupBox2,
      {Label12, Label13, Label14, Label15, Label16, outSecurityLabel, outAuthUserLabel, outAuthPasswordLabel},
      {outhost, outport, outuserid, localname, localemail, outSecurity, outAuthUser, outAuthPassword});
  GroupBox2->move(std::max(GroupBox2->x(), GroupBox1->x() + GroupBox1->width() + 15), GroupBox2->y());

  for (QWidget* grown : {static_cast<QWidget*>(GroupBox1), static_cast<QWidget*>(GroupBox2)})
    grown->resize(grown->width(), grown->height() + kGrowth);
  for (QWidget* moved : {static_cast<QWidget*>(Label2), static_cast<QWidget*>(Label3)})
    moved->move(moved->x(), moved->y() + kGrowth);
}

// The sign-in rows: the Receive group below its Save row, the Send group below its login;
// both groups, the window and the title below them grow by the same height.
void TpopformControls::buildSignInControls() {
  constexpr int kGrowth = 100;
  const auto choice = [](QWidget* parent, const char* name, QLabel* caption, QWidget* column, int y) {
    auto* box = place<QComboBox>(parent, name, column->x(), y, column->width(), 24);
    setBold(box, false);
    for (const char* text : {"Password", "OAuth 2.0: Google", "OAuth 2.0: Microsoft", "OAuth 2.0: other issuer"})
      box->addItem(text);
    caption->setBuddy(box);
    return box;
  };
  const auto button = [](QWidget* parent, const char* name, QWidget* column, int y) {
    auto* widget = place<QPushButton>(parent, name, column->x(), y, column->width(), 26);
    setBold(widget, false);
    widget->setText("Sign in");
    widget->setToolTip("Sign in with the provider chosen above");
    return widget;
  };
  // A check box as wide as its caption; its group grows where the caption needs it.
  const auto check = [](QGroupBox* parent, const char* name, const char* text, int x, int y) {
    auto* widget = place<QCheckBox>(parent, name, x, y, 20, 20);
    widget->setText(text);
    setBold(widget, false);
    widget->resize(widget->sizeHint().width(), 20);
    parent->resize(std::max(parent->width(), x + widget->width() + 10), parent->height());
    return widget;
  };
  // The password means nothing while a token signs in: its row goes.
  const auto passwordFollows = [](QComboBox* box, std::initializer_list<QWidget*> widgets, QPushButton* signIn) {
    const std::vector<QWidget*> row(widgets);
    const auto show = [=](int index) {
      for (QWidget* widget : row) widget->setVisible(index == 0);
      signIn->setEnabled(index != 0);
    };
    QObject::connect(box, &QComboBox::currentIndexChanged, box, show);
    show(box->currentIndex());
  };

  inLoginLabel = groupLabel(GroupBox1, "inLoginLabel", "Sign in", 10, 245);
  inLogin = choice(GroupBox1, "inLogin", inLoginLabel, inHost, 240);
  inSignIn = button(GroupBox1, "inSignIn", inHost, 270);
  inAllowPlainLogin = check(GroupBox1, "inAllowPlainLogin", "Allow plain-text login", inHost->x(), 302);
  passwordFollows(inLogin, {Label11, inPassword}, inSignIn);

  outLoginLabel = groupLabel(GroupBox2, "outLoginLabel", "Sign in: ", 15, 341);
  outLogin = choice(GroupBox2, "outLogin", outLoginLabel, outAuthPassword, 336);
  outSignIn = button(GroupBox2, "outSignIn", outAuthPassword, 366);
  outAllowPlainLogin = check(GroupBox2, "outAllowPlainLogin", "Allow plain-text login", outAuthPassword->x(), 398);
  for (QCheckBox* box : {inAllowPlainLogin, outAllowPlainLogin})
    box->setToolTip("Let the password go out readable (PLAIN, LOGIN, USER/PASS) over a connection without TLS");
  passwordFollows(outLogin, {outAuthPasswordLabel, outAuthPassword}, outSignIn);
  makeRoomForCaptions(GroupBox1, {Label4, Label5, Label10, Label11, inSecurityLabel, inLoginLabel},
                      {inHost, inPort, inUserID, inPassword, inSecurity, inLogin, inSignIn});
  GroupBox2->move(std::max(GroupBox2->x(), GroupBox1->x() + GroupBox1->width() + 15), GroupBox2->y());

  for (QWidget* grown : {static_cast<QWidget*>(GroupBox1), static_cast<QWidget*>(GroupBox2)})
    grown->resize(grown->width(), grown->height() + kGrowth);
  // Below the groups, for both accounts.
  keyringcheck =
      place<QCheckBox>(TabSheet1, "keyringcheck", GroupBox1->x(), GroupBox1->y() + GroupBox1->height() + 6, 20, 20);
  keyringcheck->setText("Keep passwords in the system keyring");
  keyringcheck->resize(keyringcheck->sizeHint().width(), 20);
  for (QWidget* moved : {static_cast<QWidget*>(Label2), static_cast<QWidget*>(Label3)})
    moved->move(moved->x(), moved->y() + kGrowth + 26);
  window_->resize(std::max(window_->width(), GroupBox2->x() + GroupBox2->width() + 20),
                  window_->height() + kGrowth + 26);
}

// A spin-box row below the lowest control of the Receive group; both groups, the window
// and what lies below the groups grow by what the row needs beyond the room left.
QSpinBox* TpopformControls::receiveRow(QLabel*& caption, const char* captionName, const char* text, const char* name) {
  int bottom = 0;
  for (const QWidget* child : GroupBox1->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    bottom = std::max(bottom, child->y() + child->height());
  const int y = bottom + 8;
  caption = groupLabel(GroupBox1, captionName, text, 10, y + 5);
  QSpinBox* box = place<QSpinBox>(GroupBox1, name, inHost->x(), y, 100, 24);
  setBold(box, false);
  caption->setBuddy(box);
  // A short field: a wide caption moves it right, and the group grows only where it must.
  box->move(std::max(box->x(), fieldStartFor(caption)), y);
  GroupBox1->resize(std::max(GroupBox1->width(), box->x() + box->width() + 10), GroupBox1->height());
  GroupBox2->move(std::max(GroupBox2->x(), GroupBox1->x() + GroupBox1->width() + 15), GroupBox2->y());

  const int growth = std::max(0, y + box->height() + 12 - GroupBox1->height());
  for (QWidget* grown : {static_cast<QWidget*>(GroupBox1), static_cast<QWidget*>(GroupBox2)})
    grown->resize(grown->width(), grown->height() + growth);
  for (QWidget* moved :
       {static_cast<QWidget*>(keyringcheck), static_cast<QWidget*>(Label2), static_cast<QWidget*>(Label3)})
    moved->move(moved->x(), moved->y() + growth);
  window_->resize(std::max(window_->width(), GroupBox2->x() + GroupBox2->width() + 20), window_->height() + growth);
  return box;
}

void TpopformControls::buildLargeControls() {
  inLargeKB = receiveRow(inLargeKBLabel, "inLargeKBLabel", "Headers only over size", "inLargeKB");
  inLargeKB->setRange(0, 1 << 20);
  inLargeKB->setSuffix(" KB");
  inLargeKB->setSpecialValueText("Off");
  inLargeKB->setToolTip(
      "Fetch only the header of a larger message; Fetch whole message in the inbox list's pop-up "
      "menu fetches the rest");
}

void TpopformControls::buildCheckControls() {
  inCheckMinutes = receiveRow(inCheckMinutesLabel, "inCheckMinutesLabel", "Check frequency", "inCheckMinutes");
  inCheckMinutes->setRange(0, kMaxCheckMinutes);
  inCheckMinutes->setSuffix(" min");
  inCheckMinutes->setSpecialValueText("Off");
  inCheckMinutes->setToolTip("Check for new mail by itself while the window is open; Off checks only on Connect");
}

void TpopformControls::buildInboxPage() {
  TabSheet2 = new QWidget(mailbinder);  // the window font reaches the captions as they size
  TabSheet2->setObjectName("TabSheet2");

  // These lie under the list, which covers them.
  Label6 = label(TabSheet2, "Label6", "Message Body", 0, 106, 613, 16);
  Label6->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  popmsgheader = memo(TabSheet2, "popmsgheader");
  popmsgheader->setGeometry(120, 32, 241, 49);
  pophistory = hiddenTree(TabSheet2, "pophistory", "Received", 24, 137, 241, 136);

  inboxsplitter = new QSplitter(Qt::Vertical, TabSheet2);
  inboxsplitter->setObjectName("inboxsplitter");
  pophistlist = reportList(inboxsplitter, "pophistlist", 200);
  pophistlist->SetChoosingShows(true);
  showDateColumn(pophistlist);
  popmsgbody = memo(inboxsplitter, "popmsgbody");
  splitListAndBody(inboxsplitter, pophistlist, popmsgbody);

  Panel2 = new QFrame(TabSheet2);
  Panel2->setObjectName("Panel2");
  Panel2->setFrameShape(QFrame::NoFrame);
  Panel2->setFixedHeight(41);
  Label1 = label(Panel2, "Label1", "Attachments", 16, 8);
  popatt = dropDown(Panel2, "popatt", 96, 8, 289, 24);
  fitCaptionBeforeField(Label1, popatt);
  popfrom = edit(Panel2, "popfrom", 352, 8, 121, 24, false);
  popfrom->hide();
  popsubject = edit(Panel2, "popsubject", 424, 8, 121, 24, false);
  popsubject->setText("popsubject");
  popsubject->hide();
  mailreply = glyphButton(Panel2, "mailreply", Glyph::PlaneYellow, 560, 8);

  auto* layout = new QVBoxLayout(TabSheet2);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(inboxsplitter, 1);
  layout->addWidget(Panel2);
  inboxsplitter->raise();
}

void TpopformControls::buildWriteMailPage() {
  TabSheet4 = new QWidget(mailbinder);  // the window font reaches the captions as they size
  TabSheet4->setObjectName("TabSheet4");

  sendhistory = hiddenTree(TabSheet4, "sendhistory", "Send Mail", 16, 224, 353, 55);

  Panel1 = new QFrame(TabSheet4);
  Panel1->setObjectName("Panel1");
  Panel1->setFrameShape(QFrame::NoFrame);
  Panel1->setFixedHeight(113);
  Label7 = label(Panel1, "Label7", "Address", 8, 8);
  selectaddr = dropDown(Panel1, "selectaddr", 72, 9, 465, 24);
  {
    QPalette palette = selectaddr->palette();
    palette.setColor(QPalette::Base, kFieldColour);
    selectaddr->setPalette(palette);
  }
  selectaddr->setToolTip("Address Book\nEntries shall be in the format:\nJohn Smith=john.smith@example.com");
  addnewaddr = glyphButton(Panel1, "addnewaddr", Glyph::Plus, 544, 8, "Add New Address");
  deladdr = glyphButton(Panel1, "deladdr", Glyph::Minus, 568, 8, "Delete Selected Address");
  LBLTO = label(Panel1, "LBLTO", "To", 8, 40);
  mailto = dropDown(Panel1, "mailto", 72, 40, 177, 24);
  addmailto = glyphButton(Panel1, "addmailto", Glyph::Plus, 256, 40);
  delmailto = glyphButton(Panel1, "delmailto", Glyph::Minus, 280, 40);
  Label20 = label(Panel1, "Label20", "Attachments", 310, 44);
  outattach = dropDown(Panel1, "outattach", 392, 40, 145, 24);
  addatt = glyphButton(Panel1, "addatt", Glyph::Plus, 544, 40);
  delatt = glyphButton(Panel1, "delatt", Glyph::Minus, 568, 40);
  Label22 = label(Panel1, "Label22", "Subject: ", 7, 82);
  outsubject = edit(Panel1, "outsubject", 72, 81, 497, 24, false);
  gosend = glyphButton(Panel1, "gosend", Glyph::PlaneWhite, 576, 80, "Send Mail");
  for (QLabel* caption : {LBLTO, Label20, Label22}) setTextColour(caption, kNavy);
  fitCaptionBeforeField(Label7, selectaddr);
  fitCaptionBeforeField(LBLTO, mailto);
  fitCaptionBeforeField(Label20, outattach);
  fitCaptionBeforeField(Label22, outsubject);

  outbody = memo(TabSheet4, "outbody");
  sendhistlist = reportList(TabSheet4, "sendhistlist", 150);
  sendhistlist->setFixedHeight(79);

  auto* layout = new QVBoxLayout(TabSheet4);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(Panel1);
  layout->addWidget(outbody, 1);
  layout->addWidget(sendhistlist);
  buildQueueControls(layout);
}

void TpopformControls::buildQueueControls(QLayout* page) {
  writepopup = new QMenu(window_);
  writepopup->setObjectName("writepopup");
  SendLater1 = menuItem(writepopup, "SendLater1", "Send &Later");
  SendLater1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
  // The short-cut works wherever the focus is on the Write Mail page.
  SendLater1->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  TabSheet4->addAction(SendLater1);
  gosend->setContextMenuPolicy(Qt::CustomContextMenu);
  outbody->setContextMenuPolicy(Qt::CustomContextMenu);

  queuepopup = new QMenu(window_);
  queuepopup->setObjectName("queuepopup");
  QueueEdit1 = menuItem(queuepopup, "QueueEdit1", "&Edit");
  QueueResend1 = menuItem(queuepopup, "QueueResend1", "&Resend");
  QueueDelete1 = menuItem(queuepopup, "QueueDelete1", "&Delete");

  queuelabel = label(TabSheet4, "queuelabel", "&Queue: waiting to be sent", 0, 0);
  setTextColour(queuelabel, kNavy);
  queuelist = reportStyle(new QTreeWidget(TabSheet4), "queuelist", 150);
  queuelist->setColumnCount(5);
  queuelist->setHeaderLabels({"To", "Subject", "State", "Last reply", "Next attempt"});
  queuelist->header()->setStretchLastSection(false);
  queuelist->header()->setSectionResizeMode(3, QHeaderView::Stretch);
  queuelist->setColumnWidth(1, 120);
  queuelist->setColumnWidth(2, 110);
  queuelist->setColumnWidth(4, 110);
  queuelist->setFixedHeight(79);
  queuelabel->setBuddy(queuelist);
  queuelabel->setIndent(4);
  page->addWidget(queuelabel);
  page->addWidget(queuelist);
  // Until a message waits, the page looks as it always did.
  queuelabel->hide();
  queuelist->hide();
}

namespace {

// The lowest edge of a group's controls: where a row of its own goes below them.
int lowestControlOf(const QGroupBox* box) {
  int bottom = 0;
  for (const QWidget* child : box->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    bottom = std::max(bottom, child->geometry().bottom() + 1);
  return bottom;
}

}  // namespace

// The Receive group's rows for mail kept on the server, below its lowest control; the group, and all below it, grow by
// what they take.
void TpopformControls::buildServerChoices() {
  const auto spin = [](QWidget* parent, const char* name, int x, int y, int w, int maximum) {
    auto* box = place<QSpinBox>(parent, name, x, y, w, 24);
    setBold(box, false);
    box->setRange(0, maximum);
    return box;
  };
  const int top = lowestControlOf(GroupBox1) + 8;
  // The choices' texts are longer than the fields' column: the choice starts a row below
  // its caption, at the group's left edge, and the days follow it.
  inOnServerLabel = groupLabel(GroupBox1, "inOnServerLabel", "Server mailbox", 10, top);
  inOnServer = place<QComboBox>(GroupBox1, "inOnServer", 10, top + 20, 10, 24);
  setBold(inOnServer, false);
  for (const char* text : {"Delete after storing", "Keep", "Keep for days", "Delete when deleted here"})
    inOnServer->addItem(text);
  inOnServer->resize(inOnServer->sizeHint().width(), 24);
  inOnServerLabel->setBuddy(inOnServer);
  inKeepDays = spin(GroupBox1, "inKeepDays", 10, top + 50, 10, 36500);
  inKeepDays->setMinimum(1);
  inKeepDays->setSuffix(" days");  // its caption, read with the number
  inKeepDays->setValue(7);
  inKeepDays->resize(inKeepDays->sizeHint().width(), 24);
  inKeepDays->setAccessibleName("Keep for days");
  const auto keepDaysFollows = [this](int index) { inKeepDays->setEnabled(index == int(OnServer::KeepDays)); };
  QObject::connect(inOnServer, &QComboBox::currentIndexChanged, inKeepDays, keepDaysFollows);
  keepDaysFollows(inOnServer->currentIndex());

  const int noteX = inKeepDays->x() + inKeepDays->width() + 8;
  inNoUidlNote =
      label(GroupBox1, "inNoUidlNote", "This server gives no unique ids (UIDL): mail is deleted after storing.", noteX,
            top + 46, std::max(GroupBox1->width(), inOnServer->width() + 20) - 10 - noteX, 34);
  inNoUidlNote->setWordWrap(true);
  inNoUidlNote->hide();

  const int right = inOnServer->width() + 20;
  const int growth = std::max(0, inNoUidlNote->geometry().bottom() + 12 - GroupBox1->height());
  GroupBox1->resize(std::max(GroupBox1->width(), right), GroupBox1->height() + growth);
  GroupBox2->move(std::max(GroupBox2->x(), GroupBox1->x() + GroupBox1->width() + 15), GroupBox2->y());
  for (QWidget* moved :
       {static_cast<QWidget*>(keyringcheck), static_cast<QWidget*>(Label2), static_cast<QWidget*>(Label3)})
    moved->move(moved->x(), moved->y() + growth);
  window_->resize(std::max(window_->width(), GroupBox2->x() + GroupBox2->width() + 20), window_->height() + growth);
}

void TpopformControls::ShowBusy(bool busy) {
  if (busy)
    window_->setCursor(Qt::WaitCursor);
  else
    window_->unsetCursor();
}

void TpopformControls::ShowUniqueIds(bool available) {
  inNoUidlNote->setVisible(!available);
}
