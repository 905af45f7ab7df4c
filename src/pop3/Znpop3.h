#pragma once
// TZnPOP3: the POP3 client component (RFC 1939 subset: USER, PASS, STAT, RETR, DELE, QUIT;
// STLS of RFC 2595 when Security is secStartTLS; with SaslLogin, AUTH of RFC 5034 with a
// mechanism from CAPA's SASL line).
// Retrieval hands each message to the message reader, which fills MailMessage and writes
// the attachment files into AttachFilePath.
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "MessageReader.h"
#include "ZnSock.h"

using TListEvent = std::function<void(int32_t Msg, int32_t Size)>;

class TZnPOP3 : public TZnSocket {
 public:
  explicit TZnPOP3(TObject* Owner = nullptr);
  ~TZnPOP3() override;

  // Published properties.
  std::string UserID;
  std::string Password;
  bool DeleteOnRead = false;
  // Log in by AUTH with the strongest mechanism the server offers (CRAM-MD5, PLAIN, else
  // USER/PASS; OAUTHBEARER or XOAUTH2 for a token) instead of USER/PASS straight away.
  bool SaslLogin = false;
  bool BearerToken = false;      // Password holds an OAuth 2.0 access token
  bool PreferXOAuth2 = false;    // the provider's servers want XOAUTH2 before OAUTHBEARER
  bool AllowPlainLogin = false;  // the user lets a readable password go out without TLS
  // Prefix of every attachment file name: a folder must end with its separator.
  std::string AttachFilePath;
  // The owner's own file names in that folder; attachments never take them.
  std::vector<std::string> ReservedFileNames;
  // Receives every retrieved message exactly as sent, when set (not owned).
  TRawMessageSink* RawArchive = nullptr;

  // Fires at the end of Connect once the login succeeded (also when STAT then failed).
  // Replaces the socket's own OnConnect, which stays unassigned here.
  TNotifyEvent OnConnect;
  // Asked once per Connect when UserID or Password is empty.
  THandlerEvent OnAuthenticationNeeded;
  // Asked once per Connect when USER or PASS is refused; Handled retries the login once.
  THandlerEvent OnAuthenticationFailed;
  // Published for form compatibility; the component has no reset or list operation.
  TNotifyEvent OnReset;
  TListEvent OnList;
  TNotifyEvent OnRetrieveStart;
  // Fires at the end of every RetrieveMessage that fired OnRetrieveStart, success or not.
  TNotifyEvent OnRetrieveEnd;
  // DeleteMessage: DELE accepted / refused (before the error is raised).
  TNotifyEvent OnSuccess;
  TNotifyEvent OnFailure;
  // Texts for the user from the uudecoder, such as " No end line.".
  std::function<void(const std::string& Text)> OnMessage;

  // The way of the last login: a SASL mechanism, or "USER" for USER/PASS.
  const std::string& LoginMechanism() const { return FMechanism; }
  // Messages in the mailbox as the last successful STAT reported it.
  int32_t MessageCount() const { return FMessageCount; }
  // Their total size in octets as the same STAT reported it; 0 when it gave none.
  int64_t MailboxOctets() const { return FMailboxOctets; }
  // The last retrieved message; the same object for the component's whole life.
  TMailMessage& MailMessage() { return FMailMessage; }
  const TMailMessage& MailMessage() const { return FMailMessage; }
  // Kept for owners that fill it themselves; no operation here does.
  TSummary& Summary() { return FSummary; }

