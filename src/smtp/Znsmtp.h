#pragma once
// Znsmtp: the SMTP client component TZnSMTP. It opens a session with the greeting and
// HELO, sends the message held in PostMessage (RSET, MAIL FROM, RCPT TO per recipient,
// DATA, the composed text, ".") and closes the session with QUIT.
//
// With Security secStartTLS it says EHLO, requires STARTTLS among the capabilities
// (RFC 3207), upgrades the connection and says EHLO again; with a login name it says EHLO
// and logs in (RFC 4954) with the strongest offered of CRAM-MD5, PLAIN and LOGIN, or with
// an access token by OAUTHBEARER or XOAUTH2. Without TLS a password goes only by CRAM-MD5
// unless AllowPlainLogin, and a token not at all.
//
// After EHLO the send uses what the server announced: SIZE (a message larger than the limit
// is refused before MAIL FROM, and MAIL FROM tells the size), PIPELINING (RFC 2920: RSET,
// MAIL FROM and every RCPT TO in one write), SMTPUTF8 (RFC 6531: needed for an address with
// non-ASCII characters before its "@") and ENHANCEDSTATUSCODES (explained in errors). After
// HELO the dialogue is the classic one.
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "MessageComposer.h"
#include "SmtpReply.h"
#include "SpoolStream.h"
#include "ZnExtstr.h"
#include "ZnSock.h"
#include "ZnUUE.h"

enum TSubType { mtPlain, mtEnriched, mtSgml, mtTabSeperated, mtHtml };

// hiType: 1 when the sender address is missing, 2 when only the recipients are.
using THeaderInComplete = std::function<void(bool& handled, int hiType)>;
using TRecipientNotFound = std::function<void(const std::string& Recipient)>;
using TMailListReturn = std::function<void(const std::string& MailAddress)>;

// What the server made of the last SendMail, for a caller that may send the message again.
struct TSmtpRecipientReply {
  std::string Entry;  // the recipient entry as listed
  std::string Reply;  // the reply to its RCPT TO, without line end
  int Code = 0;
};
struct TSmtpSendReport {
  std::vector<TSmtpRecipientReply> Recipients;  // one per RCPT TO sent, in order
  std::string Reply;                            // the reply that ended the send, without line end; empty when none came
  int Code = 0;
  // The end of the message text went out: a connection lost before its reply leaves open
  // whether the server took the message.
  bool DataEndSent = false;
  bool Accepted = false;
};

class TZnSMTP : public TZnSocket {
 public:
  explicit TZnSMTP(TObject* Owner = nullptr);
  ~TZnSMTP() override;

  std::string UserID;            // sent after "HELO " (or "EHLO ")
  std::string AuthUser;          // login name; empty: no login, HELO as before
  std::string AuthPassword;      // never shown in a status or error text
  bool BearerToken = false;      // AuthPassword is an OAuth 2.0 access token
  bool PreferXOAuth2 = false;    // the provider's servers want XOAUTH2 before OAUTHBEARER
  bool AllowPlainLogin = false;  // the user lets PLAIN and LOGIN go out without TLS
  TPostMessage PostMessage;      // the message to send
  TExStringList FinalHeader;     // header lines of the last built message
  UUMethods EncodeType = uuMime;
  bool ClearParams = true;     // empty the recipient and attachment lists after a send
  TSubType SubType = mtPlain;  // kept for the caller; the text part is always text/plain

  // Replaces the base's OnConnect: fires only after greeting and HELO were accepted.
  TNotifyEvent OnConnect;
  THandlerEvent OnAuthenticationFailed;
  THeaderInComplete OnHeaderIncomplete;
  TNotifyEvent OnSendStart;
  TRecipientNotFound OnRecipientNotFound;
  // A recipient refused for now (4xx); without a handler OnRecipientNotFound fires instead.
  TRecipientNotFound OnRecipientDeferred;
  // Just before the end of the message text goes out. A handler that raises ends the send
  // there, and the connection is closed so that nothing is delivered.
  TNotifyEvent OnDataEnding;
  TNotifyEvent OnSuccess;
  TNotifyEvent OnFailure;
  TFileItem OnEncodeStart;
  TFileItem OnEncodeEnd;
  TFileItem OnAttachmentNotFound;
  // Never fired: the component has no list-expansion or verify operation.
  TMailListReturn OnMailListReturn;

  // Opens the connection and performs greeting and HELO; raises on refusal.
  void Connect() override;
  // Sends QUIT and closes; does nothing when not connected or while a QUIT runs. While
  // Connect or SendMail runs it cancels that operation instead, which then fails and closes.
  void Disconnect() override;
  // Cancels the running operation, or closes without QUIT when idle.
  void Abort() override;

  // Builds the message text from PostMessage and sends it over the open connection.
  // Returns at once, doing nothing, while Connect, SendMail or a QUIT runs.
  void SendMail();
  // Empties ToAddress, ToCarbonCopy, ToBlindCarbonCopy, Envelope and Attachments of
  // PostMessage.
  void ClearParameters();
  const TSmtpSendReport& LastSend() const { return FReport; }
  // What the last EHLO announced; nothing after HELO.
  const corvane::smtp::Extensions& Extensions() const { return FExtensions; }

  // The capability lines of the last EHLO reply, each without its code and line end.
  const std::vector<std::string>& Capabilities() const { return FCapabilities; }
  // The SASL mechanism of the last login; empty when there was none.
  const std::string& LoginMechanism() const { return FMechanism; }
  // The multipart boundary of the last built message with attachments.
  const std::string& Boundary() const { return FBoundary; }

 private:
  // A line break in UserID or the login would put a command of its own on the wire.
  void checkUserID() const;
  void greetAndHelo();
  // HELO, or EHLO keeping the capabilities; a refusal may be handled once.
  void hello(bool extended);
  bool offers(const std::string& Keyword) const;
  std::vector<std::string> loginMethods() const;
  void startTls();
  void login();
  // QUIT, then close whatever the reply.
  void quit();
  // Sends Command and returns the reply line; continuation lines are taken up.
  std::string command(const std::string& Command);
  // Sends Command; a reply code above Limit raises with the reply line.
  void commandExpecting(const std::string& Command, int Limit);
  // A command of a send: a reply above 399 ends it through refuse.
  void sendExpecting(const std::string& Command);
  std::string readContinuation(std::string Line);
  void checkComplete();
  // The MAIL FROM command with the parameters the message needs; raises when the message is
  // larger than the server takes or an address needs SMTPUTF8 the server lacks.
  std::string mailFrom() const;
  // RSET, MAIL FROM and the RCPT TO commands, in one write where the server pipelines.
  void sendEnvelope(const std::string& MailFrom);
  std::vector<std::pair<std::string, std::string>> envelopeRecipients() const;
  // Reads one reply of a pipelined group as Transaction would.
  std::string readReply();
  void noteRecipient(const std::string& Entry, const std::string& Reply);
  [[noreturn]] void refuse(const std::string& Reply);
  void sendHeader();

  TSpoolStream FMessageBody;
  std::string FBoundary;
  std::vector<std::string> FCapabilities;
  std::string FMechanism;
  corvane::smtp::Extensions FExtensions;
  TSmtpSendReport FReport;
  bool FKeepFailure = false;  // a failed upgrade or login outranks a refused QUIT
};

namespace corvane::smtp {

// The bare address of a recipient entry as RCPT TO takes it: the text within "<" and ">",
// else the text after the first ":" (up to a further ":"), else the entry itself.
std::string ExtractAddress(std::string_view entry);

}  // namespace corvane::smtp
