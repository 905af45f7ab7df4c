#include "ZnSock.h"

#include <arpa/inet.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <QTimerEvent>
#include <QtDebug>
#include <algorithm>
#include <cstring>

#include "SysUtils.h"
#include "TlsSocketSource.h"

namespace {

constexpr int64_t ChunkSize = 16383;
constexpr int64_t FeedBlock = 1 << 20;  // bytes of a sent stream queued at a time
constexpr int ChunksPerTurn = 64;       // about 1 MB per write handler before other events run
// Received bytes go straight into the receive buffer, about 1 MB per read handler.
constexpr int64_t ReceiveChunk = 64 * 1024;
constexpr int ReceiveChunksPerTurn = 16;
// Unread bytes past which reading waits for the reader (ReadLn) to ask again while a whole
// line is there for it: the buffer stays small, in the cache and free of regrowth however
// fast the server sends.
constexpr int64_t ReceiveBufferLimit = 1 << 20;
constexpr size_t LineBufferSize = 16384;  // characters Write sends at most
// A line longer than this is no mail: a server sending one is broken or hostile, and
// waiting for its end would take memory without bound.
constexpr int64_t MaxLineLength = 4 << 20;

// Sockets in use by live components; the first one describes the service.
int gSocketUsers = 0;

struct ErrorRow {
  uint16_t code;
  const char* text;
};

constexpr ErrorRow ErrorTable[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
    {0, "Unrecognized error code"},
};

}  // namespace

// The hidden object whose timer drives TThreadTimer.
class TTimerWindow : public QObject {
 public:
  explicit TTimerWindow(TThreadTimer* owner) : owner_(owner) {}
  void Detach() { owner_ = nullptr; }

 protected:
  void timerEvent(QTimerEvent* e) override {
    if (owner_ && e->timerId() == owner_->FTimerId) owner_->tick();
  }

 private:
  TThreadTimer* owner_;
};

// ---------------------------------------------------------------- TThreadTimer

std::function<void(const std::exception&)> TThreadTimer::ApplicationExceptionHandler;

TThreadTimer::TThreadTimer(TObject*) : FWindow(std::make_unique<TTimerWindow>(this)) {}

TThreadTimer::~TThreadTimer() {
  FEnabled = false;
  if (FTimerId != 0) FWindow->killTimer(FTimerId);
  FTimerId = 0;
  FWindow->Detach();
  // Destroyed from inside its own tick: Qt is still delivering to the window.
  if (FInTick > 0) FWindow.release()->deleteLater();
}

void TThreadTimer::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  FEnabled = Value;
  UpdateTimer();
}

void TThreadTimer::SetInterval(uint32_t Value) {
  if (Value == FInterval) return;
  FInterval = Value;
  UpdateTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent Value) {
  FOnTimer = std::move(Value);
  UpdateTimer();
}

void TThreadTimer::Timer() {
  Fire(FOnTimer, this);
}

void TThreadTimer::UpdateTimer() {
  if (FTimerId != 0) FWindow->killTimer(FTimerId);
  FTimerId = 0;
  if (FInterval == 0 || !FEnabled || !FOnTimer) return;
  if (FInterval > static_cast<uint32_t>(std::numeric_limits<int>::max())) {
    throw Exception("No Timer");
  }
  FTimerId = FWindow->startTimer(static_cast<int>(FInterval), Qt::PreciseTimer);
  if (FTimerId == 0) throw Exception("No Timer");
}

void TThreadTimer::tick() {
  std::weak_ptr<bool> alive = FAlive;
  ++FInTick;
  try {
    Timer();
  } catch (const std::exception& e) {
    // Never let a failure cross Qt's event loop.
    if (ApplicationExceptionHandler) {
      ApplicationExceptionHandler(e);
    } else {
      qWarning("%s", e.what());
    }
  }
  if (!alive.expired()) --FInTick;
}

// ---------------------------------------------------------------- TZnSocket

