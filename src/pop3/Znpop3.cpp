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
  CancelCleanup = [this](TObject*) { CloseWithoutSignOff(); };
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

bool TZnPOP3::isPositive(const std::string& Reply) {
  return NthField(Reply, ' ', 1).find("+OK") != std::string::npos;
}

std::string TZnPOP3::command(const std::string& Text) {
  std::string reply = Transaction(Text);
  if (!isPositive(reply)) throw Exception(reply);
  return reply;
}

void TZnPOP3::askForCredentials() {
  bool asked = false;
  while (Password.empty() || UserID.empty()) {
    if (!OnAuthenticationNeeded) throw Exception(kAuthenticationFailed);
    if (asked) break;  // the handler had its chance; go on with what it left
    asked = true;
    bool handled = false;
    OnAuthenticationNeeded(handled);
    if (!handled) throw Exception(kAuthenticationFailed);
  }
  checkCredentials();
}

void TZnPOP3::Connect() {
  // A second click while the greeting or login is awaited would start over on the socket
  // the first one is using.
  if (OperationConnecting()) return;
  askForCredentials();
  // An open connection is left alone: no QUIT for a second connect.
  if (Connected) throw ESockError("Already connected");

  bool loggedIn = false;
  std::exception_ptr failure;
  const auto alive = Lifetime();
  {
    TOperation operation(*this, TOperation::okConnect);
    try {
      // Bytes left over from a connection the server closed are not this server's greeting.
      ReceiveBuffer.Clear();
      TZnSocket::Connect();
      const std::string greeting = ReadLn();
      if (!isPositive(greeting)) throw Exception(greeting);
      if (Security == secStartTLS) startTls();
      login();
      loggedIn = true;
      readStat();
    } catch (...) {
      failure = std::current_exception();
      // The failure that ended the login is the one to report, not one from signing off.
      try {
        if (operation.Alive()) quit();
      } catch (const std::exception&) {
      }
    }
  }
  if (alive.expired()) {
    if (failure) std::rethrow_exception(failure);
    return;
  }
  if (loggedIn) Fire(OnConnect, this);
  if (failure) std::rethrow_exception(failure);
}

void TZnPOP3::startTls() {
  const std::string reply = Transaction("STLS");
  if (!isPositive(reply)) {
    throw Exception(
        Host + " does not offer a secure connection (STLS): " + reply.substr(0, reply.find_last_not_of("\r\n") + 1));
  }
  StartTLS();
}

void TZnPOP3::checkCredentials() const {
  if (UserID.find_first_of("\r\n") != std::string::npos) throw Exception("Line break not allowed in the user ID");
  if (Password.find_first_of("\r\n") != std::string::npos) throw Exception("Line break not allowed in the password");
}

void TZnPOP3::login() {
  for (int attempts = 0;; ++attempts) {
    checkCredentials();  // OnAuthenticationFailed may have changed them
    std::string reply = Transaction("USER " + UserID);
    if (isPositive(reply)) reply = Transaction("PASS " + Password);
    if (isPositive(reply)) return;
    if (attempts > 0 || !OnAuthenticationFailed) throw Exception(kAuthenticationFailed);
    bool handled = false;
    OnAuthenticationFailed(handled);
    if (!handled) throw Exception(kAuthenticationFailed);
  }
}

void TZnPOP3::readStat() {
  const std::string reply = command("STAT");
  // Taken from the line as received: without a size field the count carries the line end.
  FMessageCount = CountOrZero(NthField(reply, ' ', 2));
}

void TZnPOP3::Disconnect() {
  if (DisconnectHandled()) return;
  quit();
}

void TZnPOP3::quit() {
  if (!Connected) return;
  TOperation operation(*this, TOperation::okQuit);
  try {
    command("QUIT");
  } catch (...) {
    if (operation.Alive()) CloseWithoutSignOff();
    throw;
  }
  CloseWithoutSignOff();
}

void TZnPOP3::Abort() {
  AbortOperation();
}

void TZnPOP3::RetrieveMessage(int32_t MessageNumber) {
  // Nor inside the wait of a QUIT: the command would meet the QUIT's reply.
  if (OperationBusy() || OperationQuitting()) return;
  TOperation operation(*this, TOperation::okWork);
  RequireConnection();
  // Every handler fired from here on may destroy the component.
  const auto finish = [&] {
    if (!operation.Alive()) return;
    CloseIfCanceled();
    if (operation.Alive()) Fire(OnRetrieveEnd, this);
  };
  const std::string number = std::to_string(MessageNumber);
  try {
    Fire(OnRetrieveStart, this);
    FReader.Reset();
    command("RETR " + number);
    FReader.AttachFilePath = AttachFilePath;
    FReader.ReservedFileNames = ReservedFileNames;
    FReader.RawSink = RawArchive;
    FReader.Read([this] { return ReadLn(); });
    if (DeleteOnRead) command("DELE " + number);
    ReportStatus(1, "Message Retrieved");
  } catch (...) {
    finish();
    throw;
  }
  finish();
}

void TZnPOP3::DeleteMessage(int32_t MessageNumber) {
  if (OperationBusy() || OperationQuitting()) return;
  const auto alive = Lifetime();
  {
    TOperation operation(*this, TOperation::okWork);
    try {
      RequireConnection();
      const std::string reply = Transaction("DELE " + std::to_string(MessageNumber));
      if (!isPositive(reply)) {
        Fire(OnFailure, this);
        throw Exception(reply);
      }
    } catch (...) {
      if (operation.Alive()) CloseIfCanceled();
      throw;
    }
  }
  if (!alive.expired()) Fire(OnSuccess, this);
}
