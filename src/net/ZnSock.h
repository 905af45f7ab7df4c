#pragma once
// ZnSock: the TCP client component TZnSocket on which the POP3 and SMTP components stand,
// and its time-out timer TThreadTimer.
//
// Operations look blocking: each waits in a loop that lets Qt process pending events
// (socket notifications, timer ticks, the user's clicks) until its flag is set, Cancel was
// called, the connection closed or the time-out expired. Everything runs on one thread.
//
// Subclasses: override Connect, Disconnect and Abort; call the base Connect/Disconnect to
// open and close the socket; set CancelCleanup in the constructor; send commands with
// Transaction and read lines with ReadLn; run each protocol operation inside a
// TOperation. A destructor of a subclass that needs its own Abort must call it itself (the
// base destructor can only reach the base one).
//
// Security: with secSSLTLS the base Connect returns only after the TLS handshake and the
// certificate checks passed; with secStartTLS the subclass calls StartTLS once the server
// agreed. A refused certificate raises ECertificateError and closes without sending a byte
// of the protocol.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ByteQueue.h"
#include "Events.h"
#include "Exceptions.h"
#include "NetAddress.h"
#include "SocketEventSource.h"
#include "Streams.h"
#include "StringList.h"

class TZnSocket;

using TOnHostResolved = std::function<void(TObject* Sender)>;
using TOnSocketError = std::function<void(TObject* Sender, uint16_t ErrorCode, const std::string& ErrorText)>;

class TTimerWindow;

// How a connection is protected: not at all, TLS after the protocol's own upgrade command,
// or TLS from the first byte.
enum TSecurity { secNone, secStartTLS, secSSLTLS };

namespace corvane {
// The number at the start of a reply line: at most ten digits, 0 when there are none or
// their value is past INT32_MAX; raises ERangeError "Range check error" above 32767.
int16_t ReplyCodeOf(std::string_view line);
}  // namespace corvane

// The server's certificate did not pass the checks; Fingerprint is its SHA-256
// fingerprint, which the user may choose to trust.
class ECertificateError : public ESockError {
 public:
  ECertificateError(const std::string& Text, std::string Fingerprint)
      : ESockError(Text), Fingerprint(std::move(Fingerprint)) {}
  std::string Fingerprint;
};

// A repeating timer on the GUI thread. TZnSocket uses it one-shot by switching it off at
// the first tick.
class TThreadTimer : public TObject {
 public:
  explicit TThreadTimer(TObject* Owner = nullptr);
  ~TThreadTimer() override;
  TThreadTimer(const TThreadTimer&) = delete;
  TThreadTimer& operator=(const TThreadTimer&) = delete;

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  uint32_t Interval() const { return FInterval; }
  void SetInterval(uint32_t Value);
  const TNotifyEvent& OnTimer() const { return FOnTimer; }
  void SetOnTimer(TNotifyEvent Value);

  // Receives a failure that escaped OnTimer or a socket notification's handler; without it
  // the failure is logged.
  static std::function<void(const std::exception&)> ApplicationExceptionHandler;

 protected:
  // Fires OnTimer; called at every tick.
  virtual void Timer();

 private:
  friend class TTimerWindow;

  void UpdateTimer();
  void tick();

  uint32_t FInterval = 1000;
  std::unique_ptr<TTimerWindow> FWindow;
  TNotifyEvent FOnTimer;
  bool FEnabled = true;
  int FTimerId = 0;
  int FInTick = 0;
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

class TZnSocket : public TObject {
 public:
  explicit TZnSocket(TObject* Owner = nullptr);
  ~TZnSocket() override;
  TZnSocket(const TZnSocket&) = delete;
  TZnSocket& operator=(const TZnSocket&) = delete;

  // Events, fired only when assigned.
  TNotifyEvent OnDataReceived;
  TNotifyEvent OnAccept;
  TNotifyEvent OnConnect;
  TNotifyEvent OnDisconnect;
  TOnSocketError OnSocketError;
  THandlerEvent OnInvalidHost;
  TOnHostResolved OnHostResolved;
  THandlerEvent OnConnectionRequired;
  TOnStatus OnStatus;
  TNotifyEvent OnConnectionFailed;
  TNotifyEvent OnPacketRecvd;
  TNotifyEvent OnPacketSent;
  // Run when a read notification arrives after Cancel; subclasses close and empty the buffer.
  TNotifyEvent CancelCleanup;