TZnSocket::TZnSocket(TObject*)
    : FWindow(std::make_unique<TNotificationWindow>()),
      FSource(std::make_unique<TPlainSocketSource>(FWindow.get())),
      FTimer(std::make_unique<TThreadTimer>(this)) {
  FTimer->SetEnabled(false);
  FTimer->SetOnTimer([this](TObject* Sender) { TimerTriggered(Sender); });
  InitWinsock();
  FWindow->Handler = [this](const TSocketMessage& Message) { WindowProc(Message); };
}

TZnSocket::~TZnSocket() {
  FDestroying = true;
  FAlive.reset();
  Abort();
  Cancel();
  FTimer.reset();
  FWindow->Handler = nullptr;
  ShuttingDown = true;
  try {
    RequestCloseSocket();
  } catch (const std::exception&) {
    // The handle goes with the event source below anyway.
  }
  FSource.reset();
  if (FStarted) --gSocketUsers;
  // Destroyed from inside a notification: Qt is still delivering to the window.
  if (FInWindowProc > 0) FWindow.release()->deleteLater();
}

void TZnSocket::InitWinsock() {
  ++gSocketUsers;
  FStarted = true;
  if (gSocketUsers == 1) {
    SocketInfo.Add("Version= 1.1");
    SocketInfo.Add("High Version= 1.1");
    SocketInfo.Add("Description= POSIX sockets with Qt notifications");
    SocketInfo.Add("System= Running");
    SocketInfo.Add("Max Sockets= " + corvane::IntToStr(TSocketEventSource::MaxSockets()));
    SocketInfo.Add("Max Udp pack size= 65507");
  }
  if (!FSource->Open(true)) {
    --gSocketUsers;
    FStarted = false;
    throw ESockError("Initializaton of windows sockets failed");
  }
  FSource->Select(FD_ALL_EVENTS);
}

TSocketHandle TZnSocket::SocketHandle() const {
  return FSource ? FSource->Handle() : NoSocket;
}

QObject* TZnSocket::WindowHandle() const {
  return FWindow.get();
}

void TZnSocket::ReportStatus(uint8_t Level, const std::string& Text) {
  if (Level > ReportLevel) return;
  Status = Text;
  if (!FDestroying) Fire(OnStatus, this, Status);
}

std::string TZnSocket::LookupErrorMessage(uint16_t Code) {
  ReportStatus(8, "Looking Up Error Message");
  if (Code == 0) return {};
  for (const ErrorRow& row : ErrorTable) {
    if (row.code == Code) return std::to_string(Code) + ":" + row.text;
  }
  return "Unknown Error No. " + std::to_string(Code);
}

void TZnSocket::ErrorManager(uint16_t Tolerated, std::string& Text) {
  ReportStatus(16, "Checking Error In Error Manager");
  const uint16_t code = static_cast<uint16_t>(FSource->LastError());
  LastErrorCode = code;
  // Every bit of the tolerated code set in the error lets it pass.
  if ((code & Tolerated) == Tolerated) {
    Text.clear();
    return;
  }
  Text = LookupErrorMessage(code);
  Fire(OnSocketError, this, code, Text);
  throw ESockError(Text);
}

void TZnSocket::Cancel() {
  ReportStatus(8, "Canceling");
  Canceled = true;
}

void TZnSocket::Abort() {}

void TZnSocket::RequireConnection() {
  int attempts = 0;
  while (!Connected) {
    if (attempts > 0 || !OnConnectionRequired) throw Exception("Not Connected");
    bool Handled = false;
    OnConnectionRequired(Handled);
    if (!Handled) throw Exception("Not Connected");
    ++attempts;
  }
}

// ---------------------------------------------------------------- waits

