#include "Znsmtp.h"

#include <climits>
#include <ctime>
#include <vector>

#include "Exceptions.h"

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

int16_t ReplyCodeOf(std::string_view line) {
  int64_t value = 0;
  size_t digits = 0;
  while (digits < line.size() && digits < 10 && line[digits] >= '0' && line[digits] <= '9')
    value = value * 10 + (line[digits++] - '0');
  if (value > INT32_MAX) return 0;
  if (value > 32767) throw ERangeError("Range check error");
  return static_cast<int16_t>(value);
}

}  // namespace corvane::smtp

using namespace corvane::smtp;

namespace {

// A line that continues a multi-line reply: it begins with a blank or carries "-" right
// after its three-digit code.
bool continues(const std::string& line) {
  return line.size() >= 4 && (line[0] == ' ' || line[3] == '-');
}

}  // namespace

TZnSMTP::TZnSMTP(TObject* Owner) : TZnSocket(Owner) {
  Port = 25;
  CancelCleanup = [this](TObject*) { closeWithoutQuit(); };
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

void TZnSMTP::checkUserID() const {
  if (UserID.find_first_of("\r\n") != std::string::npos) throw Exception("Line break not allowed in the user ID");
}

void TZnSMTP::Connect() {
  checkUserID();
  // A second click while the greeting is awaited would start over on the same socket.
  if (FConnecting) return;
  const bool wasBusy = FBusy;
  FBusy = true;
  FConnecting = true;
  const auto alive = Lifetime();
  try {
    // Whatever a closed session left unread must not pass for the next greeting.
    if (!Connected) ReceiveBuffer.Clear();
    TZnSocket::Connect();
    try {
      greetAndHelo();
    } catch (...) {
      // Cancelled by Disconnect or by the closing window: a QUIT would wait on a server
      // that may never answer, which is what the user is walking away from.
      if (alive.expired()) throw;
      if (Canceled)
        closeWithoutQuit();
      else
        quit();
      throw;
    }
  } catch (...) {
    if (!alive.expired()) {
      FConnecting = false;
      if (!wasBusy) FBusy = false;
    }
    throw;
  }
  FConnecting = false;
  if (!wasBusy) FBusy = false;
  Fire(OnConnect, this);
}

void TZnSMTP::greetAndHelo() {
  const std::string greeting = readContinuation(ReadLn());
  if (ReplyCodeOf(greeting) >= 400) throw Exception(greeting);
  bool asked = false;
  for (;;) {
    checkUserID();  // the handler below may have changed it
    command("HELO " + UserID);
    if (ReplyCode < 300) return;
    if (asked || !OnAuthenticationFailed) break;
    asked = true;
    bool handled = false;
    OnAuthenticationFailed(handled);
    if (!handled) break;
  }
  throw Exception("Authentication failed");
}

void TZnSMTP::Disconnect() {
  if (!Connected) return;
  // A QUIT in the middle of another command's wait would go out inside that dialogue
  // (even inside the message text); end the running operation instead, which closes.
  if (FBusy) {
    if (!Canceled) Cancel();
    return;
  }
  // A QUIT awaiting its reply closes the connection anyway.
  if (FQuitting) return;
  quit();
}

void TZnSMTP::quit() {
  if (!Connected) return;
  Canceled = false;
  FQuitting = true;
  const auto alive = Lifetime();
  try {
    commandExpecting("QUIT", 339);
  } catch (...) {
    if (!alive.expired()) {
      FQuitting = false;
      closeWithoutQuit();
    }
    throw;
  }
  FQuitting = false;
  closeWithoutQuit();
}

void TZnSMTP::closeWithoutQuit() {
  TZnSocket::Disconnect();
  ReceiveBuffer.Clear();
}

void TZnSMTP::Abort() {
  if (Canceled || !Connected) return;
  if (FBusy) {
    Cancel();
    return;
  }
  closeWithoutQuit();
}

void TZnSMTP::ClearParameters() {
  PostMessage.ToAddress.Clear();
  PostMessage.ToCarbonCopy.Clear();
  PostMessage.ToBlindCarbonCopy.Clear();
  PostMessage.Attachments.Clear();
}

void TZnSMTP::SendMail() {
  // Nor inside the wait of a QUIT: its commands would meet the QUIT's reply.
  if (FBusy || FQuitting) return;
  FBusy = true;
  bool success = false;
  const auto alive = Lifetime();
  try {
    const CompositionEvents events{OnAttachmentNotFound, OnEncodeStart, OnEncodeEnd};
    ComposeMessage(PostMessage, EncodeType, std::time(nullptr), events, FinalHeader, FBoundary, FMessageBody);
    RequireConnection();
    checkComplete();
    // A handler may have filled in the envelope; it must not smuggle commands either.
    CheckLineBreaks(PostMessage);
    Fire(OnSendStart, this);
    commandExpecting("RSET", 399);
    commandExpecting("MAIL FROM:<" + PostMessage.FromAddress + ">", 399);
    sendRecipients();
    commandExpecting("DATA", 399);
    sendHeader();
    SendStream(FMessageBody);
    const std::string reply = command(".");
    if (ReplyCode > 399) {
      Fire(OnFailure, this);
      throw Exception(reply);
    }
    success = true;
    if (ClearParams) ClearParameters();
  } catch (const ESockError&) {
    if (alive.expired()) throw;
    FBusy = false;
    // Cancelled or cut off in mid-dialogue, the session's state is unknown: a late reply
    // would answer the next command. Close without QUIT so the next send starts afresh.
    if (Connected) closeWithoutQuit();
    throw;
  } catch (...) {
    if (!alive.expired()) FBusy = false;
    throw;
  }
  FBusy = false;
  if (success) Fire(OnSuccess, this);
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

void TZnSMTP::sendRecipients() {
  for (const TStringList* list : {&PostMessage.ToAddress, &PostMessage.ToCarbonCopy, &PostMessage.ToBlindCarbonCopy}) {
    // A copy: an OnRecipientNotFound handler may change the list.
    const std::vector<std::string> entries = list->Items();
    for (const std::string& entry : entries) {
      const std::string address = ExtractAddress(entry);
      if (address.empty()) continue;
      command("RCPT TO:<" + address + ">");
      if (ReplyCode > 300) Fire(OnRecipientNotFound, entry);
    }
  }
}

void TZnSMTP::sendHeader() {
  // Not through Write, which cuts its text: a long recipient list must go out whole.
  ReportStatus(8, "Write");
  const std::string text = HeaderText(FinalHeader);
  SendBuffer(text.data(), static_cast<uint32_t>(text.size()));
}
