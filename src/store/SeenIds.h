#pragma once
// The server's unique ids of the messages already in the inbox store, kept in
// "mailin.uidl" beside it, one a line. Ids are unique within one mailbox only: each is kept
// with the account it came from (host and user: the same mailbox over another port or
// security is the same account), so a message of another account is never taken for one
// already stored.
//
// A line is "<host> <user> <id> <first stored, Unix seconds>", then " r<hash>" naming the
// inbox record made of it, " part" while that record holds only the header, and " del"
// once that record was deleted here. Lines of the older
// form "<host> <port> <user> <id>" are read as this account's and rewritten in the new one;
// other lines are kept as they are. The last line, "#commit <token> <archive length>",
// says which store batch the file commits and how long the archive was then: the file's
// atomic replacement is the one step that makes a session's records, ids and archive
// durable together.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class SeenIds {
 public:
  static constexpr const char* kFileName = "mailin.uidl";

  SeenIds(std::string path, std::string host, std::string user);

  // The mailbox's ids for this session, ids[n - 1] for message n, and the file as the last
  // session left it; now stamps what is stored from here on.
  void Begin(std::vector<std::string> ids, int64_t now);
  // A session without ids (the server has none, or not one per message) keeps this
  // account's lines as they are.
  bool Active() const { return !ids_.empty(); }
  // Message n was stored by an earlier session.
  bool Seen(int n) const;
  // Message n is in the store now, as the record of that hash; partial: its header only.
  void Stored(int n, uint64_t record, bool partial = false);
  // Message n, stored partial, is in the store whole now as the record of that hash.
  void Completed(int n, uint64_t record);
  // Message n is stored with its header only.
  bool Partial(int n) const;
  // The number of the message stored partial as the record of that hash; 0 for none.
  int PartialNumber(uint64_t record) const;
  // When message n was first stored; -1 when it is not stored.
  int64_t FirstSeen(int n) const;
  // The record of message n was deleted here.
  bool DeletedHere(int n) const;
  // Writes the file atomically: the ids this mailbox still lists that are stored, those of
  // other accounts as they were, and the commit line. An archive length below 0 keeps the
  // one the file had.
  void Commit(const std::string& token, int64_t archiveLength);

  // The commit line of the file at path names token.
  static bool Committed(const std::string& path, const std::string& token);
  // The archive length of its commit line; -1 when it has none.
  static int64_t ArchiveLength(const std::string& path);
  // Gives a file without a commit line one with this archive length, before a session
  // appends to an archive that no earlier session committed.
  static void RecordArchiveLength(const std::string& path, int64_t length);
  // The records of these hashes were deleted here: one line naming each (of any account)
  // is marked so. The file is rewritten only when a line changes.
  static void MarkDeleted(const std::string& path, const std::vector<uint64_t>& records);
  // The record of that hash holds only the header of its message.
  static bool IsPartial(const std::string& path, uint64_t record);

  struct Entry {
    int64_t firstSeen = 0;
    uint64_t record = 0;  // 0: unknown
    bool deletedHere = false;
    bool partial = false;
  };

 private:
  const Entry* entryOf(int n) const;

  std::string path_;
  std::string host_;
  std::string user_;
  int64_t now_ = 0;
  std::vector<std::string> ids_;
  std::vector<std::string> others_;  // lines of other accounts, as they were
  std::unordered_map<std::string, Entry> mine_;
  int64_t archiveLength_ = -1;
};