TZnSocket::WaitEnd TZnSocket::WaitFor(const std::function<bool()>& done, unsigned watch, const char* abortText) {
  // Most calls find their data already there.
  if (done()) return WaitEnd::Done;
  std::weak_ptr<bool> alive = FAlive;
  std::unique_ptr<QTimer> wake;
  QElapsedTimer idle;
  int64_t seen = FProgress;
  for (;;) {
    if (done()) return WaitEnd::Done;
    if (Canceled) return WaitEnd::Canceled;
    if ((watch & WatchTimer) && TimedOut) return WaitEnd::TimedOut;
    if ((watch & WatchClose) && !Connected) return WaitEnd::Closed;
    if (!wake) {
      // Wakes the loop at least every 2 ms; any notification wakes it sooner.
      wake = std::make_unique<QTimer>();
      wake->start(2);
      idle.start();
    }
    if (watch & WatchIdle) {
      if (FProgress != seen) {
        seen = FProgress;
        idle.restart();
      } else if (TimeOut > 0 && idle.elapsed() >= TimeOut) {
        return WaitEnd::Idle;
      }
    }
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (alive.expired()) throw EAbortError(abortText);
  }
}

// ---------------------------------------------------------------- connect and close

void TZnSocket::OpenSocket(bool LingerReset) {
  if (!FSource->Open(LingerReset)) {
    std::string text;
    ErrorManager(SOCK_EWOULDBLOCK, text);
    return;
  }
  FSource->Select(FD_ALL_EVENTS);
}

void TZnSocket::ResolveHost() {
  ReportStatus(8, "Resolve Host");
  const std::string& name = Proxy.empty() ? Host : Proxy;
  FAddresses.clear();
  if (const auto literal = TNetAddress::Parse(name)) {
    FAddresses.push_back(*literal);
    return;
  }
  TimerOn();
  ReplyReceived = false;
  if (name.empty()) {
    Succeeded = false;
    ReplyReceived = true;
  } else {
    FSource->LookupHost(name);
  }
  WaitFor([this] { return ReplyReceived; }, WatchTimer, "Host Lookup Canceled");
  TimerOff();
  if (!ReplyReceived) FSource->CancelLookup();
  if (TimedOut) throw ESockError("Host Lookup Timed Out");
  if (Canceled) throw ESockError("Host Lookup Canceled");
  if (!Succeeded) {
    FAddresses.clear();
    throw ESockError("Host Lookup Failed");
  }
  Fire(OnHostResolved, this);
}

void TZnSocket::Connect() {
  ReportStatus(8, "Connecting");
  Canceled = false;
  if (Connected) throw ESockError("Already connected");
  ChooseSource();
  // A socket left by an earlier failed or timed-out attempt cannot connect again.
  if (!FSource->Pristine()) {
    FSource->Close();
    OpenSocket(false);
  }
  for (int attempts = 0;; ++attempts) {
    FAddresses.clear();
    try {
      ResolveHost();
    } catch (const ESockError& e) {
      const std::string text = e.Message();
      if (text == "Host Lookup Timed Out" || text == "Host Lookup Canceled") throw;
    }
    if (!FAddresses.empty()) break;
    if (attempts > 0 || !OnInvalidHost) throw ESockError("Null Remote Address");
    bool Handled = false;
    OnInvalidHost(Handled);
    if (!Handled) throw ESockError("Null Remote Address");
  }
  const int32_t port = Proxy.empty() ? Port : ProxyPort;
  std::vector<TNetAddress> addresses = corvane::net::InterleaveFamilies(FAddresses);
  for (TNetAddress& address : addresses) address.SetPort(static_cast<uint16_t>(port & 0xFFFF));
  RemoteAddress = addresses.front();

  ReplyReceived = false;
  Succeeded = true;
  // One time-out for the whole connect, however many addresses it tries.
  if (!FSource->Connect(addresses)) {
    std::string text;
    ErrorManager(SOCK_EWOULDBLOCK, text);
  }
  TimerOn();
  WaitFor([this] { return Connected || !Succeeded; }, WatchTimer, "Connection Canceled");
  TimerOff();
  if (!TimedOut && !Canceled && Succeeded) {
    RemoteAddress = FSource->Peer();
    ReportStatus(8, "Connected to " + RemoteAddress.Endpoint());
    if (Security == secSSLTLS) StartTLS();
    return;
  }
  std::weak_ptr<bool> alive = FAlive;
  Fire(OnConnectionFailed, this);
  if (alive.expired()) throw ESockError("Connection Canceled");
  if (TimedOut) throw ESockError("Connection Timed out");
  if (Canceled) throw ESockError("Connection Canceled");
  throw ESockError("Connection Failed");
}

