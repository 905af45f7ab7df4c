#pragma once
// Real mail servers on loopback for integration tests: Dovecot serving POP3 from Maildirs
// and small SMTP servers that deliver into them, all run by scripts/testservers.py in a
// temporary folder. Destroying the object stops exactly the processes it started.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QProcess;
class QTemporaryDir;

// The certificate every TLS server of one RealMailServers presents. All but Trusted must
// be refused by a client that trusts CaFile().
enum class TestCertificate {
  Trusted,       // issued by the test CA for IP 127.0.0.1 and DNS localhost
  SelfSigned,    // same names, signed by its own key
  NameMismatch,  // issued by the test CA, only for DNS mail.example.test
  Expired,       // issued by the test CA, valid only in January 2020
};

class RealMailServers {
 public:
  // Plain servers only, exactly as they always were (no STLS in Dovecot's CAPA). In memory
  // (under /dev/shm where there is one), the servers' syncs cost nothing: for tests that
  // send hundreds of messages.
  static std::unique_ptr<RealMailServers> Start(std::string* why = nullptr, bool inMemory = false);
  // The plain servers plus the TLS ones, all presenting the given certificate; the plain
  // POP3 port then offers STLS as well. On failure returns nullptr and puts the reason
  // into *why.
  static std::unique_ptr<RealMailServers> StartTls(TestCertificate certificate = TestCertificate::Trusted,
                                                   std::string* why = nullptr);
  // The TLS servers plus the OAuth 2.0 test issuer (scripts/authserver.py) approving the
  // mailbox user "user"; Dovecot and the SMTP servers with AUTH take its tokens.
  static std::unique_ptr<RealMailServers> StartOAuth(const std::string& user, std::string* why = nullptr);
  // With the options of scripts/testservers.py given as they are (--listen, --ipv6,
  // --well-known-ports, --https, --name, --tls ...).
  static std::unique_ptr<RealMailServers> StartWith(const std::vector<std::string>& options,
                                                    std::string* why = nullptr);
  ~RealMailServers();
  RealMailServers(const RealMailServers&) = delete;
  RealMailServers& operator=(const RealMailServers&) = delete;

  uint16_t Pop3Port() const { return port("POP3_PORT"); }
  uint16_t SmtpPort() const { return port("SMTP_PORT"); }  // offers neither STARTTLS nor AUTH
  // EHLO with SIZE 1048576, PIPELINING, 8BITMIME, SMTPUTF8 and ENHANCEDSTATUSCODES; AUTH in
  // plain text, not required.
  uint16_t SmtpExtPort() const { return port("SMTP_EXT_PORT"); }
  // Accepts TCP and never sends a byte: a TLS handshake there never completes.
  uint16_t HangPort() const { return port("HANG_PORT"); }
  std::string Folder() const { return folder_; }

  // Only after StartTls (0 or empty otherwise).
  uint16_t Pop3sPort() const { return port("POP3S_PORT"); }           // TLS from the first byte
  uint16_t HttpsPort() const { return port("HTTPS_PORT"); }           // only with --https
  uint16_t SmtpsPort() const { return port("SMTPS_PORT"); }           // TLS, AUTH offered, optional
  uint16_t SmtpsAuthPort() const { return port("SMTPS_AUTH_PORT"); }  // TLS, AUTH before MAIL
  // As SmtpsAuthPort, but AUTH offers only LOGIN and PLAIN, or only LOGIN.
  uint16_t SmtpsNoCramPort() const { return port("SMTPS_NOCRAM_PORT"); }
  uint16_t SmtpsLoginOnlyPort() const { return port("SMTPS_LOGINONLY_PORT"); }
  uint16_t SmtpStartTlsPort() const { return port("SMTP_STARTTLS_PORT"); }    // STARTTLS, then AUTH, both required
  uint16_t SmtpTlsRefusePort() const { return port("SMTP_TLSREFUSE_PORT"); }  // offers STARTTLS, answers 454
  // Only after StartOAuth: the issuer's base URL, and a knob of its /control (JSON),
  // whose answer is the JSON of its grant log ("code ok", "refresh refused", ...).
  std::string OAuthUrl() const { return "http://127.0.0.1:" + value("OAUTH_PORT"); }
  std::string OAuthControl(const std::string& json) const;
  // POSTs a form to the issuer (for /revoke); the answer's body.
  std::string OAuthPost(const std::string& path, const std::string& form) const;
  // PEM of the test CA: the extra trusted certificate file for the client.
  std::string CaFile() const { return value("CA_FILE"); }
  // PEM of the certificate the servers present, and its SHA-256 as openssl prints it
  // ("AB:CD:..."; 32 bytes, upper-case hex, colons).
  std::string CertificateFile() const { return value("CERT_FILE"); }
  std::string CertificateFingerprint() const { return value("CERT_FINGERPRINT"); }

  // Adds (or changes the password of) a mailbox user; Dovecot sees it at the next login.
  // The SMTP servers' AUTH accepts the same users and passwords.
  void AddUser(const std::string& user, const std::string& password);
  // Drops a raw message into the user's Maildir, after the ones already there.
  void Deliver(const std::string& user, const std::string& message);
  // The raw messages now in the user's Maildir, oldest first.
  std::vector<std::string> Mailbox(const std::string& user) const;
  // Scripted refusals for every SMTP server, each used once: "MAIL * 421 4.3.2 Closing",
  // "RCPT bob 450 4.2.0 Greylisted" (a recipient whose local part begins with bob), "DATA *
  // 451 4.3.0 Try later" (the end of the message text). A 421 closes the connection.
  void ScriptSmtp(const std::vector<std::string>& faults);
  // The bytes the SMTP servers received after each DATA, in arrival order, from the
  // first-th message on.
  std::vector<std::string> SmtpReceived(size_t first = 0) const;
  // What one SMTP server read, in order: every command line without its CR LF (AUTH
  // continuations included, message text not), and events: "* CONNECT" (for implicit TLS
  // once the handshake completed), "* HELLO <name>" for each TLS ClientHello with the SNI
  // name the client sent ("-" for none: clients send none for an IP address), "* TLS"
  // (STARTTLS completed) and "* AUTH <mechanism> <user> ok|refused". server is one of
  // "smtp", "smtps", "smtps-auth", "smtps-nocram", "smtps-login", "starttls", "tlsrefuse".
  std::vector<std::string> SmtpCommands(const std::string& server) const;
  // Dovecot's log so far; a login shows as "pop3-login: Info: Login: user=<...>", a
  // handshake the client broke off as "... TLS handshaking: SSL_accept() failed ...".
  std::string Pop3Log() const;

 private:
  RealMailServers();
  static std::unique_ptr<RealMailServers> launch(const std::vector<std::string>& options, std::string* why,
                                                 bool inMemory = false);
  bool runScript(const std::vector<std::string>& arguments, const std::string& input, std::string* why) const;
  uint16_t port(const std::string& key) const;
  std::string value(const std::string& key) const;

  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<QProcess> process_;
  std::string folder_;
  std::map<std::string, std::string> env_;  // the lines of ports.env
};
