// The receive and send sessions of the window: the connect buttons, the send button and
// the events of the two mail components.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QStatusBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <algorithm>
#include <cctype>
#include <exception>
#include <functional>
#include <unordered_set>

#include "InboxStore.h"
#include "IniFile.h"
#include "InstanceLock.h"
#include "MboxArchive.h"
#include "PacedPaint.h"
#include "QtText.h"
#include "Streams.h"
#include "SysUtils.h"
#include "corvane.h"

namespace {

constexpr int kInboxPage = 1;
// At most this many RETR commands ahead of the message being read, and about this many
// octets of mail on their way at once, on a server that takes commands ahead.
constexpr int kMaxAhead = 100;
constexpr int64_t kAheadOctets = 4 << 20;
// Beside the inbox store: the server's unique ids of the messages already in it.
constexpr const char* kSeenIdsFile = "mailin.uidl";

// Paces a list for the life of a scope, whatever way the scope is left.
class PacedList {
 public:
  explicit PacedList(ReportList* list) : list_(list) { list_->SetPaced(true); }
  ~PacedList() {
    if (list_) list_->SetPaced(false);
  }
  PacedList(const PacedList&) = delete;
  PacedList& operator=(const PacedList&) = delete;

 private:
  QPointer<ReportList> list_;
};

// Sets a flag for the life of a scope, whatever way the scope is left.
class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = false; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

 private:
  bool& flag_;
};

// Hands the component an archive for the life of a scope.
class ArchiveScope {
 public:
  ArchiveScope(TZnPOP3& component, TRawMessageSink& archive) : component_(component) {
    component_.RawArchive = &archive;
  }
  ~ArchiveScope() { component_.RawArchive = nullptr; }
  ArchiveScope(const ArchiveScope&) = delete;
  ArchiveScope& operator=(const ArchiveScope&) = delete;

 private:
  TZnPOP3& component_;
};

// A memo shows an entry that holds a line break of its own (the reader's extraction
// notice begins with one) as two lines, and reports them so.
std::vector<std::string> memoLines(TStringList& list) {
  std::vector<std::string> lines = list.TakeItems();
  if (std::none_of(lines.begin(), lines.end(), [](const std::string& line) { return line.find("\r\n") != std::string::npos; }))
    return lines;
  std::vector<std::string> split;
  for (std::string& entry : lines) {
    size_t start = 0;
    for (size_t end; (end = entry.find("\r\n", start)) != std::string::npos; start = end + 2)
      split.push_back(entry.substr(start, end - start));
    split.push_back(start == 0 ? std::move(entry) : entry.substr(start));
  }
  return split;
}

// The same for a body, in place: its lines can be far too many to copy.
TLineList memoLines(TLineList& list) {
  TLineList lines = std::move(list);
  list.Clear();
  lines.SplitLines("\r\n");
  return lines;
}

void assignLines(TStringList& list, const std::vector<std::string>& lines) {
  list.Clear();
  for (const std::string& line : lines) list.Add(line);
}

// Runs a component operation started by a click. Closing the window aborts the components,
// and an operation that then ends in a failure has nobody left to tell.
void quietOnceClosed(bool& closing, const std::function<void()>& operation) {
  closing = false;
  try {
    operation();
  } catch (const std::exception&) {
    if (!closing) throw;
  }
}

// Closing the window aborts the components, but Abort leaves a connect that is still under
// way alone. Such a connect that then succeeds is dropped as soon as it reports in, which
// also cancels the operation it belongs to, as closing does with every other operation.
bool dropIfClosed(bool closing, TZnSocket& component) {
  if (closing) component.Abort();
  return closing;
}

TSecurity securityOf(const QComboBox* box) {
  switch (box->currentIndex()) {
    case 1:
      return secStartTLS;
    case 2:
      return secSSLTLS;
    default:
      return secNone;
  }
}

}  // namespace