void TZnSocket::ChooseSource() {
  const bool tls = Security != secNone;
  if (tls == (dynamic_cast<TTlsSocketSource*>(FSource.get()) != nullptr)) return;
  FSource->CancelLookup();
  FSource->Close();
  if (tls) {
    FSource = std::make_unique<TTlsSocketSource>(FWindow.get());
  } else {
    FSource = std::make_unique<TPlainSocketSource>(FWindow.get());
  }
  OpenSocket(true);
}

bool TZnSocket::Secure() const {
  return FSource && FSource->Secure();
}

TNetAddress TZnSocket::LocalAddress() const {
  return FSource && Connected ? FSource->Local() : TNetAddress{};
}

void TZnSocket::StartTLS() {
  ReportStatus(8, "Start TLS");
  if (!Connected) throw Exception("Not Connected");
  ReceiveBuffer.Clear();
  FSecureDone = false;
  FSecureResult = 0;
  // An IPv6 literal is checked against the certificate without its brackets.
  if (!FSource->StartTls({corvane::net::BareHost(Host), CAFile, CertFingerprint})) {
    FailSecure(
        "Secure connection to " + Host + " failed: " + LookupErrorMessage(static_cast<uint16_t>(FSource->LastError())),
        false);
  }
  const WaitEnd end = WaitFor([this] { return FSecureDone; }, WatchIdle | WatchClose, "Secure connection canceled");
  if (end == WaitEnd::Done && FSecureResult == 0) {
    ReportStatus(8, "Secure");
    return;
  }
  switch (end) {
    case WaitEnd::Done:
      FailSecure(FSource->TlsError(), FSecureResult == SecureCertificateRefused);
    case WaitEnd::Idle:
      FailSecure("Secure connection to " + Host + " timed out", false);
    case WaitEnd::Closed:
      FailSecure("Secure connection to " + Host + " failed: the server closed the connection", false);
    default:
      FailSecure("Secure connection to " + Host + " canceled", false);
  }
}

void TZnSocket::FailSecure(const std::string& Text, bool Certificate) {
  const std::string fingerprint = FSource->PeerFingerprint();
  // Nothing more may go over this connection, not even the protocol's sign-off.
  if (Connected) RequestCloseSocket();
  ReceiveBuffer.Clear();
  if (Certificate) throw ECertificateError(Text, fingerprint);
  throw ESockError(Text);
}

// ---------------------------------------------------------------- operations

TZnSocket::TOperation::TOperation(TZnSocket& Owner, TKind Kind)
    : FOwner(Owner), FAlive(Owner.FAlive), FKind(Kind), FWasBusy(Owner.FBusy) {
  // A sign-off is no protocol operation: Disconnect must not cancel it, only wait for it.
  if (FKind == okQuit) {
    FOwner.FQuitting = true;
    return;
  }
  FOwner.FBusy = true;
  if (FKind == okConnect) FOwner.FConnecting = true;
}

TZnSocket::TOperation::~TOperation() {
  if (!Alive()) return;
  if (FKind == okConnect) FOwner.FConnecting = false;
  if (FKind == okQuit) FOwner.FQuitting = false;
  if (FKind != okQuit && !FWasBusy) FOwner.FBusy = false;
}

