#include "ReceiveSession.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <string_view>

#include "FileSync.h"
#include "InboxStore.h"
#include "MboxArchive.h"
#include "QtText.h"
#include "SeenIds.h"

namespace {

// At most this many RETR commands ahead of the message being read, and about this many
// octets of mail on their way at once, on a server that takes commands ahead.
constexpr int kMaxAhead = 100;
constexpr int64_t kAheadOctets = 4 << 20;

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

// Tells the view that a session stores messages, for the life of a scope.
class ReceivingScope {
 public:
  explicit ReceivingScope(ReceiveView& view) : view_(view) { view_.Receiving(true); }
  ~ReceivingScope() { view_.Receiving(false); }
  ReceivingScope(const ReceivingScope&) = delete;
  ReceivingScope& operator=(const ReceivingScope&) = delete;

 private:
  ReceiveView& view_;
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

// The inbox store's batch of a session. It is committed in one step with the unique ids:
// the ids file names the batch, so that a crash on either side of that step leaves the
// records and their ids together, or neither. A batch not committed stays journaled, and
// the next load undoes it (its messages are still on the server) or the next session's
// batch takes it over.
class StoreBatch {
 public:
  explicit StoreBatch(InboxStore& store) : store_(store) { store_.BeginBatch(); }
  void Commit(SeenIds& seen, int64_t archived, const std::function<void(std::string_view)>& step) {
    const std::string token = store_.PrepareBatch();
    step("prepared");
    seen.Commit(token, archived);
    step("ids committed");
    store_.CommitBatch();
    step("batch committed");
  }
  StoreBatch(const StoreBatch&) = delete;
  StoreBatch& operator=(const StoreBatch&) = delete;

 private:
  InboxStore& store_;
};

// A memo shows an entry that holds a line break of its own (the reader's extraction
// notice begins with one) as two lines, and reports them so.
std::vector<std::string> memoLines(TStringList& list) {
  std::vector<std::string> lines = list.TakeItems();
  if (std::none_of(lines.begin(), lines.end(),
                   [](const std::string& line) { return line.find("\r\n") != std::string::npos; }))
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

// The body of a record that holds only the header of a message of that many octets.
TLineList partialNote(int64_t octets) {
  const std::string digits = std::to_string((octets + 1023) / 1024);
  std::string note = "[Only the header of this message was fetched: its size is ";
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) note += ',';
    note += digits[i];
  }
  note += " KB. Choose Fetch whole message in the list's pop-up menu to fetch it.]";
  return {note};
}

// RFC 2449: the capability's name is the first word of its line, in any case.
bool announces(const std::vector<std::string>& capabilities, std::string_view name) {
  for (const std::string& line : capabilities) {
    const std::string word = line.substr(0, line.find(' '));
    if (std::equal(word.begin(), word.end(), name.begin(), name.end(),
                   [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; }))
      return true;
  }
  return false;
}

}  // namespace

// One session's retrieval: what it plans, what it stored and what it last showed.
class ReceiveSession::Run {
 public:
  Run(ReceiveSession& session, const MboxArchive& archive, int64_t archived)
      : s_(session),
        pop3_(session.pop3_),
        archive_(archive),
        count_(pop3_.MessageCount()),
        seen_(session.folder_ + SeenIds::kFileName, pop3_.Host, pop3_.UserID),
        written_{archive.Path()},
        archived_(archived) {}

  // A server with unique ids tells which messages an earlier session already stored (one
  // cut off before its deletions took effect): those are deleted again but not fetched.
  void Plan() {
    int ahead = 0;
    std::vector<std::string> ids;
    if (count_ > 0) {
      std::vector<std::string> capabilities;
      pop3_.RetrieveCapabilities(capabilities);
      // Before anything of a message is asked for: from then on its headers come as they are.
      if (announces(capabilities, "UTF8") && !pop3_.Utf8Mode()) pop3_.EnableUtf8();
      if (announces(capabilities, "PIPELINING")) {
        const int64_t average = std::max<int64_t>(pop3_.MailboxOctets() / count_, 1);
        ahead = static_cast<int>(std::clamp<int64_t>(kAheadOctets / average, 1, kMaxAhead));
      }
      if (!pop3_.RetrieveUniqueIds(ids) || std::ssize(ids) != count_) ids.clear();
      // Only ids keep a header-only message from being fetched or deleted by the next session.
      if (s_.largeKB_ > 0 && !ids.empty() && !s_.wholeRecord_ &&
          (!pop3_.RetrieveSizes(sizes_) || std::ssize(sizes_) != count_))
        sizes_.clear();
    }
    now_ = s_.Now();
    seen_.Begin(std::move(ids), now_);
    if (count_ > 0) s_.receiveView_.UniqueIds(seen_.Active());
    std::vector<int32_t> wanted;
    for (int32_t i = 1; i <= count_; ++i)
      if (!seen_.Seen(i) && !large(i)) wanted.push_back(i);
    // Fetching one message whole sends nothing ahead of it.
    pop3_.PlanRetrievals(s_.wholeRecord_ != 0 ? std::vector<int32_t>{} : wanted, ahead);
  }