void Tpopform::connectTrusting(TZnSocket& component, std::string& pin, QCheckBox* saveBox, const char* section,
                               const std::function<void()>& connect) {
  try {
    connect();
    return;
  } catch (const ECertificateError& refused) {
    if (closing_ || refused.Fingerprint.empty()) throw;
    showFailure(refused);
    const std::string question = "Trust the certificate of " + component.Host + " with the SHA-256 fingerprint\n" +
                                 refused.Fingerprint +
                                 "\nfor this account from now on?\n\nAnswer Yes only if the server's administrator "
                                 "confirmed this fingerprint to you.";
    if (!dialogs.Confirm(question, TConfirmButtons::YesNo)) return;
    pin = refused.Fingerprint;
    component.CertFingerprint = pin;
    if (saveBox->isChecked()) IniFile(settingsPath).WriteString(section, "CertFingerprint", pin);
  }
  connect();
}

void Tpopform::createMailComponents() {
  ZnPOP31 = std::make_unique<TZnPOP3>();
  ZnPOP31->Port = 110;
  ZnPOP31->ReportLevel = 0;
  ZnPOP31->DeleteOnRead = false;
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
  ZnPOP31->OnMessage = [this](const std::string& Text) {
    if (!closing_) dialogs.ShowMessage(Text);
  };

  ZnSMTP1 = std::make_unique<TZnSMTP>();
  ZnSMTP1->Port = 25;
  ZnSMTP1->TimeOut = 60000;
  ZnSMTP1->ReportLevel = 0;
  ZnSMTP1->PostMessage.LocalProgram = "Corvane 1.0";
  ZnSMTP1->EncodeType = uuMime;
  ZnSMTP1->ClearParams = true;
  ZnSMTP1->SubType = mtPlain;
  ZnSMTP1->OnDisconnect = [this](TObject* Sender) { ZnSMTP1Disconnect(Sender); };
  ZnSMTP1->OnConnect = [this](TObject* Sender) { ZnSMTP1Connect(Sender); };
  ZnSMTP1->OnInvalidHost = [this](bool& Handled) { ZnSMTP1InvalidHost(Handled); };
  ZnSMTP1->OnHostResolved = [this](TObject* Sender) { ZnSMTP1HostResolved(Sender); };
  ZnSMTP1->OnStatus = [this](TObject* Sender, const std::string& Status) { ZnSMTP1Status(Sender, Status); };
  ZnSMTP1->OnConnectionFailed = [this](TObject* Sender) { ZnSMTP1ConnectionFailed(Sender); };
  ZnSMTP1->OnPacketSent = [this](TObject* Sender) { ZnSMTP1PacketSent(Sender); };
  ZnSMTP1->OnConnectionRequired = [this](bool& Handled) { ZnSMTP1ConnectionRequired(Handled); };
  ZnSMTP1->OnRecipientNotFound = [this](const std::string& Recipient) { ZnSMTP1RecipientNotFound(Recipient); };
  ZnSMTP1->OnHeaderIncomplete = [this](bool& Handled, int hiType) { ZnSMTP1HeaderIncomplete(Handled, hiType); };
  ZnSMTP1->OnSendStart = [this](TObject* Sender) { ZnSMTP1SendStart(Sender); };
  ZnSMTP1->OnSuccess = [this](TObject* Sender) { ZnSMTP1Success(Sender); };
  ZnSMTP1->OnFailure = [this](TObject* Sender) { ZnSMTP1Failure(Sender); };
  ZnSMTP1->OnEncodeStart = [this](const std::string& Filename) { ZnSMTP1EncodeStart(Filename); };
  ZnSMTP1->OnEncodeEnd = [this](const std::string& Filename) { ZnSMTP1EncodeEnd(Filename); };
}

// An operation may go on for a while after the window has closed (see dropIfClosed): from
// then on no event of either component asks or tells anything.
void Tpopform::abortMailComponents() {
  closing_ = true;
  if (ZnSMTP1) ZnSMTP1->Abort();
  if (ZnPOP31) ZnPOP31->Abort();
  // Abort leaves a host lookup or connect under way to its time-out, which would keep the
  // closed program running for up to a minute: cancel those waits as well.
  if (ZnSMTP1 && ZnSMTP1->Busy() && !ZnSMTP1->Connected) ZnSMTP1->Cancel();
  if (ZnPOP31 && ZnPOP31->Busy() && !ZnPOP31->Connected) ZnPOP31->Cancel();
}