void TZnSocket::SignOff(const std::function<void()>& say) {
  TOperation operation(*this, TOperation::okQuit);
  try {
    say();
  } catch (...) {
    if (operation.Alive()) CloseWithoutSignOff();
    throw;
  }
  CloseWithoutSignOff();
}

void TZnSocket::CloseWithoutSignOff() {
  TZnSocket::Disconnect();
  ReceiveBuffer.Clear();
}

void TZnSocket::CloseIfCanceled() {
  if (Canceled && Connected) CloseWithoutSignOff();
}

void TZnSocket::AbortOperation() {
  if (Canceled || !Connected) return;
  if (FBusy) {
    Cancel();
    return;
  }
  CloseWithoutSignOff();
}

bool TZnSocket::DisconnectHandled() {
  if (!Connected) return true;
  // A sign-off sent inside another command's wait would be read as part of that dialogue.
  if (FBusy) {
    if (!Canceled) Cancel();
    return true;
  }
  // A sign-off awaiting its reply closes the connection anyway.
  return FQuitting;
}

void TZnSocket::Disconnect() {
  ReportStatus(8, "Disconnecting");
  RequestCloseSocket();
}

void TZnSocket::RequestCloseSocket() {
  ReportStatus(4, "Request Close Socket");
  Connected = false;
  // Unsent bytes and notifications put off by a running handler belong to this
  // connection only.
  SendQueue.Clear();
  FFeed = nullptr;
  FReadPending = FWritePending = FReadDeferred = false;
  if (FSource->Handle() == NoSocket) return;
  if (!FSource->Close()) {
    std::string text;
    ErrorManager(SOCK_EWOULDBLOCK, text);
    return;
  }
  if (!FDestroying) {
    std::weak_ptr<bool> alive = FAlive;
    Fire(OnDisconnect, this);
    if (alive.expired()) return;
  }
  if (!ShuttingDown && FSource->Handle() == NoSocket) OpenSocket(false);
}

// ---------------------------------------------------------------- time-out

void TZnSocket::TimerOn() {
  ReportStatus(8, "Timer On");
  TimedOut = false;
  if (TimeOut < 0) throw ERangeError("Range check error");
  FTimer->SetInterval(static_cast<uint32_t>(TimeOut));
  FTimer->SetEnabled(true);
}

void TZnSocket::TimerOff() {
  ReportStatus(8, "Timer Off");
  FTimer->SetEnabled(false);
}

void TZnSocket::TimerTriggered(TObject*) {
  ReportStatus(8, "Timer Triggered");
  TimerOff();
  TimedOut = true;
  Abort();
}

// ---------------------------------------------------------------- notifications

void TZnSocket::WindowProc(const TSocketMessage& Message) {
  if (!FSource->IsCurrent(Message)) return;
  std::weak_ptr<bool> alive = FAlive;
  ++FInWindowProc;
  try {
    Dispatch(Message);
  } catch (const std::exception& e) {
    // A notification has no caller: its failure goes where a timer tick's goes.
    if (TThreadTimer::ApplicationExceptionHandler) {
      TThreadTimer::ApplicationExceptionHandler(e);
    } else {
      qWarning("%s", e.what());
    }
  } catch (...) {
    qWarning("unknown failure in a socket notification");
  }
  if (!alive.expired()) --FInWindowProc;
}

void TZnSocket::Dispatch(const TSocketMessage& Message) {
  switch (Message.Message) {
    case WM_SOCKET_NOTIFY:
      Succeeded = Message.Error() == 0;
      switch (Message.Event()) {
        case FD_READ:
          ReadToStream();
          break;
        case FD_WRITE:
          WriteFromStream();
          break;
        case FD_ACCEPT:
          Connected = true;
          Fire(OnAccept, this);
          break;
        case FD_CONNECT:
          if (Succeeded) {
            Connected = true;
            Fire(OnConnect, this);
          } else {
            LastErrorCode = Message.Error();
          }
          break;
        case FD_CLOSE:
          HandleClose();
          break;
        case FD_SECURE:
          FSecureResult = Message.Error();
          FSecureDone = true;
          break;
      }
      break;
    case WM_LOOKUP_REPLY:
      Succeeded = Message.Error() == 0 && !Message.Addresses.empty();
      FAddresses = Message.Addresses;
      ReplyReceived = true;
      break;
    case WM_WRITE_NOW:
      WriteFromStream();
      break;
    case WM_READ_NOW:
      ReadToStream();
      break;
  }
}

