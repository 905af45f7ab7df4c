#include "ZnSock.h"

#include <QObject>

class TTimerWindow : public QObject {};

std::function<void(const std::exception&)> TThreadTimer::ApplicationExceptionHandler;

TThreadTimer::TThreadTimer(TObject*) {}
TThreadTimer::~TThreadTimer() = default;
void TThreadTimer::SetEnabled(bool Value) {
  FEnabled = Value;
}
void TThreadTimer::SetInterval(uint32_t Value) {
  FInterval = Value;
}
void TThreadTimer::SetOnTimer(TNotifyEvent Value) {
  FOnTimer = std::move(Value);
}
void TThreadTimer::Timer() {
  Fire(FOnTimer, this);
}
void TThreadTimer::UpdateTimer() {}
void TThreadTimer::tick() {}

TZnSocket::TZnSocket(TObject*) {}
TZnSocket::~TZnSocket() = default;
TSocketHandle TZnSocket::SocketHandle() const {
  return NoSocket;
}
QObject* TZnSocket::WindowHandle() const {
  return nullptr;
}
void TZnSocket::Connect() {}
void TZnSocket::Disconnect() {}
std::string TZnSocket::Transaction(const std::string&) {
  return {};
}
void TZnSocket::Abort() {}
TSocketHandle TZnSocket::Accept() {
  return NoSocket;
}
void TZnSocket::Cancel() {}
void TZnSocket::RequireConnection() {}
void TZnSocket::ReportStatus(uint8_t, const std::string&) {}
void TZnSocket::SendBuffer(const char*, uint32_t) {}
void TZnSocket::Write(const std::string&) {}
void TZnSocket::Writeln(const std::string&) {}
std::string TZnSocket::ReadLn() {
  return {};
}
void TZnSocket::SendStream(TStream&) {}
std::string TZnSocket::LookupErrorMessage(uint16_t) {
  return {};
}
void TZnSocket::ErrorManager(uint16_t, std::string&) {}
void TZnSocket::ResolveHost() {}
void TZnSocket::RequestCloseSocket() {}
void TZnSocket::InitWinsock() {}
void TZnSocket::TimerOn() {}
void TZnSocket::TimerOff() {}
void TZnSocket::TimerTriggered(TObject*) {}
void TZnSocket::ReadToStream() {}
void TZnSocket::WriteFromStream() {}

std::string NthField(const std::string&, char, int) {
  return {};
}