// ---------------------------------------------------------------- receiving

void Tpopform::inconnectClick() {
  if (insavecheck->isChecked()) insaveClick();
  ZnPOP31->AttachFilePath = appFolder;
  // A received file must not take the name of one of the program's own files there, or
  // the program would load it at its next start as its settings or its address book.
  ZnPOP31->ReservedFileNames = {corvane::ExtractFileName(executablePath),
                                corvane::ExtractFileName(settingsPath),
                                "mailin.txt",
                                "mailin.txt.journal",
                                "mailin.mbox",
                                kSeenIdsFile,
                                "mailout.txt",
                                "mailout.txt.journal",
                                "mailbook.txt",
                                "Corvane.hlp",
                                InstanceLock::FileName};
  ZnPOP31->DeleteOnRead = false;
  ZnPOP31->ReportLevel = 2;
  ZnPOP31->Host = corvane::GetText(inHost);
  ZnPOP31->Port = corvane::StrToInt(corvane::GetText(inPort));
  ZnPOP31->UserID = corvane::GetText(inUserID);
  ZnPOP31->Password = corvane::GetText(inPassword);
  ZnPOP31->TimeOut = inTimeOut;
  ZnPOP31->Security = securityOf(inSecurity);
  ZnPOP31->CAFile = inCAFile;
  ZnPOP31->CertFingerprint = inCertFingerprint;
  quietOnceClosed(closing_, [this] {
    connectTrusting(*ZnPOP31, inCertFingerprint, insavecheck, "INBOX", [this] { ZnPOP31->Connect(); });
  });
}

void Tpopform::indisconnectClick() {
  // A QUIT in the middle of a retrieval would be read as part of the message and could
  // make the server drop messages before they are stored: cancel the retrieval instead.
  if (receiving_) {
    ZnPOP31->Abort();
    return;
  }
  ZnPOP31->Disconnect();
}

void Tpopform::ZnPOP31Connect(TObject* /*Sender*/) {
  setStatus("Connected");
  if (dropIfClosed(closing_, *ZnPOP31)) return;
  // A reconnect asked for inside a retrieval of the running loop logs in again and lands
  // here; the loop itself goes on with that session, so this run stores and deletes nothing.
  if (receiving_) return;
  mailbinder->setCurrentIndex(kInboxPage);
  // A session that failed after the login is closed already; its count is stale.
  if (!ZnPOP31->Connected) return;
  receiveAll();
  mailbinder->setCurrentIndex(kInboxPage);
}

namespace {

// The inbox record of a retrieved message, exactly what popsaveClick would take from the
// display fields once they show it: the text fields and the list keep any text, and a memo
// gives its entries back as they went in except that one holding CR LF reads as two lines.
// The lines are taken from the message, not copied: a message can be very large.
InboxMessage inboxRecordOf(TMailMessage& message) {
  InboxMessage record;
  record.From = message.From;
  record.Subject = message.Subject;
  record.Header = memoLines(message.Header);
  record.Body = memoLines(message.Body);
  record.Attachments = message.Attachments.Items();
  return record;
}

// What the display fields get of a record: all of it, but only the beginning of a body
// too long for a memo to lay out without keeping the window waiting.
InboxMessage shownPart(const InboxMessage& record) {
  return {record.From, record.Subject, record.Header, record.Body.First(corvane::MemoShownLines(record.Body)),
          record.Attachments};
}

// Ends the inbox store's batch whatever way the loop is left: what was stored stays, and
// the next session's journal starts afresh.
class StoreBatch {
 public:
  explicit StoreBatch(InboxStore& store) : store_(store) { store_.BeginBatch(); }
  ~StoreBatch() {
    try {
      store_.CommitBatch();
    } catch (const std::exception&) {
      // The journal stays; the next load undoes the batch, whose messages are still on the server.
    }
  }
  void Commit() { store_.CommitBatch(); }
  StoreBatch(const StoreBatch&) = delete;
  StoreBatch& operator=(const StoreBatch&) = delete;