void TZnSocket::HandleClose() {
  // What the server sent before closing is kept for the reader.
  for (int64_t n = 1; n > 0 && !Canceled;) {
    n = FSource->Receive(ReceiveBuffer.Room(ReceiveChunk), ReceiveChunk);
    if (n > 0) {
      ReceiveBuffer.Commit(static_cast<size_t>(n));
      FProgress += n;
    }
  }
  Connected = false;
  RequestCloseSocket();
}

void TZnSocket::PostSelf(int Message) {
  FWindow->Post(Message, 0, FSource->Serial());
}

void TZnSocket::FinishHandler() {
  InHandler = false;
  // Notifications that met the running handler were dropped; ask for them again.
  if (FReadPending) PostSelf(WM_READ_NOW);
  if (FWritePending) PostSelf(WM_WRITE_NOW);
  FReadPending = FWritePending = false;
}

void TZnSocket::ReadToStream() {
  std::weak_ptr<bool> alive = FAlive;
  if (Canceled) {
    FSource->Select(0);
    Fire(CancelCleanup, this);
    if (alive.expired() || !Connected) return;
  }
  if (InHandler) {
    FReadPending = true;
    return;
  }
  // Not read now, the socket announces nothing more until ReadLn asks for it again. A
  // buffer without a whole line is read on: the reader needs its end.
  if (ReceiveBuffer.Size() >= ReceiveBufferLimit && ReceiveBuffer.HasLine()) {
    FReadDeferred = true;
    return;
  }
  InHandler = true;
  bool received = false;
  try {
    ReportStatus(8, "ReadToStream");
    // Full chunks mean more is waiting: read on, up to a bounded number, then yield to
    // other events and resume by message.
    for (int chunks = 1;; ++chunks) {
      const int64_t n = FSource->Receive(ReceiveBuffer.Room(ReceiveChunk), ReceiveChunk);
      if (n < 0) {
        LastErrorCode = FSource->LastError();
        // Nothing waiting is no failure: a notification can outlive the bytes it announced.
        if (LastErrorCode != SOCK_EWOULDBLOCK) {
          const std::string text = LookupErrorMessage(static_cast<uint16_t>(LastErrorCode));
          Fire(OnSocketError, this, static_cast<uint16_t>(LastErrorCode), text);
        }
        break;
      }
      received = true;
      ReceiveBuffer.Commit(static_cast<size_t>(n));
      FProgress += n;
      if (Transferring) {
        BytesRecvd += static_cast<int32_t>(n);
        Fire(OnPacketRecvd, this);
        if (alive.expired()) return;
      }
      if (n < ReceiveChunk) break;
      if (ReceiveBuffer.Size() >= ReceiveBufferLimit && ReceiveBuffer.HasLine()) {
        FReadDeferred = true;
        break;
      }
      if (chunks == ReceiveChunksPerTurn) {
        PostSelf(WM_READ_NOW);
        break;
      }
    }
  } catch (...) {
    if (!alive.expired()) FinishHandler();
    throw;
  }
  if (alive.expired()) return;
  FinishHandler();
  if (received) Fire(OnDataReceived, this);
}

void TZnSocket::FeedSendQueue() {
  if (!FFeed || SendQueue.Size() >= ChunkSize) return;
  if (SendQueue.AppendFrom(*FFeed, FeedBlock) == 0) FFeed = nullptr;
}

