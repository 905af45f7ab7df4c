#include "Znpop3.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "Exceptions.h"
#include "SaslLogin.h"
#include "SysUtils.h"

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

// The message's lines straight from the receive buffer: runs of lines that have arrived
// are read in place, without a copy each.
class ReceivedLines : public TLineInput {
 public:
  explicit ReceivedLines(TZnSocket& socket) : socket_(socket) {}
  void ReadLine(std::string& line) override { socket_.ReadLn(line); }
  // After a cancel every read must fail as ReadLn does, so nothing is at hand.
  std::string_view Buffered() override {
    return socket_.Canceled ? std::string_view() : socket_.ReceiveBuffer.CompleteLines();
  }
  void Take(size_t count) override { socket_.ReceiveBuffer.Consume(static_cast<int64_t>(count)); }

 private:
  TZnSocket& socket_;
};

}  // namespace

TZnPOP3::TZnPOP3(TObject* Owner) : TZnSocket(Owner), FReader(FMailMessage) {
  Port = 110;
  CancelCleanup = [this](TObject*) { CloseWithoutSignOff(); };
  FReader.OnMessage = [this](const std::string& Text) { Fire(OnMessage, Text); };
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
      FSent.clear();
      FPlan.clear();
      FAhead = 0;
      FUtf8 = FUtf8Listed = false;
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
    throw Exception(Host +
                    " does not offer a secure connection (STLS): " + std::string(corvane::WithoutLineBreaks(reply)));
  }
  StartTLS();
}

void TZnPOP3::checkCredentials() const {
  if (UserID.find_first_of("\r\n") != std::string::npos) throw Exception("Line break not allowed in the user ID");
  if (Password.find_first_of("\r\n") != std::string::npos) throw Exception("Line break not allowed in the password");
}