 private:
  InboxStore& store_;
};

// RFC 2449: the capability's name is the first word of its line, in any case.
bool announcesPipelining(const std::vector<std::string>& capabilities) {
  for (const std::string& line : capabilities) {
    const std::string name = line.substr(0, line.find(' '));
    if (name.size() == 10 && std::equal(name.begin(), name.end(), "PIPELINING", [](char a, char b) {
          return std::toupper(static_cast<unsigned char>(a)) == b;
        }))
      return true;
  }
  return false;
}

// The ids of messages already stored, one per line, as the last session left them.
std::unordered_set<std::string> readSeenIds(const std::string& path) {
  std::unordered_set<std::string> ids;
  if (!corvane::FileExists(path)) return ids;
  const std::string text = corvane::ReadFile(path);
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    if (end > start) ids.insert(text.substr(start, end - start));
  return ids;
}

}  // namespace

void Tpopform::showReceived(const InboxMessage& shown, size_t bodyLines, int row) {
  // Scrolling to the newest row needs the list laid out with all its rows.
  pophistlist->SetPaced(false);
  selectNewestRow();
  corvane::SetText(popfrom, shown.From);
  corvane::SetText(popsubject, shown.Subject);
  corvane::SetMemoLines(popmsgheader, shown.Header);
  corvane::ShowBody(popmsgbody, shown.Body.Items(), bodyLines);
  cutBodyRow_ = static_cast<size_t>(shown.Body.Count()) < bodyLines ? row : kBodyWhole;
  corvane::SetItems(popatt, shown.Attachments);
}

void Tpopform::receiveAll() {
  const FlagScope receiving(receiving_);
  // The list shows its new rows, and the status bar its latest text, a few times a second meanwhile.
  const PacedList pacing(pophistlist);
  const PacedPaint statusPacing(StatusBar1);
  // Every message exactly as received goes into the raw archive during its retrieval, so
  // that whatever the reader makes of it, the original is kept.
  MboxArchive archive(appFolder + "mailin.mbox");
  const ArchiveScope archiving(*ZnPOP31, archive);
  std::vector<std::string> written{archive.Path()};
  const int32_t count = ZnPOP31->MessageCount();
  // A server with unique ids tells which messages an earlier session already stored (one
  // cut off before its deletions took effect): those are deleted again but not fetched.
  std::vector<std::string> ids;
  const std::string seenPath = appFolder + kSeenIdsFile;
  std::unordered_set<std::string> seen;
  int ahead = 0;
  // Ids are unique within one mailbox only: each is kept with the account it came from,
  // so a message of another account is never taken for one already stored.
  const std::string account = ZnPOP31->Host + " " + std::to_string(ZnPOP31->Port) + " " + ZnPOP31->UserID + " ";
  if (count > 0) {
    std::vector<std::string> capabilities;
    if (ZnPOP31->RetrieveCapabilities(capabilities) && announcesPipelining(capabilities)) {
      const int64_t average = std::max<int64_t>(ZnPOP31->MailboxOctets() / count, 1);
      ahead = static_cast<int>(std::clamp<int64_t>(kAheadOctets / average, 1, kMaxAhead));
    }
    if (ZnPOP31->RetrieveUniqueIds(ids) && std::ssize(ids) == count) {
      seen = readSeenIds(seenPath);
      for (std::string& id : ids) id.insert(0, account);
    } else {
      ids.clear();
    }
  }
  std::vector<int32_t> wanted;
  for (int32_t i = 1; i <= count; ++i)
    if (ids.empty() || !seen.contains(ids[static_cast<size_t>(i - 1)])) wanted.push_back(i);
  ZnPOP31->PlanRetrievals(wanted, ahead);
  std::vector<bool> storedNow(static_cast<size_t>(std::max(count, 0)));
  // Only ids the server still lists are kept, so the file never outgrows the mailbox;
  // those of other accounts stay as they are.
  const auto seenNow = [&] {
    std::string text;
    for (const std::string& id : seen)
      if (!id.starts_with(account)) text += id + "\n";
    for (size_t i = 0; i < ids.size(); ++i)
      if (storedNow[i] || seen.contains(ids[i])) text += ids[i] + "\n";
    return text;
  };
  // The records go to the store file as they come, synced once for the whole session.
  StoreBatch batch(inboxStore());
  // Laying out the display fields costs more than the rest of a message's way: they show
  // the last message retrieved, set once the loop ends, however it ends.
  InboxMessage last;
  size_t lastLines = 0;
  int lastRow = kBodyNotStored;
  bool unshown = false;
  // The archive, every attachment file and the store's records of the session, with their
  // folder entries, are on disk before the first deletion, and the seen ids after them: a
  // constant number of syncs, and an id never names a message the store might lose.
  const auto commit = [&] {
    corvane::SyncReceivedFiles(appFolder, written);
    batch.Commit();
    if (!ids.empty()) corvane::WriteFileAtomically(seenPath, seenNow());
  };
  try {
    for (int32_t i = 1; i <= count; ++i) {
      if (!ids.empty() && seen.contains(ids[static_cast<size_t>(i - 1)])) continue;
      ZnPOP31->RetrieveMessage(i);
      TMailMessage& message = ZnPOP31->MailMessage();
      for (const std::string& name : message.Attachments.Items()) written.push_back(appFolder + name);
      InboxMessage record = inboxRecordOf(message);
      last = shownPart(record);
      lastLines = static_cast<size_t>(record.Body.Count());
      lastRow = kBodyNotStored;
      unshown = true;
      // A failure here ends the loop, so no message is ever marked for deletion unless
      // every message of the session is kept.
      storeReceived(std::move(record));
      // A merge with another writer's records puts this side's new ones last.
      lastRow = inboxStore().Count() - 1;
      storedNow[static_cast<size_t>(i - 1)] = true;
    }
  } catch (...) {
    if (unshown && !closing_) showReceived(last, lastLines, lastRow);
    // What was stored is kept as durably as after a whole session.
    try {
      if (count > 0) commit();
    } catch (const std::exception&) {
    }
    throw;
  }
  if (unshown) showReceived(last, lastLines, lastRow);
  if (count > 0) commit();
  std::vector<int32_t> all(static_cast<size_t>(std::max(count, 0)));
  for (int32_t j = 1; j <= count; ++j) all[static_cast<size_t>(j - 1)] = j;
  ZnPOP31->DeleteMessages(all);
}

