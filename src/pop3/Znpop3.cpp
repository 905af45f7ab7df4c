#include "Znpop3.h"

#include <charconv>

#include "Exceptions.h"

namespace {

const char* const kAuthenticationFailed = "Authentication failed";

// A field made only of decimal digits (with an optional minus sign); anything else, hex
// included, counts as no messages.
int32_t CountOrZero(const std::string& field) {
  int32_t value = 0;
  const char* end = field.data() + field.size();
  const auto [stop, error] = std::from_chars(field.data(), end, value);
  return error == std::errc() && stop == end ? value : 0;
}

}  // namespace

TZnPOP3::TZnPOP3(TObject* Owner) : TZnSocket(Owner), FReader(FMailMessage, FCoder) {
  Port = 110;
  CancelCleanup = [this](TObject*) { CloseSocket(); };
  FCoder.OnMessage = [this](const std::string& Text) { Fire(OnMessage, Text); };
  FReader.OnStatus = [this](const std::string& Text) { ReportStatus(1, Text); };
}

TZnPOP3::~TZnPOP3() {
  // Nothing reaches the owner while the component goes away.
  OnDisconnect = nullptr;
  OnStatus = nullptr;
  OnSocketError = nullptr;
  Abort();
}

bool TZnPOP3::IsPositive(const std::string& Reply) {
  return NthField(Reply, ' ', 1).find("+OK") != std::string::npos;
}

std::string TZnPOP3::Command(const std::string& Text) {
  std::string reply = Transaction(Text);
  if (!IsPositive(reply)) throw Exception(reply);
  return reply;
}

void TZnPOP3::Connect() {
  // A second click while the greeting or login is awaited would start over on the socket
  // the first one is using.
  if (FConnecting) return;
  bool asked = false;
  while (Password.empty() || UserID.empty()) {
    if (!OnAuthenticationNeeded) throw Exception(kAuthenticationFailed);
    if (asked) break;  // the handler had its chance; go on with what it left
    asked = true;
    bool handled = false;
    OnAuthenticationNeeded(handled);
    if (!handled) throw Exception(kAuthenticationFailed);
  }
  CheckCredentials();
  // An open connection is left alone: no QUIT for a second connect.
  if (Connected) throw ESockError("Already connected");

  const bool wasBusy = FBusy;
  FBusy = true;
  FConnecting = true;
  bool loggedIn = false;
  const auto alive = Lifetime();
  const auto finish = [&] {
    if (alive.expired()) return;
    FConnecting = false;
    if (!wasBusy) FBusy = false;
    if (loggedIn) Fire(OnConnect, this);
  };
  try {
    try {
      // Bytes left over from a connection the server closed are not this server's greeting.
      ReceiveBuffer.Clear();
      TZnSocket::Connect();
      const std::string greeting = ReadLn();
      if (!IsPositive(greeting)) throw Exception(greeting);
      Login();
      loggedIn = true;
      ReadStat();
    } catch (...) {
      // The failure that ended the login is the one to report, not one from signing off.
      try {
        if (!alive.expired()) Quit();
      } catch (const std::exception&) {
      }
      throw;
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
}

void TZnPOP3::CheckCredentials() const {
  if (UserID.find_first_of("\r\n") != std::string::npos) throw Exception("Line break not allowed in the user ID");
  if (Password.find_first_of("\r\n") != std::string::npos) throw Exception("Line break not allowed in the password");
}

void TZnPOP3::Login() {
  for (int attempts = 0;; ++attempts) {
    CheckCredentials();  // OnAuthenticationFailed may have changed them
    std::string reply = Transaction("USER " + UserID);
    if (IsPositive(reply)) reply = Transaction("PASS " + Password);
    if (IsPositive(reply)) return;
    if (attempts > 0 || !OnAuthenticationFailed) throw Exception(kAuthenticationFailed);
    bool handled = false;
    OnAuthenticationFailed(handled);
    if (!handled) throw Exception(kAuthenticationFailed);
  }
}

void TZnPOP3::ReadStat() {
  const std::string reply = Command("STAT");
  // Taken from the line as received: without a size field the count carries the line end.
  FMessageCount = CountOrZero(NthField(reply, ' ', 2));
}

void TZnPOP3::Disconnect() {
  if (!Connected) return;
  // A QUIT sent inside another command's wait would be read as part of that dialogue;
  // end the running operation instead, which then closes without QUIT.
  if (FBusy) {
    if (!Canceled) Cancel();
    return;
  }
  // A QUIT awaiting its reply closes the connection anyway.
  if (FQuitting) return;
  Quit();
}

void TZnPOP3::Quit() {
  if (!Connected) return;
  const auto alive = Lifetime();
  FQuitting = true;
  try {
    Command("QUIT");
  } catch (...) {
    if (!alive.expired()) {
      FQuitting = false;
      CloseSocket();
    }
    throw;
  }
  FQuitting = false;
  CloseSocket();
}

void TZnPOP3::Abort() {
  if (Canceled || !Connected) return;
  if (FBusy) {
    Cancel();
    return;
  }
  CloseSocket();
}

void TZnPOP3::CloseSocket() {
  TZnSocket::Disconnect();
  // Unread bytes belong to the closed session, not to the next one.
  ReceiveBuffer.Clear();
}

void TZnPOP3::CloseIfCanceled() {
  // The server is somewhere inside its reply: the dialogue cannot go on in step.
  if (Canceled && Connected) CloseSocket();
}

void TZnPOP3::RetrieveMessage(int32_t MessageNumber) {
  // Nor inside the wait of a QUIT: the command would meet the QUIT's reply.
  if (FBusy || FQuitting) return;
  FBusy = true;
  try {
    RequireConnection();
  } catch (...) {
    FBusy = false;
    throw;
  }
  // Every handler fired from here on may destroy the component.
  const auto alive = Lifetime();
  const auto clearBusy = [&] {
    if (!alive.expired()) FBusy = false;
  };
  const auto finish = [&] {
    if (!alive.expired()) CloseIfCanceled();
    if (alive.expired()) return;
    try {
      Fire(OnRetrieveEnd, this);
    } catch (...) {
      clearBusy();
      throw;
    }
    clearBusy();
  };
  const std::string number = std::to_string(MessageNumber);
  try {
    Fire(OnRetrieveStart, this);
    FReader.Reset();
    Command("RETR " + number);
    FReader.AttachFilePath = AttachFilePath;
    FReader.ReservedFileNames = ReservedFileNames;
    FReader.RawSink = RawArchive;
    FReader.Read([this] { return ReadLn(); });
    if (DeleteOnRead) Command("DELE " + number);
    ReportStatus(1, "Message Retrieved");
  } catch (...) {
    finish();
    throw;
  }
  finish();
}

void TZnPOP3::DeleteMessage(int32_t MessageNumber) {
  if (FBusy || FQuitting) return;
  FBusy = true;
  const auto alive = Lifetime();
  try {
    RequireConnection();
    const std::string reply = Transaction("DELE " + std::to_string(MessageNumber));
    if (!IsPositive(reply)) {
      Fire(OnFailure, this);
      throw Exception(reply);
    }
  } catch (...) {
    if (!alive.expired()) CloseIfCanceled();
    if (!alive.expired()) FBusy = false;
    throw;
  }
  FBusy = false;
  Fire(OnSuccess, this);
}
