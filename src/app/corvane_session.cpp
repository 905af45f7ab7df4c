// The receive and send sessions of the window: the connect buttons, the send button and
// the events of the two mail components, each handed to its session.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTreeWidget>

#include "AutoCheck.h"
#include "InboxStore.h"
#include "OutboxStore.h"
#include "QtText.h"
#include "QueuePane.h"
#include "ReceiveSession.h"
#include "SendSession.h"
#include "StoreList.h"
#include "SysUtils.h"
#include "corvane.h"

void Tpopform::createMailComponents() {
  ZnPOP31 = ReceiveSession::NewComponent();
  ZnPOP31->OnDisconnect = [this](TObject* Sender) { ZnPOP31Disconnect(Sender); };
  ZnPOP31->OnConnect = [this](TObject* Sender) { ZnPOP31Connect(Sender); };
  ZnPOP31->OnInvalidHost = [this](bool& Handled) { ZnPOP31InvalidHost(Handled); };
  ZnPOP31->OnHostResolved = [this](TObject* Sender) { ZnPOP31HostResolved(Sender); };
  ZnPOP31->OnStatus = [this](TObject* Sender, const std::string& Status) { ZnPOP31Status(Sender, Status); };
  ZnPOP31->OnConnectionFailed = [this](TObject* Sender) { ZnPOP31ConnectionFailed(Sender); };
  ZnPOP31->OnConnectionRequired = [this](bool& Handled) { ZnPOP31ConnectionRequired(Handled); };
  ZnPOP31->OnRetrieveStart = [this](TObject* Sender) { ZnPOP31RetrieveStart(Sender); };
  ZnPOP31->OnRetrieveEnd = [this](TObject* Sender) { ZnPOP31RetrieveEnd(Sender); };
  ZnPOP31->OnSuccess = [this](TObject* Sender) { ZnPOP31Success(Sender); };
  ZnPOP31->OnFailure = [this](TObject* Sender) { ZnPOP31Failure(Sender); };
  // The attachment decoder's remarks, such as " No end line.", are for the user.
  ZnPOP31->OnMessage = [this](const std::string& Text) { receive_->Remark(Text); };
  receive_ = std::make_unique<ReceiveSession>(*ZnPOP31, static_cast<ReceiveView&>(*this),
                                              [this]() -> InboxStore& { return inboxStore(); });

  ZnSMTP1 = SendSession::NewComponent();
  ZnSMTP1->OnDisconnect = [this](TObject* Sender) { ZnSMTP1Disconnect(Sender); };
  ZnSMTP1->OnConnect = [this](TObject* Sender) { ZnSMTP1Connect(Sender); };
  ZnSMTP1->OnInvalidHost = [this](bool& Handled) { ZnSMTP1InvalidHost(Handled); };
  ZnSMTP1->OnHostResolved = [this](TObject* Sender) { ZnSMTP1HostResolved(Sender); };
  ZnSMTP1->OnStatus = [this](TObject* Sender, const std::string& Status) { ZnSMTP1Status(Sender, Status); };
  ZnSMTP1->OnConnectionFailed = [this](TObject* Sender) { ZnSMTP1ConnectionFailed(Sender); };
  ZnSMTP1->OnPacketSent = [this](TObject* Sender) { ZnSMTP1PacketSent(Sender); };
  ZnSMTP1->OnConnectionRequired = [this](bool& Handled) { ZnSMTP1ConnectionRequired(Handled); };
  ZnSMTP1->OnRecipientNotFound = [this](const std::string& Recipient) { ZnSMTP1RecipientNotFound(Recipient); };
  ZnSMTP1->OnRecipientDeferred = [this](const std::string& Recipient) { ZnSMTP1RecipientDeferred(Recipient); };
  ZnSMTP1->OnHeaderIncomplete = [this](bool& Handled, int hiType) { ZnSMTP1HeaderIncomplete(Handled, hiType); };
  ZnSMTP1->OnSendStart = [this](TObject* Sender) { ZnSMTP1SendStart(Sender); };
  ZnSMTP1->OnSuccess = [this](TObject* Sender) { ZnSMTP1Success(Sender); };
  ZnSMTP1->OnFailure = [this](TObject* Sender) { ZnSMTP1Failure(Sender); };
  ZnSMTP1->OnEncodeStart = [this](const std::string& Filename) { ZnSMTP1EncodeStart(Filename); };
  ZnSMTP1->OnEncodeEnd = [this](const std::string& Filename) { ZnSMTP1EncodeEnd(Filename); };
  send_ = std::make_unique<SendSession>(*ZnSMTP1, static_cast<SendView&>(*this));

  secrets_ = std::make_unique<corvane::auth::SecretStore>(corvane::ExtractFilePath(executablePath) + kSecretsFile);
  secrets_->OnNoKeyring = [this](const std::string& text) { dialogs.ShowMessage(text); };
  signIn_ =
      std::make_unique<SignInController>(static_cast<SignInView&>(*this), *secrets_, corvane::auth::OAuthOptions{});
  autoCheck_ = std::make_unique<AutoCheck>(AutoCheck::Host{
      [this] { return !setup_.Running() && !signIn_->Running() && AutoCheck::Idle(*ZnPOP31, *ZnSMTP1); },
      [this] {
        Account account = accountFor(AccountSide::Receive);
        signIn_->PrepareUnattended(AccountSide::Receive, account);
        return receive_->CheckUnattended(account, inTimeOut);
      },
      [this](const std::string& text) { Status(text); }});
  autoCheck_->Follow(inCheckMinutes);
}