void Tpopform::ZnPOP31Disconnect(TObject* /*Sender*/) {
  if (StatusBar1) setStatus("Disconnected");
}

void Tpopform::ZnPOP31Status(TObject* /*Sender*/, const std::string& Status) {
  if (StatusBar1) setStatus(Status);
}

void Tpopform::ZnPOP31HostResolved(TObject* /*Sender*/) {
  setStatus("Host Resolved");
}

void Tpopform::ZnPOP31ConnectionFailed(TObject* /*Sender*/) {
  if (!closing_) dialogs.ShowMessage("Connection Failed");
}

void Tpopform::ZnPOP31ConnectionRequired(bool& Handled) {
  if (closing_ || !dialogs.Confirm("Connection Required. Connect?", TConfirmButtons::OkCancel)) return;
  Handled = true;
  ZnPOP31->Connect();
}

void Tpopform::ZnPOP31InvalidHost(bool& Handled) {
  std::string host;
  if (closing_ || !dialogs.InputQuery("Invalid Host!", "Specify a new host:", host)) return;
  ZnPOP31->Host = host;
  Handled = true;
}

void Tpopform::ZnPOP31RetrieveStart(TObject* /*Sender*/) {
  setCursor(Qt::WaitCursor);
  setStatus("Retrieval start");
}

void Tpopform::ZnPOP31RetrieveEnd(TObject* /*Sender*/) {
  unsetCursor();
  setStatus("Retrieval end");
}

void Tpopform::ZnPOP31Success(TObject* /*Sender*/) {
  setStatus("Operation successful");
}

void Tpopform::ZnPOP31Failure(TObject* /*Sender*/) {
  if (!closing_) dialogs.ShowMessage("Operation failed");
}

// ---------------------------------------------------------------- sending