  // Properties.
  std::string Host;     // a name, an IPv4 address or an IPv6 one (brackets optional)
  int32_t Port = 0;     // low 16 bits used
  int32_t TimeOut = 0;  // ms for lookup, connect and every wait; 0 = none
  int32_t ReportLevel = 0;
  std::string Proxy;      // connected instead of Host when not empty
  int32_t ProxyPort = 0;  // low 16 bits used
  TSecurity Security = secNone;
  std::string CAFile;           // PEM file of extra trusted certificates; empty for none
  std::string CertFingerprint;  // SHA-256 fingerprint of one more trusted certificate

  // State, readable by subclasses, owners and tests.
  bool Transferring = false;
  bool InHandler = false;
  TStringList SocketInfo;
  int32_t BytesSent = 0;
  bool Canceled = false;
  bool ShuttingDown = false;
  int32_t LastErrorCode = 0;
  std::string Status;
  bool Succeeded = false;
  bool TimedOut = false;
  int32_t BytesTotal = 0;
  int32_t BytesRecvd = 0;
  bool ReplyReceived = false;
  // The server's address: the one connected to, or while connecting the first to try.
  TNetAddress RemoteAddress;
  std::string LastReply;
  int16_t ReplyCode = 0;
  bool SendDone = false;
  bool Connected = false;
  // Bytes waiting to be sent, front first.
  TByteQueue SendQueue;
  // Received bytes not read yet, front first; subclasses may empty it.
  TByteQueue ReceiveBuffer;

  TSocketHandle SocketHandle() const;
  QObject* WindowHandle() const;
  // True from the start of the destructor: no event fires any more.
  bool Destroying() const { return FDestroying; }

  // Resolve, connect and wait; raises ESockError on failure.
  virtual void Connect();
  // "Disconnecting", then closes at once and leaves a fresh unconnected socket.
  virtual void Disconnect();
  // Sends Command + CR LF and reads the one-line reply into LastReply and ReplyCode.
  virtual std::string Transaction(const std::string& Command);
  // Reaction to a time-out; empty here.
  virtual void Abort();
  // Waits for an incoming connection announced by the lookup reply; returns its handle.
  virtual TSocketHandle Accept();

  // Ends every wait.
  void Cancel();
  // A protocol operation is under way; the protocol components' operations do nothing then.
  bool Busy() const { return FBusy; }
  // TLS handshake and certificate checks on the open connection, waiting like every other
  // operation (cancel, TimeOut without progress, peer closed). Unread bytes are dropped
  // first: nothing sent before the handshake may pass for the protected dialogue. On
  // failure the connection is closed and ESockError (ECertificateError) raised.
  void StartTLS();
  // The bytes go through TLS.
  bool Secure() const;
  // This end's address of the open connection; empty when not connected.
  TNetAddress LocalAddress() const;
  // Gives OnConnectionRequired one chance; raises Exception "Not Connected".
  void RequireConnection();
  void ReportStatus(uint8_t Level, const std::string& Text);

  // Queues Length bytes (0 = up to the first NUL) and waits until they are handed over.
  void SendBuffer(const char* Data, uint32_t Length);
  // Sends Text up to its first NUL, cut to 16384 characters.
  void Write(const std::string& Text);
  void Writeln(const std::string& Text);
  // The next received line with its line end.
  std::string ReadLn();
  // The same into Line, whose storage is reused: no allocation per line.
  void ReadLn(std::string& Line);
  // Sends the whole stream from its start and waits until every byte was handed over.
  void SendStream(TStream& Stream);

  // The text of the socket error table for Code; empty for 0.
  std::string LookupErrorMessage(uint16_t Code);
  // Reads the last socket error; returns normally (Text empty) when it is tolerated by
  // the mask Tolerated, else fires OnSocketError and raises ESockError with its text.
  void ErrorManager(uint16_t Tolerated, std::string& Text);

  // Expires when the component is destroyed: code after a wait checks it before touching
  // the object again.
  std::weak_ptr<void> Lifetime() const { return FAlive; }

 protected:
  void ResolveHost();
  void RequestCloseSocket();
  void InitWinsock();
  void TimerOn();
  void TimerOff();
  void TimerTriggered(TObject* Sender);
  void ReadToStream();
  void WriteFromStream();
  TSocketEventSource& SocketService() { return *FSource; }