Account Tpopform::signedIn(AccountSide side) {
  Account account = accountFor(side);
  signIn_->Prepare(side, account);
  return account;
}

// An operation may go on for a while after the window has closed: from then on no event
// of either component asks or tells anything.
void Tpopform::abortMailComponents() {
  if (autoCheck_) autoCheck_->Stop();
  if (queue_) queue_->Queue().Close();
  if (send_) send_->Close();
  if (receive_) receive_->Close();
}

// ---------------------------------------------------------------- receiving

void Tpopform::inconnectClick() {
  if (insavecheck->isChecked()) insaveClick();
  receive_->Connect(signedIn(AccountSide::Receive), inTimeOut, pinFor(AccountSide::Receive),
                    [this] { return signIn_->Renewed(AccountSide::Receive); });
}

void Tpopform::FetchWhole1Click() {
  const int r = storelist::SelectedRow(pophistlist);
  if (r < 0) return;
  receive_->FetchWhole(signedIn(AccountSide::Receive), inTimeOut, pinFor(AccountSide::Receive),
                       inboxStore().RecordHash(r), [this] { return signIn_->Renewed(AccountSide::Receive); });
}

void Tpopform::receivedpopupPopup() {
  const int r = storelist::SelectedRow(pophistlist);
  FetchWhole1->setEnabled(r >= 0 && receive_->Partial(inboxStore().RecordHash(r)));
}

void Tpopform::indisconnectClick() {
  receive_->Disconnect();
}

// ---------------------------------------------------------------- sending

void Tpopform::outconnectClick() {
  if (outsavecheck->isChecked()) saveoutClick();
  send_->Connect(signedIn(AccountSide::Send), pinFor(AccountSide::Send),
                 [this] { return signIn_->Renewed(AccountSide::Send); });
}

void Tpopform::outdisconnectClick() {
  send_->Disconnect();
}

void Tpopform::ZnSMTP1Connect(TObject* /*Sender*/) {
  send_->Connected();
  if (queue_) queue_->Queue().Connected();
}

void Tpopform::gosendClick() {
  queuePane().Queue().SendNow(compose::Outgoing(*this, draft_));
  // The same fields sent once more are another message.
  draft_.messageId.clear();
  draft_.date.clear();
}

// ---------------------------------------------------------------- the send queue

void Tpopform::loadQueue() {
  SendQueue::Host host;
  host.outbox = [this]() -> OutboxStore& { return outboxStore(); };
  host.recordSent = [this](const OutboxMessage& message) { recordSent(message); };
  host.account = [this] { return accountFor(AccountSide::Send); };
  host.tell = [this](const std::string& text) { dialogs.ShowMessage(text); };
  host.status = [this](const std::string& text) { Status(text); };
  queue_ = std::make_unique<QueuePane>(*this, appFolder + QueueStore::kFileName, *send_, *ZnSMTP1, std::move(host),
                                       [this](const std::function<void()>& action) { guard(action); });
  queue_->Queue().Load();
}

QueuePane& Tpopform::queuePane() {
  if (!queue_) throw Exception("The send queue is not loaded");
  return *queue_;
}

void Tpopform::SendLater1Click() {
  queuePane().Queue().SendLater(compose::Outgoing(*this, draft_));
  draft_.messageId.clear();
  draft_.date.clear();
}

void Tpopform::queuelistDblClick() {
  const int r = queuePane().Selected();
  if (r >= 0) draft_ = compose::ShowQueued(*this, queue_->Queue().Edit(r));
}

void Tpopform::QueueResend1Click() {
  if (const int r = queuePane().Selected(); r >= 0) queue_->Queue().Resend(r);
}

void Tpopform::QueueDelete1Click() {
  if (const int r = queuePane().Selected(); r >= 0) queue_->Queue().Remove(r);
}