void TZnSocket::WriteFromStream() {
  if (InHandler) {
    FWritePending = true;
    return;
  }
  std::weak_ptr<bool> alive = FAlive;
  InHandler = true;
  try {
    ReportStatus(8, "WriteFromStream");
    FeedSendQueue();
    // Nothing (left) to send must not leave a send waiting.
    if (SendQueue.Empty()) SendDone = true;
    // Chunks go out back to back while the socket takes them whole; after a bounded
    // number the loop yields to other events and resumes by message.
    for (int chunks = 0; !SendQueue.Empty() && !Canceled; ++chunks) {
      if (chunks == ChunksPerTurn) {
        PostSelf(WM_WRITE_NOW);
        break;
      }
      const int64_t length = std::min<int64_t>(SendQueue.Size(), ChunkSize);
      const int64_t n = FSource->Send(SendQueue.View().data(), length);
      if (n < 0) {
        // The socket's next write notification resumes the queue.
        LastErrorCode = FSource->LastError();
        break;
      }
      SendQueue.Consume(n);
      FeedSendQueue();
      if (SendQueue.Empty()) SendDone = true;
      BytesSent += static_cast<int32_t>(n);
      FProgress += n;
      if (Transferring) {
        Fire(OnPacketSent, this);
        if (alive.expired()) return;
      }
      if (n < length && !SendQueue.Empty()) {
        PostSelf(WM_WRITE_NOW);
        break;
      }
    }
  } catch (...) {
    if (!alive.expired()) FinishHandler();
    throw;
  }
  if (!alive.expired()) FinishHandler();
}

// ---------------------------------------------------------------- lines and streams

void TZnSocket::SendBuffer(const char* Data, uint32_t Length) {
  ReportStatus(4, "Sending Buffer");
  if (Canceled) return;
  size_t length = Length;
  if (length == 0) {
    length = strnlen(Data, 65536);
    if (length > 65535) throw ERangeError("Range check error");
  }
  if (length == 0) return;
  SendQueue.Append(Data, static_cast<int64_t>(length));
  SendDone = false;
  PostSelf(WM_WRITE_NOW);
  const WaitEnd end = WaitFor([this] { return SendDone; }, WatchIdle | WatchClose, "Socket send aborted");
  if (end == WaitEnd::Done && !Canceled) return;
  if (end == WaitEnd::Idle) FailTimedOut();
  Canceled = false;
  SendQueue.Clear();
  throw EAbortError("Socket send aborted");
}

void TZnSocket::CloseStalled() {
  // The dialogue is out of step for good: no sign-off, whose reply would cost another wait.
  if (Connected) RequestCloseSocket();
  ReceiveBuffer.Clear();
}

void TZnSocket::FailTimedOut() {
  CloseStalled();
  const int32_t seconds = TimeOut / 1000;
  const std::string span = TimeOut % 1000 != 0 ? std::to_string(TimeOut) + " ms"
                           : seconds == 1      ? "1 second"
                                               : std::to_string(seconds) + " seconds";
  throw ESockError("Timed out: no progress with " + Host + " for " + span);
}

void TZnSocket::Write(const std::string& Text) {
  ReportStatus(8, "Write");
  const size_t length = std::min(Text.find('\0'), LineBufferSize);
  SendBuffer(Text.data(), static_cast<uint32_t>(std::min(length, Text.size())));
}

void TZnSocket::Writeln(const std::string& Text) {
  ReportStatus(8, "Writeln");
  // The text is cut as Write cuts it, but the line end always goes out.
  std::string line = Text.substr(0, std::min(Text.find('\0'), LineBufferSize - 2));
  line += "\r\n";
  Write(line);
}

std::string TZnSocket::ReadLn() {
  std::string line;
  ReadLn(line);
  return line;
}

