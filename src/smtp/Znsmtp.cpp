#include "Znsmtp.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <vector>

#include "Base64.h"
#include "Exceptions.h"
#include "SaslLogin.h"
#include "SysUtils.h"

namespace corvane::smtp {

std::string ExtractAddress(std::string_view entry) {
  if (const size_t lt = entry.find('<'); lt != std::string_view::npos) {
    std::string_view inner = entry.substr(lt + 1);
    inner = inner.substr(0, inner.find('<'));
    return std::string(inner.substr(0, inner.find('>')));
  }
  if (const size_t colon = entry.find(':'); colon != std::string_view::npos) {
    const std::string_view rest = entry.substr(colon + 1);
    return std::string(rest.substr(0, rest.find(':')));
  }
  return std::string(entry);
}

}  // namespace corvane::smtp

using namespace corvane::smtp;

namespace {

// A line that continues a multi-line reply: it begins with a blank or carries "-" right
// after its three-digit code.
bool continues(const std::string& line) {
  return line.size() >= 4 && (line[0] == ' ' || line[3] == '-');
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

// The words of a capability line, split at blanks and "=" (the old "AUTH=LOGIN" form).
std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  std::string word;
  for (char c : line) {
    if (c == ' ' || c == '=' || c == '\t') {
      if (!word.empty()) out.push_back(upper(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) out.push_back(upper(word));
  return out;
}

}  // namespace

TZnSMTP::TZnSMTP(TObject* Owner) : TZnSocket(Owner) {
  Port = 25;
  CancelCleanup = [this](TObject*) { CloseWithoutSignOff(); };
}

TZnSMTP::~TZnSMTP() {
  // A component being destroyed reports nothing to its owner.
  OnDisconnect = nullptr;
  OnStatus = nullptr;
  OnSocketError = nullptr;
  OnPacketSent = nullptr;
  OnPacketRecvd = nullptr;
  OnDataReceived = nullptr;
  Abort();
}

std::string TZnSMTP::readContinuation(std::string Line) {
  while (continues(Line)) Line = ReadLn();
  return Line;
}

std::string TZnSMTP::command(const std::string& Command) {
  return readContinuation(Transaction(Command));
}

void TZnSMTP::commandExpecting(const std::string& Command, int Limit) {
  const std::string reply = command(Command);
  if (ReplyCode > Limit) throw Exception(reply);
}

void TZnSMTP::sendExpecting(const std::string& Command) {
  const std::string reply = command(Command);
  if (ReplyCode > 399) refuse(reply);
}

void TZnSMTP::checkUserID() const {
  if (UserID.find_first_of("\r\n") != std::string::npos) throw Exception("Line break not allowed in the user ID");
  if (AuthUser.find_first_of("\r\n") != std::string::npos) throw Exception("Line break not allowed in the login name");
}

void TZnSMTP::Connect() {
  checkUserID();
  // A second click while the greeting is awaited would start over on the same socket.
  if (OperationConnecting()) return;
  const auto alive = Lifetime();
  {
    TOperation operation(*this, TOperation::okConnect);
    // Whatever a closed session left unread must not pass for the next greeting.
    if (!Connected) ReceiveBuffer.Clear();
    TZnSocket::Connect();
    FKeepFailure = false;
    try {
      greetAndHelo();
    } catch (...) {
      // Cancelled by Disconnect or by the closing window: a QUIT would wait on a server
      // that may never answer, which is what the user is walking away from.
      if (!operation.Alive()) throw;
      if (Canceled) {
        CloseWithoutSignOff();
      } else if (FKeepFailure) {
        // The refused upgrade or login is what the user must read, not a complaint about
        // the QUIT.
        try {
          quit();
        } catch (const std::exception&) {
        }
      } else {
        quit();
      }
      throw;
    }
  }
  if (!alive.expired()) Fire(OnConnect, this);
}

void TZnSMTP::greetAndHelo() {
  const std::string greeting = readContinuation(ReadLn());
  if (corvane::ReplyCodeOf(greeting) >= 400) throw Exception(greeting);
  FCapabilities.clear();
  FMechanism.clear();
  const bool extended = Security == secStartTLS || !AuthUser.empty();
  hello(extended);
  if (Security == secStartTLS) {
    startTls();
    hello(true);
  }
  if (!AuthUser.empty()) login();
}

void TZnSMTP::hello(bool extended) {
  bool asked = false;
  for (;;) {
    checkUserID();  // the handler below may have changed it
    std::string line = Transaction((extended ? "EHLO " : "HELO ") + UserID);
    FCapabilities.clear();
    for (bool first = true;; first = false) {
      if (!first)
        FCapabilities.push_back(std::string(corvane::WithoutLineBreaks(line)).substr(std::min<size_t>(4, line.size())));
      if (!continues(line)) break;
      line = ReadLn();
    }
    FExtensions = extended ? corvane::smtp::Extensions::Parse(FCapabilities) : corvane::smtp::Extensions{};
    if (ReplyCode < 300) return;
    if (asked || !OnAuthenticationFailed) break;
    asked = true;
    bool handled = false;
    OnAuthenticationFailed(handled);
    if (!handled) break;
  }
  throw Exception("Authentication failed");
}

bool TZnSMTP::offers(const std::string& Keyword) const {
  return std::any_of(FCapabilities.begin(), FCapabilities.end(), [&](const std::string& line) {
    const std::vector<std::string> w = words(line);
    return !w.empty() && w[0] == Keyword;
  });
}

std::vector<std::string> TZnSMTP::loginMethods() const {
  std::vector<std::string> methods;
  for (const std::string& line : FCapabilities) {
    const std::vector<std::string> w = words(line);
    if (!w.empty() && w[0] == "AUTH") methods.insert(methods.end(), w.begin() + 1, w.end());
  }
  return methods;
}

void TZnSMTP::startTls() {
  // No downgrade: without the server's agreement nothing more is said in the clear.
  FKeepFailure = true;
  if (!offers("STARTTLS")) throw Exception(Host + " does not offer a secure connection (STARTTLS)");
  const std::string reply = command("STARTTLS");
  if (ReplyCode != 220) {
    throw Exception(Host +
                    " refused a secure connection (STARTTLS): " + std::string(corvane::WithoutLineBreaks(reply)));
  }
  StartTLS();
  FKeepFailure = false;
}

void TZnSMTP::login() {
  namespace sasl = corvane::sasl;
  const sasl::Credentials credentials{AuthUser, AuthPassword, BearerToken, Host, Port & 0xFFFF};
  const std::vector<std::string> candidates = BearerToken ? corvane::sasl::TokenMechanisms(PreferXOAuth2)
                                                          : std::vector<std::string>{"CRAM-MD5", "PLAIN", "LOGIN"};
  // A refused login or one that cannot go is what the user must read, not a complaint
  // about the QUIT after it.
  FKeepFailure = true;
  FMechanism = sasl::ChooseMechanism(loginMethods(), candidates, {credentials, Secure(), AllowPlainLogin});
  const auto mechanism = sasl::MakeMechanism(FMechanism, credentials);
  // RFC 5321's command line: a longer initial response waits for the server's challenge.
  constexpr size_t kMaxCommand = 512;
  sasl::Authenticate(*mechanism, credentials, kMaxCommand, [this](const std::string& line) {
    const std::string reply = command(line);
    const std::string text(corvane::WithoutLineBreaks(reply));
    if (ReplyCode == 334) return sasl::Reply{sasl::Reply::Challenge, text.substr(std::min<size_t>(4, text.size()))};
    return sasl::Reply{ReplyCode == 235 ? sasl::Reply::Success : sasl::Reply::Refusal, text};
  });
  FKeepFailure = false;
}

void TZnSMTP::Disconnect() {
  if (DisconnectHandled()) return;
  quit();
}

void TZnSMTP::quit() {
  if (!Connected) return;
  Canceled = false;
  SignOff([this] { commandExpecting("QUIT", 339); });
}

void TZnSMTP::Abort() {
  AbortOperation();
}

void TZnSMTP::ClearParameters() {
  PostMessage.ToAddress.Clear();
  PostMessage.ToCarbonCopy.Clear();
  PostMessage.ToBlindCarbonCopy.Clear();
  PostMessage.Envelope.Clear();
  PostMessage.Attachments.Clear();
}

void TZnSMTP::SendMail() {
  // Nor inside the wait of a QUIT: its commands would meet the QUIT's reply.
  if (OperationBusy() || OperationQuitting()) return;
  bool success = false;
  const auto alive = Lifetime();
  FReport = {};
  {
    TOperation operation(*this, TOperation::okWork);
    bool inData = false;  // after DATA's 354 only the end of data or a close ends the text
    try {
      const CompositionEvents events{OnAttachmentNotFound, OnEncodeStart, OnEncodeEnd};
      ComposeMessage(PostMessage, EncodeType, std::time(nullptr), events, FinalHeader, FBoundary, FMessageBody);
      RequireConnection();
      checkComplete();
      // A handler may have filled in the envelope; it must not smuggle commands either.
      CheckLineBreaks(PostMessage);
      const std::string from = mailFrom();
      Fire(OnSendStart, this);
      sendEnvelope(from);
      sendExpecting("DATA");
      inData = true;
      sendHeader();
      SendStream(FMessageBody);
      Fire(OnDataEnding, this);
      // Once the end is written it may reach the server; a write that fails sent none of it.
      Writeln(".");
      FReport.DataEndSent = true;
      const std::string reply = readReply();
      inData = false;
      if (ReplyCode > 399) {
        Fire(OnFailure, this);
        refuse(reply);
      }
      FReport.Reply = std::string(corvane::WithoutLineBreaks(reply));
      FReport.Code = ReplyCode;
      FReport.Accepted = true;
      success = true;
      if (ClearParams) ClearParameters();
    } catch (const ESockError&) {
      // Cancelled or cut off in mid-dialogue, the session's state is unknown: a late reply
      // would answer the next command. Close without QUIT so the next send starts afresh.
      if (operation.Alive() && Connected) CloseWithoutSignOff();
      throw;
    } catch (...) {
      // A text the server has half of cannot be taken back: closing drops it.
      if (inData && operation.Alive() && Connected) CloseWithoutSignOff();
      throw;
    }
  }
  if (success && !alive.expired()) Fire(OnSuccess, this);
}

void TZnSMTP::checkComplete() {
  const auto complete = [this] {
    return !PostMessage.FromAddress.empty() &&
           (PostMessage.ToAddress.Count() > 0 || PostMessage.ToCarbonCopy.Count() > 0 ||
            PostMessage.ToBlindCarbonCopy.Count() > 0);
  };
  for (int pass = 0; !complete(); ++pass) {
    if (pass > 0 || !OnHeaderIncomplete) throw Exception("Incomplete Header");
    bool handled = false;
    OnHeaderIncomplete(handled, PostMessage.FromAddress.empty() ? 1 : 2);
    if (!handled) throw Exception("Incomplete Header");
  }
}

namespace {

bool plainAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x80; });
}

// The part before the last "@": where RFC 6531 lets only SMTPUTF8 carry other characters.
std::string_view localPart(std::string_view address) {
  const size_t at = address.rfind('@');
  return at == std::string_view::npos ? address : address.substr(0, at);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> TZnSMTP::envelopeRecipients() const {
  std::vector<std::pair<std::string, std::string>> recipients;
  const std::vector<const TStringList*> lists =
      PostMessage.Envelope.Count() > 0
          ? std::vector<const TStringList*>{&PostMessage.Envelope}
          : std::vector<const TStringList*>{&PostMessage.ToAddress, &PostMessage.ToCarbonCopy,
                                            &PostMessage.ToBlindCarbonCopy};
  for (const TStringList* list : lists)
    for (const std::string& entry : list->Items())
      if (std::string address = ExtractAddress(entry); !address.empty()) recipients.emplace_back(entry, address);
  return recipients;
}

std::string TZnSMTP::mailFrom() const {
  const int64_t size = static_cast<int64_t>(HeaderText(FinalHeader).size()) + FMessageBody.Size();
  if (FExtensions.sizeLimit > 0 && size > FExtensions.sizeLimit)
    throw Exception(corvane::Format("The message is %lld bytes as sent, more than the %lld bytes %s accepts",
                                    static_cast<long long>(size), static_cast<long long>(FExtensions.sizeLimit),
                                    Host.c_str()));
  std::vector<std::string> addresses{PostMessage.FromAddress};
  for (const auto& recipient : envelopeRecipients()) addresses.push_back(recipient.second);
  bool utf8 = false;
  for (const std::string& address : addresses) {
    if (plainAscii(address)) continue;
    if (!FExtensions.smtpUtf8 && !plainAscii(localPart(address)))
      throw Exception(corvane::Format(
          "The address %s has characters beyond ASCII before its \"@\", which %s cannot take: it does not offer "
          "SMTPUTF8",
          address.c_str(), Host.c_str()));
    utf8 = utf8 || FExtensions.smtpUtf8;
  }
  std::string command = "MAIL FROM:<" + PostMessage.FromAddress + ">";
  if (FExtensions.size) command += " SIZE=" + std::to_string(size);
  if (utf8) command += " SMTPUTF8";
  return command;
}

std::string TZnSMTP::readReply() {
  const std::string line = ReadLn();
  LastReply = line;
  ReplyCode = corvane::ReplyCodeOf(line);
  ReportStatus(1, line);
  return readContinuation(line);
}

void TZnSMTP::sendEnvelope(const std::string& MailFrom) {
  const auto recipients = envelopeRecipients();
  if (!FExtensions.pipelining) {
    sendExpecting("RSET");
    sendExpecting(MailFrom);
    for (const auto& [entry, address] : recipients) noteRecipient(entry, command("RCPT TO:<" + address + ">"));
  } else {
    std::string group = "RSET\r\n" + MailFrom + "\r\n";
    for (const auto& recipient : recipients) group += "RCPT TO:<" + recipient.second + ">\r\n";
    ReportStatus(8, "Write");
    SendBuffer(group.data(), static_cast<uint32_t>(group.size()));
    // Every reply is read before any is acted on, so the dialogue stays in step.
    std::vector<std::pair<std::string, int>> replies;
    for (size_t i = 0; i < recipients.size() + 2; ++i) replies.emplace_back(readReply(), ReplyCode);
    for (size_t i = 0; i < 2; ++i) {
      ReplyCode = static_cast<int16_t>(replies[i].second);
      if (ReplyCode > 399) refuse(replies[i].first);
    }
    for (size_t i = 0; i < recipients.size(); ++i) {
      ReplyCode = static_cast<int16_t>(replies[i + 2].second);
      noteRecipient(recipients[i].first, replies[i + 2].first);
    }
  }
  const auto accepted = [](const TSmtpRecipientReply& r) { return r.Code <= 300; };
  if (FReport.Recipients.empty()) throw Exception("Incomplete Header");
  // DATA without a recipient would only be refused; the last refusal says more.
  if (std::none_of(FReport.Recipients.begin(), FReport.Recipients.end(), accepted)) {
    ReplyCode = static_cast<int16_t>(FReport.Recipients.back().Code);
    refuse(FReport.Recipients.back().Reply);
  }
}

void TZnSMTP::noteRecipient(const std::string& Entry, const std::string& Reply) {
  FReport.Recipients.push_back({Entry, std::string(corvane::WithoutLineBreaks(Reply)), ReplyCode});
  if (ReplyCode <= 300) return;
  if (ReplyCode >= 400 && ReplyCode < 500 && OnRecipientDeferred)
    OnRecipientDeferred(Entry);
  else
    Fire(OnRecipientNotFound, Entry);
}

void TZnSMTP::refuse(const std::string& Reply) {
  FReport.Reply = std::string(corvane::WithoutLineBreaks(Reply));
  FReport.Code = ReplyCode;
  // The server closes after 421; a command sent into that would only fail again.
  if (ReplyCode == 421 && Connected) CloseWithoutSignOff();
  throw Exception(FExtensions.enhancedStatusCodes ? corvane::smtp::ExplainReply(Reply, true) : Reply);
}

void TZnSMTP::sendHeader() {
  // Not through Write, which cuts its text: a long recipient list must go out whole.
  ReportStatus(8, "Write");
  const std::string text = HeaderText(FinalHeader);
  SendBuffer(text.data(), static_cast<uint32_t>(text.size()));
}