  // Replaces the partial record of that hash by its whole message and applies the
  // account's choice to it; false when the server no longer lists it.
  bool CompleteWhole(uint64_t hash) {
    const int32_t n = seen_.PartialNumber(hash);
    InboxStore& inbox = s_.inbox_();
    int row = inbox.Count() - 1;
    while (row >= 0 && inbox.RecordHash(row) != hash) --row;
    if (n == 0 || row < 0) return false;
    pop3_.RetrieveMessage(n);
    TMailMessage& message = pop3_.MailMessage();
    for (const std::string& name : message.Attachments.Items()) written_.push_back(s_.folder_ + name);
    InboxMessage record = inboxRecordOf(message);
    last_ = shownPart(record);
    lastLines_ = static_cast<size_t>(record.Body.Count());
    // The store file is replaced whole before the ids say the record is whole: across a
    // crash the store holds the message once, as its header or whole.
    inbox.Replace(row, std::move(record));
    seen_.Completed(n, inbox.RecordHash(row));
    archived_ = std::max<int64_t>(archived_, archive_.End());
    corvane::SyncReceivedFiles(s_.folder_, written_);
    seen_.Commit({}, archived_);
    s_.step("ids committed");
    lastRow_ = row;
    show();
    if (deletes(n)) pop3_.DeleteMessages({n});
    return true;
  }

  // The records go to the store file as they come, synced once for the whole session.
  // Laying out the display fields costs more than the rest of a message's way: they show
  // the last message retrieved, set once the loop ends, however it ends.
  void RetrieveAll() {
    StoreBatch batch(s_.inbox_());
    try {
      // Headers first: the RETRs planned ahead then go out unbroken.
      for (int32_t i = 1; i <= count_; ++i)
        if (!seen_.Seen(i) && large(i)) retrieveHeader(i);
      for (int32_t i = 1; i <= count_; ++i)
        if (!seen_.Seen(i)) retrieve(i);
    } catch (...) {
      if (unshown_ && !s_.closing_) show();
      // What was stored is kept as durably as after a whole session.
      try {
        commit(batch);
      } catch (const std::exception&) {
      }
      throw;
    }
    if (unshown_) show();
    commit(batch);
  }

  // Marks for deletion what the account's choice gives up on the server; every message
  // of the session is stored by now.
  void DeleteChosen() {
    std::vector<int32_t> doomed;
    doomed.reserve(static_cast<size_t>(std::max(count_, 0)));
    for (int32_t j = 1; j <= count_; ++j)
      if (deletes(j)) doomed.push_back(j);
    if (!doomed.empty()) pop3_.DeleteMessages(doomed);
  }

 private:
  bool large(int32_t i) const {
    return !sizes_.empty() && sizes_[static_cast<size_t>(i - 1)] > int64_t{s_.largeKB_} * 1024;
  }

  void retrieve(int32_t i) {
    pop3_.RetrieveMessage(i);
    TMailMessage& message = pop3_.MailMessage();
    for (const std::string& name : message.Attachments.Items()) written_.push_back(s_.folder_ + name);
    keep(i, inboxRecordOf(message), false);
  }

  // The header only, with a note for a body: listed as any message, never deleted on the
  // server while it stays so.
  void retrieveHeader(int32_t i) {
    pop3_.RetrieveHeader(i);
    InboxMessage record = inboxRecordOf(pop3_.MailMessage());
    record.Body = partialNote(sizes_[static_cast<size_t>(i - 1)]);
    record.Attachments.clear();
    keep(i, std::move(record), true);
  }