  // One protocol operation of a subclass. While it lives the component is busy (and
  // connecting), or quitting for a sign-off; leaving it clears what it set, unless a handler
  // run inside it destroyed the component. A busy flag that was already set (a connect
  // asked for by an operation under way) is left set.
  class TOperation {
   public:
    enum TKind { okWork, okConnect, okQuit };
    TOperation(TZnSocket& Owner, TKind Kind);
    ~TOperation();
    TOperation(const TOperation&) = delete;
    TOperation& operator=(const TOperation&) = delete;
    // The component still exists.
    bool Alive() const { return !FAlive.expired(); }

   private:
    TZnSocket& FOwner;
    std::weak_ptr<void> FAlive;
    TKind FKind;
    bool FWasBusy;
  };
  bool OperationBusy() const { return FBusy; }
  bool OperationConnecting() const { return FConnecting; }
  bool OperationQuitting() const { return FQuitting; }
  // Closes at once without the protocol's sign-off and forgets unread bytes.
  void CloseWithoutSignOff();
  // The protocol's sign-off as an operation of its own: say sends it and reads the reply;
  // the connection is closed afterwards whatever the reply, and also when say fails.
  void SignOff(const std::function<void()>& say);
  // After a cancel the server is somewhere inside its reply: the dialogue cannot go on in
  // step, so the connection is closed.
  void CloseIfCanceled();
  // The common Abort: cancel a running operation, or close an idle connection without
  // sign-off; nothing when already canceled or not connected.
  void AbortOperation();
  // The part of Disconnect before the sign-off: true when there is nothing to sign off
  // (not connected, a sign-off already under way) or a running operation was asked to
  // cancel instead, which then closes.
  bool DisconnectHandled();

 private:
  enum class WaitEnd { Done, Canceled, TimedOut, Closed, Idle };
  enum WaitWatch : unsigned {
    WatchTimer = 1,  // the time-out timer (lookup and connect)
    WatchIdle = 2,   // TimeOut ms without a byte received or sent
    WatchClose = 4   // the connection closed
  };
  void WindowProc(const TSocketMessage& Message);
  void Dispatch(const TSocketMessage& Message);
  void HandleClose();
  void OpenSocket(bool LingerReset);
  // Pumps events until done() holds, Cancel was called or a watched ending occurs. Raises
  // EAbortError(abortText) when the component was destroyed by a handler meanwhile.
  WaitEnd WaitFor(const std::function<bool()>& done, unsigned watch, const char* abortText);
  // Posts WM_WRITE_NOW or WM_READ_NOW for the current socket only.
  void PostSelf(int Message);
  void FinishHandler();
  void FeedSendQueue();
  // The event source for Security: plain, or OpenSSL for the TLS modes.
  void ChooseSource();
  [[noreturn]] void FailSecure(const std::string& Text, bool Certificate);
  // A wait that made no progress for TimeOut ms, or a line past the limit, ends the
  // session: closed at once, with an error that says why.
  void CloseStalled();
  [[noreturn]] void FailTimedOut();

  std::unique_ptr<TNotificationWindow> FWindow;
  std::unique_ptr<TSocketEventSource> FSource;
  std::unique_ptr<TThreadTimer> FTimer;
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
  bool FDestroying = false;
  bool FStarted = false;       // counted among the process's socket users
  bool FReadPending = false;   // a read notification met a running handler
  bool FWritePending = false;  // a write notification met a running handler
  bool FReadDeferred = false;  // reading stopped at the buffer's limit until ReadLn needs more
  int FInWindowProc = 0;
  std::vector<TNetAddress> FAddresses;  // what Host (or Proxy) resolved to
  // The stream SendStream is sending; fed into SendQueue a block at a time, so a large
  // stream is not copied whole.
  TStream* FFeed = nullptr;
  int64_t FProgress = 0;     // grows with every byte received or sent; idle detection
  bool FSecureDone = false;  // the handshake begun by StartTLS ended
  int FSecureResult = 0;     // its FD_SECURE code
  bool FBusy = false;
  bool FConnecting = false;
  bool FQuitting = false;
};

// Field N (from 1) of Text split at every Separator; empty when there is no such field.
std::string NthField(const std::string& Text, char Separator, int N);
