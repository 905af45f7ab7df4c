#pragma once
// Tries a guessed server the way a later connection would, up to the secure connection:
// the greeting, CAPA or EHLO, STLS or STARTTLS, the TLS handshake with its certificate
// checks. Nothing else goes out in plain text, no user name and no password at all; once
// secure, the probe says QUIT.
#include <string>

#include "ZnSock.h"

enum class TProbeKind {
  Pop3Tls,       // POP3 with TLS from the first byte (995)
  Pop3StartTls,  // POP3 upgraded with STLS (110)
  SmtpTls,       // submission with TLS from the first byte (465)
  SmtpStartTls   // submission upgraded with STARTTLS (587)
};

struct TProbeOutcome {
  bool Reached = false;  // a connection was made
  bool Works = false;    // a secure connection to a mail server of that kind
  std::string Why;       // else why not
};

// socket is configured by the caller (time-out, trusted certificates) and closed after.
TProbeOutcome ProbeServer(TZnSocket& socket, const std::string& host, uint16_t port, TProbeKind kind);
