#include "Znsmtp.h"

#include <algorithm>
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

// Bytes handed to the socket per step while the message text goes out: large enough to
// keep the socket busy, small enough that the text is never copied into memory whole.
constexpr int64_t kSendPiece = 64 * 1024 - 1;

// A line that continues a multi-line reply: it begins with a blank or carries "-" right
// after its three-digit code.
bool continues(const std::string& line) {
  return line.size() >= 4 && (line[0] == ' ' || line[3] == '-');
}

}  // namespace

TZnSMTP::TZnSMTP(TObject* Owner) : TZnSocket(Owner) {
  Port = 25;
  CancelCleanup = [this](TObject*) {
    TZnSocket::Disconnect();
    ReceiveBuffer.Clear();
  };
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
      if (!alive.expired()) quit();
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
  quit();
}

void TZnSMTP::quit() {
  if (!Connected) return;
  Canceled = false;
  const auto alive = Lifetime();
  try {
    commandExpecting("QUIT", 339);
  } catch (...) {
    if (!alive.expired()) {
      TZnSocket::Disconnect();
      ReceiveBuffer.Clear();
    }
    throw;
  }
  TZnSocket::Disconnect();
  ReceiveBuffer.Clear();
}

void TZnSMTP::Abort() {
  if (Canceled || !Connected) return;
  if (FBusy) {
    Cancel();
    return;
  }
  TZnSocket::Disconnect();
  ReceiveBuffer.Clear();
}

void TZnSMTP::ClearParameters() {
  PostMessage.ToAddress.Clear();
  PostMessage.ToCarbonCopy.Clear();
  PostMessage.ToBlindCarbonCopy.Clear();
  PostMessage.Attachments.Clear();
}

void TZnSMTP::SendMail() {
  if (FBusy) return;
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
    sendBody();
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
    if (Connected) {
      TZnSocket::Disconnect();
      ReceiveBuffer.Clear();
    }
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
  // Sent whole in pieces: a long recipient list must not be cut at one write's limit.
  const std::string text = HeaderText(FinalHeader);
  for (size_t at = 0; at < text.size(); at += kSendPiece) {
    const size_t n = std::min<size_t>(kSendPiece, text.size() - at);
    SendBuffer(text.data() + at, static_cast<uint32_t>(n));
  }
}

void TZnSMTP::sendBody() {
  // As SendStream does, with progress over the whole body, but the body is handed over a
  // piece at a time rather than copied into the send queue whole.
  ReportStatus(8, "SendStream");
  Transferring = true;
  const auto alive = Lifetime();
  try {
    if (!Canceled) {
      FMessageBody.SetPosition(0);
      ReportStatus(8, "SendFile");
      BytesSent = 0;
      BytesTotal = static_cast<int32_t>(std::min<int64_t>(FMessageBody.Size(), INT32_MAX));
      std::vector<char> piece(kSendPiece);
      while (!Canceled) {
        const int64_t n = FMessageBody.Read(piece.data(), kSendPiece);
        if (n <= 0) break;
        SendBuffer(piece.data(), static_cast<uint32_t>(n));
      }
    }
  } catch (...) {
    if (!alive.expired()) Transferring = false;
    throw;
  }
  Transferring = false;
  if (Canceled) {
    Canceled = false;
    throw EAbortError("Socket send aborted");
  }
}
