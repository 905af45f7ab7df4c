#pragma once
// The receive session: one click connects, logs in, retrieves every waiting message
// (ahead of the replies on a server that takes commands ahead, skipping what an earlier
// session already stored), keeps each one raw in the archive and as a record in the inbox
// store, puts all of it on disk, and then marks for deletion on the server what the
// account's choice gives up: everything (as always), nothing, what was stored some days
// ago, or what was deleted here.
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Account.h"
#include "MailSession.h"
#include "Znpop3.h"

class InboxStore;

class ReceiveSession : public MailSession {
 public:
  ReceiveSession(TZnPOP3& component, ReceiveView& view, std::function<InboxStore&()> inbox);
  // The component as the window starts with it.
  static std::unique_ptr<TZnPOP3> NewComponent();

  // The application folder (with its trailing separator), where attachments, the archive
  // and the unique-id file live, and the program's own file names in it, which no
  // attachment may take.
  void SetFolder(std::string folder, std::vector<std::string> reserved);

  // Configures the component from the account and connects; the session itself runs
  // inside, when the component reports the login.
  // renew gives a fresh access token after the server refused one; empty for a password.
  void Connect(const Account& account, int32_t timeOut, const std::function<void(const std::string&)>& trusted,
               const std::function<std::string()>& renew = {});
  // The same connect for one message the store holds only the header of (the record of
  // that hash): RETR replaces the record by the whole message, and then the account's
  // choice of what stays on the server applies to it. A message gone from the server is
  // told in the status bar; the partial record stays.
  void FetchWhole(const Account& account, int32_t timeOut, const std::function<void(const std::string&)>& trusted,
                  uint64_t record, const std::function<std::string()>& renew = {});
  // The record of that hash holds only the header of its message.
  bool Partial(uint64_t record) const;
  // A check nobody clicked for: the same connect, storing and deletions, then the sign-off
  // that makes the server apply them. No box is shown and nothing is asked (a certificate
  // nobody trusted stays untrusted); the page on top and the message on display stay as
  // they are. Returns how many messages it stored; raises what ended it.
  int CheckUnattended(const Account& account, int32_t timeOut);
  // Signs off, which makes the server delete what was marked; while messages come in it
  // cancels the retrieval instead.
  void Disconnect();
  // A retrieval loop is running.
  bool Receiving() const { return receiving_; }
  // Told the name of each step of a retrieval as it is done ("stored" for each message,
  // "synced", "prepared", "ids committed", "batch committed", "marked"): where a crash
  // test stops the program.
  std::function<void(std::string_view step)> OnStep;
  // The clock that ages messages kept on the server (Unix seconds); tests set their own.
  std::function<int64_t()> Now = [] { return static_cast<int64_t>(std::time(nullptr)); };

  // The component's events of its own.
  void Connected();
  void RetrieveStarted();
  void RetrieveEnded();
  void Succeeded();
  void Failed();
  // A remark of the attachment decoder, such as " No end line.".
  void Remark(const std::string& text);

 private:
  void SetSecret(const std::string& secret) override { pop3_.Password = secret; }
  class Run;
  void receiveAll();
  void fetchWhole();
  // QUIT after a failure, or a plain close when even that fails.
  void signOffQuietly();
  void step(std::string_view name) const;

  TZnPOP3& pop3_;
  ReceiveView& receiveView_;
  std::function<InboxStore&()> inbox_;
  std::string folder_;
  std::vector<std::string> reserved_;
  bool receiving_ = false;
  int storedCount_ = 0;  // messages stored by the session under way
  OnServer onServer_ = OnServer::Delete;
  int keepDays_ = 0;
  int largeKB_ = 0;           // messages over so many KB come as their header; 0: all whole
  uint64_t wholeRecord_ = 0;  // the partial record a FetchWhole completes; 0: a whole session
};
