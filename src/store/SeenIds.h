#pragma once
// The server's unique ids of the messages already in the inbox store, kept in
// "mailin.uidl" beside it, one a line. Ids are unique within one mailbox only: each is kept
// with the account it came from, so a message of another account is never taken for one
// already stored.
#include <string>
#include <unordered_set>
#include <vector>

class SeenIds {
 public:
  static constexpr const char* kFileName = "mailin.uidl";

  // account names the mailbox (host, port and user).
  SeenIds(std::string path, std::string account);

  // The mailbox's ids for this session, Ids[n - 1] for message n, and the file as the last
  // session left it.
  void Begin(std::vector<std::string> ids);
  // A session without ids (the server has none, or not one per message) keeps the file.
  bool Active() const { return !ids_.empty(); }
  // Message n was stored by an earlier session.
  bool Seen(int n) const;
  // Message n is in the store now.
  void Stored(int n);
  // Writes the file atomically: the ids this mailbox still lists that are stored, and
  // those of other accounts as they were, so the file never outgrows the mailboxes.
  void Commit() const;

 private:
  std::string path_;
  std::string account_;
  std::vector<std::string> ids_;  // with the account in front
  std::vector<bool> storedNow_;
  std::unordered_set<std::string> seen_;
};