void Tpopform::outconnectClick() {
  if (outsavecheck->isChecked()) saveoutClick();
  ZnSMTP1->Host = corvane::GetText(outhost);
  ZnSMTP1->Port = corvane::StrToInt(corvane::GetText(outport));
  ZnSMTP1->UserID = corvane::GetText(outuserid);
  ZnSMTP1->Security = securityOf(outSecurity);
  ZnSMTP1->CAFile = outCAFile;
  ZnSMTP1->CertFingerprint = outCertFingerprint;
  ZnSMTP1->AuthUser = corvane::GetText(outAuthUser);
  ZnSMTP1->AuthPassword = corvane::GetText(outAuthPassword);
  quietOnceClosed(closing_, [this] {
    connectTrusting(*ZnSMTP1, outCertFingerprint, outsavecheck, "OUTBOX", [this] { ZnSMTP1->Connect(); });
  });
}

void Tpopform::outdisconnectClick() {
  ZnSMTP1->Disconnect();
}

void Tpopform::gosendClick() {
  TPostMessage& post = ZnSMTP1->PostMessage;
  post.FromAddress = corvane::GetText(localemail);
  post.FromName = corvane::GetText(localname);
  post.Subject = corvane::GetText(outsubject);
  assignLines(post.ToAddress, corvane::GetItems(mailto));
  assignLines(post.Attachments, corvane::GetItems(outattach));
  assignLines(post.Body, corvane::GetMemoLines(outbody));
  quietOnceClosed(closing_, [this] { ZnSMTP1->SendMail(); });
}

void Tpopform::ZnSMTP1Connect(TObject* /*Sender*/) {
  setStatus("Connected");
  dropIfClosed(closing_, *ZnSMTP1);
}

void Tpopform::ZnSMTP1Disconnect(TObject* /*Sender*/) {
  if (StatusBar1) setStatus("Disconnected");
}

void Tpopform::ZnSMTP1ConnectionFailed(TObject* /*Sender*/) {
  if (!closing_) dialogs.ShowMessage("Connection Failed");
}

void Tpopform::ZnSMTP1HostResolved(TObject* /*Sender*/) {
  setStatus("Host Resolved");
}

void Tpopform::ZnSMTP1Status(TObject* /*Sender*/, const std::string& Status) {
  if (StatusBar1) setStatus(Status);
}

void Tpopform::ZnSMTP1InvalidHost(bool& Handled) {
  std::string host;
  if (closing_ || !dialogs.InputQuery("Invalid Host!", "Specify a new host:", host)) return;
  ZnSMTP1->Host = host;
  Handled = true;
}

void Tpopform::ZnSMTP1ConnectionRequired(bool& Handled) {
  if (closing_ || !dialogs.Confirm("Connection Required. Connect?", TConfirmButtons::OkCancel)) return;
  Handled = true;
  ZnSMTP1->Connect();
}

void Tpopform::ZnSMTP1HeaderIncomplete(bool& /*Handled*/, int /*hiType*/) {
  if (!closing_) dialogs.ShowMessage("Header Incomplete.");
}

void Tpopform::ZnSMTP1SendStart(TObject* /*Sender*/) {
  setStatus("Sending message");
}

void Tpopform::ZnSMTP1EncodeStart(const std::string& Filename) {
  setStatus("Encoding " + Filename);
}

void Tpopform::ZnSMTP1EncodeEnd(const std::string& Filename) {
  setStatus("Finished encoding " + Filename);
}

void Tpopform::ZnSMTP1PacketSent(TObject* /*Sender*/) {
  setStatus(std::to_string(ZnSMTP1->BytesSent) + " bytes of " + std::to_string(ZnSMTP1->BytesTotal) + " sent");
}

void Tpopform::ZnSMTP1RecipientNotFound(const std::string& Recipient) {
  if (!closing_) dialogs.ShowMessage("Recipient \"" + Recipient + "\" not found");
}

void Tpopform::ZnSMTP1Failure(TObject* /*Sender*/) {
  setStatus("Failure");
}

void Tpopform::ZnSMTP1Success(TObject* /*Sender*/) {
  setStatus("Success");
  outsaveClick();
}
