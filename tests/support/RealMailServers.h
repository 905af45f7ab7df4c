#pragma once
// Real mail servers on loopback for integration tests: Dovecot serving POP3 from Maildirs
// and a small SMTP server that delivers into them, both run by scripts/testservers.py in a
// temporary folder. Destroying the object stops exactly the processes it started.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QProcess;
class QTemporaryDir;

class RealMailServers {
 public:
  // Starts both servers; on failure returns nullptr and puts the reason into *why.
  static std::unique_ptr<RealMailServers> Start(std::string* why = nullptr);
  ~RealMailServers();
  RealMailServers(const RealMailServers&) = delete;
  RealMailServers& operator=(const RealMailServers&) = delete;

  uint16_t Pop3Port() const { return pop3Port_; }
  uint16_t SmtpPort() const { return smtpPort_; }
  std::string Folder() const { return folder_; }

  // Adds (or changes the password of) a mailbox user; Dovecot sees it at the next login.
  void AddUser(const std::string& user, const std::string& password);
  // Drops a raw message into the user's Maildir, after the ones already there.
  void Deliver(const std::string& user, const std::string& message);
  // The raw messages now in the user's Maildir, oldest first.
  std::vector<std::string> Mailbox(const std::string& user) const;
  // The bytes the SMTP server received after each DATA, in arrival order.
  std::vector<std::string> SmtpReceived() const;

 private:
  RealMailServers();
  bool runScript(const std::vector<std::string>& arguments, const std::string& input, std::string* why) const;

  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<QProcess> process_;
  std::string folder_;
  uint16_t pop3Port_ = 0;
  uint16_t smtpPort_ = 0;
};