void TZnPOP3::login() {
  FMechanism = SaslLogin ? std::string() : "USER";
  if (SaslLogin) return saslLogin();
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

std::vector<std::string> TZnPOP3::loginOffers() {
  std::vector<std::string> offers;
  // A server without CAPA knows only what RFC 1939 gave every server.
  if (!isPositive(Transaction("CAPA"))) return {"USER"};
  readMultiLine([&](std::string& line) {
    std::string word;
    std::vector<std::string> words;
    for (const char c : line + ' ') {
      if (c != ' ' && c != '\t') {
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      } else if (!word.empty()) {
        words.push_back(std::move(word));
        word.clear();
      }
    }
    if (words.empty()) return;
    if (words[0] == "USER") offers.push_back("USER");
    if (words[0] == "UTF8") FUtf8Listed = true;
    if (words[0] == "SASL") offers.insert(offers.end(), words.begin() + 1, words.end());
  });
  return offers;
}

void TZnPOP3::saslLogin() {
  namespace sasl = corvane::sasl;
  const sasl::Credentials credentials{UserID, Password, BearerToken, Host, Port & 0xFFFF};
  const std::vector<std::string> candidates = BearerToken ? corvane::sasl::TokenMechanisms(PreferXOAuth2)
                                                          : std::vector<std::string>{"CRAM-MD5", "PLAIN", "USER"};
  const std::string chosen = sasl::ChooseMechanism(loginOffers(), candidates, {credentials, Secure(), AllowPlainLogin});
  // RFC 6856 registers UTF8 for this state; a refusal changes nothing.
  if (FUtf8Listed) FUtf8 = isPositive(Transaction("UTF8"));
  if (chosen == "USER") {
    std::string reply = Transaction("USER " + UserID);
    if (isPositive(reply)) reply = Transaction("PASS " + Password);
    if (!isPositive(reply))
      throw sasl::ELoginRefused(
          "Login as " + UserID + " at " + Host + " refused: " + std::string(corvane::WithoutLineBreaks(reply)), false);
  } else {
    const auto mechanism = sasl::MakeMechanism(chosen, credentials);
    // RFC 5034: an initial response that would make the command longer than 255 octets
    // waits for the server's empty challenge.
    constexpr size_t kMaxCommand = 255;
    sasl::Authenticate(*mechanism, credentials, kMaxCommand, [this](const std::string& line) {
      const std::string text(corvane::WithoutLineBreaks(Transaction(line)));
      if (text == "+" || text.rfind("+ ", 0) == 0)
        return sasl::Reply{sasl::Reply::Challenge, text.substr(std::min<size_t>(2, text.size()))};
      return sasl::Reply{isPositive(text) ? sasl::Reply::Success : sasl::Reply::Refusal, text};
    });
  }
  FMechanism = chosen;
}

void TZnPOP3::readStat() {
  const std::string reply = command("STAT");
  // Taken from the line as received: without a size field the count carries the line end.
  FMessageCount = CountOrZero(NthField(reply, ' ', 2));
  const std::string octets = NthField(reply, ' ', 3);
  int64_t size = 0;
  const auto [stop, error] = std::from_chars(octets.data(), octets.data() + octets.size(), size);
  FMailboxOctets = error == std::errc() && size > 0 ? size : 0;
}

void TZnPOP3::Disconnect() {
  if (DisconnectHandled()) return;
  quit();
}

void TZnPOP3::quit() {
  if (!Connected) return;
  SignOff([this] {
    drainAhead();
    command("QUIT");
  });
}

void TZnPOP3::Abort() {
  AbortOperation();
}

void TZnPOP3::RetrieveMessage(int32_t MessageNumber) {
  retrieve(MessageNumber, false);
}

void TZnPOP3::RetrieveHeader(int32_t MessageNumber) {
  retrieve(MessageNumber, true);
}

void TZnPOP3::retrieve(int32_t MessageNumber, bool HeaderOnly) {
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
    if (HeaderOnly) {
      drainAhead();
      command("TOP " + number + " 0");
    } else if (!FSent.empty() && FSent.front() == MessageNumber) {
      FSent.pop_front();
      const std::string reply = aheadReply();
      sendAhead();
      if (!isPositive(reply)) throw Exception(reply);
    } else {
      drainAhead();
      if (!FPlan.empty() && FPlan.front() == MessageNumber) FPlan.pop_front();
      if (FAhead > 0 && !DeleteOnRead) {
        Writeln("RETR " + number);
        // The next RETRs go out before this reply is read: their replies follow it at once.
        sendAhead();
        const std::string reply = aheadReply();
        if (!isPositive(reply)) throw Exception(reply);
      } else {
        command("RETR " + number);
      }
    }
    FReader.AttachFilePath = AttachFilePath;
    FReader.ReservedFileNames = ReservedFileNames;
    FReader.RawSink = HeaderOnly ? nullptr : RawArchive;
    ReceivedLines lines(*this);
    FReader.Read(lines);
    if (DeleteOnRead && !HeaderOnly) command("DELE " + number);
    ReportStatus(1, "Message Retrieved");
  } catch (...) {
    // The retrievals sent ahead belong to a loop that ends here; a component that a handler
    // destroyed has none left to clear.
    if (operation.Alive()) {
      FPlan.clear();
      try {
        if (Connected && !Canceled) drainAhead();
      } catch (const std::exception&) {
      }
    }
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
      drainAhead();
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

bool TZnPOP3::RetrieveUniqueIds(std::vector<std::string>& Ids) {
  Ids.clear();
  if (OperationBusy() || OperationQuitting()) return false;
  TOperation operation(*this, TOperation::okWork);
  try {
    RequireConnection();
    drainAhead();
    if (!isPositive(Transaction("UIDL"))) return false;
    std::vector<std::string> ids;
    // Every line is "number id".
    readMultiLine([&](std::string& line) {
      const size_t space = line.find(' ');
      int32_t number = 0;
      const char* digitsEnd = line.data() + (space == std::string::npos ? 0 : space);
      const auto [stop, error] = std::from_chars(line.data(), digitsEnd, number);
      // A line that does not fit makes the whole list unusable; the rest is still read.
      if (error != std::errc() || stop != digitsEnd || number != static_cast<int32_t>(ids.size()) + 1 ||
          space + 1 >= line.size()) {
        ids.push_back({});
        return;
      }
      ids.push_back(line.substr(space + 1));
    });
    for (const std::string& id : ids)
      if (id.empty()) return false;
    Ids = std::move(ids);
    return true;
  } catch (...) {
    if (operation.Alive()) CloseIfCanceled();
    throw;
  }
}

bool TZnPOP3::RetrieveSizes(std::vector<int64_t>& Sizes) {
  Sizes.clear();
  if (OperationBusy() || OperationQuitting()) return false;
  TOperation operation(*this, TOperation::okWork);
  try {
    RequireConnection();
    drainAhead();
    if (!isPositive(Transaction("LIST"))) return false;
    bool fits = true;
    // Every line is "number size".
    readMultiLine([&](std::string& line) {
      int32_t number = 0;
      int64_t size = -1;
      const char* end = line.data() + line.size();
      const auto [stop, error] = std::from_chars(line.data(), end, number);
      // What may follow the size is not ours to read.
      if (error == std::errc() && stop != end && *stop == ' ') std::from_chars(stop + 1, end, size);
      if (size < 0 || number != static_cast<int32_t>(Sizes.size()) + 1) fits = false;
      Sizes.push_back(size);
    });
    if (!fits) Sizes.clear();
    return fits;
  } catch (...) {
    if (operation.Alive()) CloseIfCanceled();
    throw;
  }
}

void TZnPOP3::readMultiLine(const std::function<void(std::string& Line)>& Take) {
  // Bounded by the server's end line; a closed connection ends ReadLn with a failure.
  ReceivedLines lines(*this);
  TMultiLineReply::ReadAll(lines, Take);
}

bool TZnPOP3::RetrieveCapabilities(std::vector<std::string>& Caps) {
  Caps.clear();
  if (OperationBusy() || OperationQuitting()) return false;
  TOperation operation(*this, TOperation::okWork);
  try {
    RequireConnection();
    drainAhead();
    if (!isPositive(Transaction("CAPA"))) return false;
    readMultiLine([&](std::string& line) { Caps.push_back(std::move(line)); });
    return true;
  } catch (...) {
    if (operation.Alive()) CloseIfCanceled();
    throw;
  }
}

bool TZnPOP3::EnableUtf8() {
  if (OperationBusy() || OperationQuitting()) return false;
  TOperation operation(*this, TOperation::okWork);
  try {
    RequireConnection();
    drainAhead();
    FUtf8 = isPositive(Transaction("UTF8"));
    return FUtf8;
  } catch (...) {
    if (operation.Alive()) CloseIfCanceled();
    throw;
  }
}

void TZnPOP3::PlanRetrievals(std::vector<int32_t> Numbers, int Ahead) {
  FPlan.assign(Numbers.begin(), Numbers.end());
  FAhead = std::max(Ahead, 0);
}

std::string TZnPOP3::aheadReply() {
  LastReply = ReadLn();
  if (!LastReply.empty()) ReportStatus(1, LastReply);
  return LastReply;
}

void TZnPOP3::sendAhead() {
  // A DELE after each message would meet the replies of the RETRs sent ahead.
  if (FAhead <= 0 || DeleteOnRead) return;
  std::string commands;
  while (std::ssize(FSent) < FAhead && !FPlan.empty()) {
    commands += "RETR " + std::to_string(FPlan.front()) + "\r\n";
    FSent.push_back(FPlan.front());
    FPlan.pop_front();
  }
  if (!commands.empty()) SendBuffer(commands.data(), static_cast<uint32_t>(commands.size()));
}

void TZnPOP3::drainAhead() {
  while (!FSent.empty()) {
    FSent.pop_front();
    if (isPositive(aheadReply())) readMultiLine([](std::string&) {});
  }
}

void TZnPOP3::DeleteMessages(const std::vector<int32_t>& Numbers) {
  if (FAhead <= 0) {
    for (const int32_t number : Numbers) DeleteMessage(number);
    return;
  }
  // Enough to cross a slow link in few round trips, few enough that the replies never
  // fill the buffers of either side while the commands are still being written.
  constexpr size_t kBatch = 500;
  for (size_t first = 0; first < Numbers.size(); first += kBatch) {
    if (OperationBusy() || OperationQuitting()) return;
    const auto alive = Lifetime();
    const size_t last = std::min(Numbers.size(), first + kBatch);
    std::vector<std::string> replies;
    {
      TOperation operation(*this, TOperation::okWork);
      try {
        RequireConnection();
        drainAhead();
        std::string commands;
        for (size_t i = first; i < last; ++i) commands += "DELE " + std::to_string(Numbers[i]) + "\r\n";
        SendBuffer(commands.data(), static_cast<uint32_t>(commands.size()));
        for (size_t i = first; i < last; ++i) replies.push_back(aheadReply());
      } catch (...) {
        if (operation.Alive()) CloseIfCanceled();
        throw;
      }
    }
    for (const std::string& reply : replies) {
      if (alive.expired()) return;
      if (!isPositive(reply)) {
        Fire(OnFailure, this);
        throw Exception(reply);
      }
      Fire(OnSuccess, this);
    }
  }
}