  void keep(int32_t i, InboxMessage record, bool partial) {
    last_ = shownPart(record);
    lastLines_ = static_cast<size_t>(record.Body.Count());
    lastRow_ = -1;
    unshown_ = true;
    // A failure here ends the loop, so no message is ever marked for deletion unless
    // every message of the session is kept.
    InboxStore& inbox = s_.inbox_();
    inbox.Store(std::move(record));
    s_.receiveView_.Stored();
    // A merge with another writer's records puts this side's new ones last.
    lastRow_ = inbox.Count() - 1;
    ++s_.storedCount_;
    seen_.Stored(i, inbox.RecordHash(lastRow_), partial);
    archived_ = std::max<int64_t>(archived_, archive_.End());
    s_.step("stored");
  }

  // Without unique ids nothing tells the messages apart across sessions: stored means gone.
  bool deletes(int32_t n) const {
    if (!seen_.Active()) return true;
    // A header-only message stays until it is whole, or until its record is deleted here.
    if (seen_.Partial(n) && !seen_.DeletedHere(n)) return false;
    const int64_t firstSeen = seen_.FirstSeen(n);
    switch (s_.onServer_) {
      case OnServer::Keep:
        return false;
      case OnServer::KeepDays:
        return firstSeen >= 0 && now_ - firstSeen >= int64_t{s_.keepDays_} * 86400;
      case OnServer::FollowLocal:
        return seen_.DeletedHere(n);
      case OnServer::Delete:
        break;
    }
    return true;
  }

  // A check nobody clicked for leaves the message the user reads on display.
  void show() {
    if (!s_.Unattended()) s_.receiveView_.ShowReceived(last_, lastLines_, lastRow_);
  }

  // The archive, every attachment file and the store's records of the session, with their
  // folder entries, are on disk before the first deletion; the seen ids, with the archive's
  // length up to the last message stored, commit them: a constant number of syncs, and an
  // id never names a message the store might lose, nor misses one it keeps.
  void commit(StoreBatch& batch) {
    if (count_ <= 0) return;
    corvane::SyncReceivedFiles(s_.folder_, written_);
    s_.step("synced");
    batch.Commit(seen_, archived_, [this](std::string_view name) { s_.step(name); });
  }

  ReceiveSession& s_;
  TZnPOP3& pop3_;
  const MboxArchive& archive_;
  const int32_t count_;
  SeenIds seen_;
  int64_t now_ = 0;
  std::vector<int64_t> sizes_;  // LIST's, when some messages come as their header only
  std::vector<std::string> written_;
  int64_t archived_;  // the archive's length up to the last message stored
  InboxMessage last_;
  size_t lastLines_ = 0;
  int lastRow_ = -1;
  bool unshown_ = false;
};

ReceiveSession::ReceiveSession(TZnPOP3& component, ReceiveView& view, std::function<InboxStore&()> inbox)
    : MailSession(component, view), pop3_(component), receiveView_(view), inbox_(std::move(inbox)) {}

std::unique_ptr<TZnPOP3> ReceiveSession::NewComponent() {
  auto component = std::make_unique<TZnPOP3>();
  component->Port = 110;
  component->ReportLevel = 0;
  component->DeleteOnRead = false;
  return component;
}

void ReceiveSession::SetFolder(std::string folder, std::vector<std::string> reserved) {
  folder_ = std::move(folder);
  reserved_ = std::move(reserved);
}

void ReceiveSession::Connect(const Account& account, int32_t timeOut,
                             const std::function<void(const std::string&)>& trusted,
                             const std::function<std::string()>& renew) {
  pop3_.AttachFilePath = folder_;
  pop3_.ReservedFileNames = reserved_;
  pop3_.DeleteOnRead = false;
  pop3_.ReportLevel = 2;
  account.Configure(pop3_);
  pop3_.UserID = account.userId;
  pop3_.Password = account.password;
  pop3_.SaslLogin = !account.login.empty();
  pop3_.BearerToken = account.OAuth2();
  pop3_.PreferXOAuth2 = corvane::auth::Resolved(account.OAuth()).mechanism == "XOAUTH2";
  pop3_.AllowPlainLogin = account.PlainLoginAllowed();
  pop3_.TimeOut = timeOut;
  onServer_ = account.ServerChoice();
  keepDays_ = account.KeepDaysCount();
  largeKB_ = account.LargeKBCount();
  Quietly([&] { ConnectTrusting(trusted, account.OAuth2() ? renew : nullptr); });
}