void TZnSocket::ReadLn(std::string& line) {
  ReportStatus(8, "ReadLn");
  if (!Canceled && ReceiveBuffer.TakeLine(line)) return;
  bool overlong = false;
  const WaitEnd end = WaitFor(
      [this, &line, &overlong] {
        if (Canceled) return false;
        if (ReceiveBuffer.TakeLine(line)) return true;
        if (FReadDeferred) {
          FReadDeferred = false;
          PostSelf(WM_READ_NOW);
        }
        overlong = ReceiveBuffer.Size() > MaxLineLength;
        return overlong;
      },
      WatchIdle | WatchClose, "Socket readln aborted");
  if (overlong) {
    CloseStalled();
    throw ESockError(Host + " sent a line longer than " + std::to_string(MaxLineLength >> 20) +
                     " MB; the connection was closed");
  }
  if (end == WaitEnd::Idle) FailTimedOut();
  if (end != WaitEnd::Done) throw EAbortError("Socket readln aborted");
}

namespace corvane {

int16_t ReplyCodeOf(std::string_view line) {
  int64_t value = 0;
  size_t digits = 0;
  while (digits < line.size() && digits < 10 && line[digits] >= '0' && line[digits] <= '9')
    value = value * 10 + (line[digits++] - '0');
  if (value > std::numeric_limits<int32_t>::max()) return 0;
  if (value > 32767) throw ERangeError("Range check error");
  return static_cast<int16_t>(value);
}

}  // namespace corvane

std::string TZnSocket::Transaction(const std::string& Command) {
  ReportStatus(8, "Transaction");
  ReplyCode = 0;
  Writeln(Command);
  LastReply = ReadLn();
  if (!LastReply.empty()) {
    ReportStatus(1, LastReply);
    ReplyCode = corvane::ReplyCodeOf(LastReply);
  }
  return LastReply;
}

void TZnSocket::SendStream(TStream& Stream) {
  Transferring = true;
  WaitEnd end = WaitEnd::Done;
  std::weak_ptr<bool> alive = FAlive;
  try {
    ReportStatus(8, "SendStream");
    if (!Canceled) {
      Stream.SetPosition(0);
      ReportStatus(8, "SendFile");
      BytesSent = 0;
      BytesTotal = static_cast<int32_t>(Stream.Size());
      FFeed = &Stream;
      FeedSendQueue();
      SendDone = false;
      PostSelf(WM_WRITE_NOW);
      end = WaitFor([this] { return SendDone; }, WatchIdle | WatchClose, "Socket send aborted");
    }
  } catch (...) {
    if (alive.expired()) throw;
    Transferring = false;
    FFeed = nullptr;
    SendQueue.Clear();
    if (!Canceled) throw;
    end = WaitEnd::Canceled;
  }
  Transferring = false;
  FFeed = nullptr;
  if (end == WaitEnd::Done && !Canceled) return;
  if (end == WaitEnd::Idle) FailTimedOut();
  Canceled = false;
  SendQueue.Clear();
  throw EAbortError("Socket send aborted");
}

TSocketHandle TZnSocket::Accept() {
  WaitFor([this] { return ReplyReceived; }, WatchIdle, "Accepting Canceled");
  if (Canceled || !ReplyReceived) throw ESockError("Accepting Canceled");
  if (!Succeeded) throw ESockError("Error creating Data Connection");
  ReportStatus(4, "Accepting");
  TNetAddress peer;
  const TSocketHandle handle = FSource->Accept(&peer);
  if (handle == NoSocket) {
    std::string text;
    ErrorManager(SOCK_EWOULDBLOCK, text);
  } else {
    RemoteAddress = peer;
  }
  if (Canceled) {
    Canceled = false;
    throw EAbortError("Socket send aborted");
  }
  return handle;
}

// ---------------------------------------------------------------- fields

std::string NthField(const std::string& Text, char Separator, int N) {
  std::string result;
  if (N <= 0) return result;
  int count = 0;
  for (char c : Text) {
    if (c == Separator) {
      if (++count == N) break;
    } else if (count == N - 1) {
      result += c;
    }
  }
  return result;
}