  // Greeting, STLS and the handshake when asked for, login (at most two attempts) and
  // STAT; fires OnConnect after a login. Called again while it runs, it does nothing.
  void Connect() override;
  // QUIT and close; nothing at all when not connected. While an operation runs it cancels
  // that operation instead, which then fails and closes without QUIT.
  void Disconnect() override;
  // Cancels a running operation, or closes an idle connection without QUIT.
  void Abort() override;
  // RETR (and DELE with DeleteOnRead) into MailMessage and attachment files.
  void RetrieveMessage(int32_t MessageNumber);
  // TOP n 0 (RFC 1939): only the header of the message, into MailMessage with an empty
  // body; nothing goes to RawArchive, which keeps whole messages only.
  void RetrieveHeader(int32_t MessageNumber);
  // DELE; the deletion takes effect at QUIT.
  void DeleteMessage(int32_t MessageNumber);
  // UIDL (RFC 1939): the unique id of every message, Ids[n - 1] for message n. False with
  // Ids empty when the server refuses the command; a failure of the connection raises.
  bool RetrieveUniqueIds(std::vector<std::string>& Ids);
  // LIST: the size in octets of every message, Sizes[n - 1] for message n. False with
  // Sizes empty when the server refuses the command or a line does not fit.
  bool RetrieveSizes(std::vector<int64_t>& Sizes);
  // CAPA (RFC 2449): the capability lines, each without its line end. False with Caps
  // empty when the server refuses the command.
  bool RetrieveCapabilities(std::vector<std::string>& Caps);
  // UTF8 (RFC 6856), for a server whose CAPA lists it: headers in raw UTF-8 then come as
  // they are instead of being replaced by a notice of the server's own. True when the
  // server agreed; a refusal leaves the session as it was.
  bool EnableUtf8();
  // The server agreed to UTF8 in this session: with SaslLogin already before the login,
  // where the CAPA that chooses the mechanism lists it.
  bool Utf8Mode() const { return FUtf8; }
  // Announces the messages RetrieveMessage will be asked for next, in this order: with
  // Ahead > 0 (only for a server that announced PIPELINING) their RETR commands go out up
  // to Ahead ahead of the one being read, and DeleteMessages sends its DELEs in batches.
  // Ahead 0 keeps the lock-step dialogue. A retrieval out of plan, any other command and
  // a new Connect first read the replies still due, so the dialogue stays in step.
  void PlanRetrievals(std::vector<int32_t> Numbers, int Ahead);
  // DELE for every number in order, each accepted one firing OnSuccess; the first refusal
  // fires OnFailure and raises with the server's reply, and no later batch is sent.
  void DeleteMessages(const std::vector<int32_t>& Numbers);

 private:
  static bool isPositive(const std::string& Reply);
  // Sends Command and raises Exception with the reply line when the reply is negative.
  std::string command(const std::string& Text);
  // A line break in UserID or Password would put a command of its own on the wire.
  void checkCredentials() const;
  void askForCredentials();
  // STLS and the handshake; the login never goes out when the server does not agree.
  void startTls();
  void login();
  void saslLogin();
  // CAPA inside the login: the offered ways to log in, "USER" among them.
  std::vector<std::string> loginOffers();
  // QUIT, then close whatever the reply.
  void quit();
  void readStat();
  void retrieve(int32_t MessageNumber, bool HeaderOnly);
  // Reads the lines of a multi-line reply up to its end line, the leading dot of a
  // doubled one removed, line ends taken off.
  void readMultiLine(const std::function<void(std::string& Line)>& Take);
  // The reply line of a command sent ahead, reported as Transaction reports its own.
  std::string aheadReply();
  // Sends RETR for planned messages until Ahead are waiting.
  void sendAhead();
  // Reads and drops the replies of every RETR still waiting.
  void drainAhead();

  int32_t FMessageCount = 0;
  int64_t FMailboxOctets = 0;
  std::deque<int32_t> FPlan;  // planned retrievals not yet sent
  std::deque<int32_t> FSent;  // RETR sent ahead whose reply is still to be read
  int FAhead = 0;
  std::string FMechanism;
  bool FUtf8Listed = false;  // the login's CAPA lists UTF8
  bool FUtf8 = false;
  TMailMessage FMailMessage;
  TSummary FSummary;
  TMessageReader FReader;
};