void ReceiveSession::FetchWhole(const Account& account, int32_t timeOut,
                                const std::function<void(const std::string&)>& trusted, uint64_t record,
                                const std::function<std::string()>& renew) {
  wholeRecord_ = record;
  struct Reset {
    uint64_t& record;
    ~Reset() { record = 0; }
  } reset{wholeRecord_};
  Connect(account, timeOut, trusted, renew);
}

bool ReceiveSession::Partial(uint64_t record) const {
  return SeenIds::IsPartial(folder_ + SeenIds::kFileName, record);
}

int ReceiveSession::CheckUnattended(const Account& account, int32_t timeOut) {
  const FlagScope quiet(unattended_);
  storedCount_ = 0;
  try {
    Connect(account, timeOut, nullptr);
  } catch (...) {
    // What was marked was stored first: signing off applies only safe deletions.
    signOffQuietly();
    throw;
  }
  pop3_.Disconnect();
  return storedCount_;
}

void ReceiveSession::signOffQuietly() {
  try {
    if (pop3_.Connected) pop3_.Disconnect();
  } catch (const std::exception&) {
    pop3_.Abort();
  }
}

void ReceiveSession::Disconnect() {
  // A QUIT in the middle of a retrieval would be read as part of the message and could
  // make the server drop messages before they are stored: cancel the retrieval instead.
  if (receiving_) {
    pop3_.Abort();
    return;
  }
  pop3_.Disconnect();
}

void ReceiveSession::Connected() {
  view_.Status("Connected");
  if (DropIfClosed()) return;
  // A reconnect asked for inside a retrieval of the running loop logs in again and lands
  // here; the loop itself goes on with that session, so this run stores and deletes nothing.
  if (receiving_) return;
  // A check nobody clicked for keeps the page the user is on.
  if (!Unattended()) receiveView_.ShowInbox();
  // A session that failed after the login is closed already; its count is stale.
  if (!pop3_.Connected) return;
  if (wholeRecord_ != 0)
    fetchWhole();
  else
    receiveAll();
  if (!Unattended()) receiveView_.ShowInbox();
}

void ReceiveSession::receiveAll() {
  const FlagScope receiving(receiving_);
  const ReceivingScope pacing(receiveView_);
  // Every message exactly as received goes into the raw archive during its retrieval, so
  // that whatever the reader makes of it, the original is kept.
  // What an earlier session appended without committing it, or left torn, goes first.
  const std::string path = folder_ + "mailin.mbox";
  const std::string ids = folder_ + SeenIds::kFileName;
  const int64_t committed = SeenIds::ArchiveLength(ids);
  const int64_t archived = MboxArchive::Recover(path, committed);
  // The archive as an earlier version left it counts as committed.
  if (committed < 0) SeenIds::RecordArchiveLength(ids, archived);
  MboxArchive archive(path);
  const ArchiveScope archiving(pop3_, archive);
  Run run(*this, archive, archived);
  run.Plan();
  run.RetrieveAll();
  run.DeleteChosen();
  step("marked");
}

void ReceiveSession::fetchWhole() {
  const FlagScope receiving(receiving_);
  const ReceivingScope pacing(receiveView_);
  const std::string path = folder_ + "mailin.mbox";
  const int64_t archived = MboxArchive::Recover(path, SeenIds::ArchiveLength(folder_ + SeenIds::kFileName));
  MboxArchive archive(path);
  const ArchiveScope archiving(pop3_, archive);
  Run run(*this, archive, archived);
  run.Plan();
  if (!run.CompleteWhole(wholeRecord_)) view_.Status("The message is no longer on the server");
}

void ReceiveSession::step(std::string_view name) const {
  if (OnStep) OnStep(name);
}

void ReceiveSession::RetrieveStarted() {
  receiveView_.Busy(true);
  view_.Status("Retrieval start");
}

void ReceiveSession::RetrieveEnded() {
  receiveView_.Busy(false);
  view_.Status("Retrieval end");
}

void ReceiveSession::Succeeded() {
  view_.Status("Operation successful");
}

void ReceiveSession::Failed() {
  if (!Unattended()) view_.Ask().ShowMessage("Operation failed");
}

void ReceiveSession::Remark(const std::string& text) {
  if (closing_) return;
  if (unattended_)
    view_.Status(text);
  else
    view_.Ask().ShowMessage(text);
}
