#include "SocketEventSource.h"

#include <QSocketNotifier>

TSocketMessage::TSocketMessage(int message, uint32_t lParam, uint64_t serial, uint32_t address)
    : QEvent(EventType()), Message(message), LParam(lParam), Serial(serial), Address(address) {}

QEvent::Type TSocketMessage::EventType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

void TNotificationWindow::Post(int, uint32_t, uint64_t, uint32_t) {}
bool TNotificationWindow::event(QEvent* e) {
  return QObject::event(e);
}
int ErrnoToSocketError(int error) {
  return error;
}
TSocketEventSource::TSocketEventSource(TNotificationWindow* window) : window_(window) {}
TSocketEventSource::~TSocketEventSource() = default;
bool TSocketEventSource::Open(bool) {
  return false;
}
bool TSocketEventSource::Close() {
  return false;
}
void TSocketEventSource::Select(uint16_t) {}
bool TSocketEventSource::Connect(uint32_t, uint16_t) {
  return false;
}
int64_t TSocketEventSource::Receive(char*, int64_t) {
  return -1;
}
int64_t TSocketEventSource::Send(const char*, int64_t) {
  return -1;
}
TSocketHandle TSocketEventSource::Accept(sockaddr_in*) {
  return NoSocket;
}
bool TSocketEventSource::IsCurrent(const TSocketMessage&) const {
  return false;
}
void TSocketEventSource::LookupHost(const std::string&) {}
void TSocketEventSource::CancelLookup() {}
int TSocketEventSource::MaxSockets() {
  return 0;
}
