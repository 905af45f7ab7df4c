#include "ServerProbe.h"

namespace {

// A server that keeps talking is no server to set up an account on.
constexpr int kMaxReplyLines = 200;

bool positive(const std::string& line) {
  return line.rfind("+OK", 0) == 0;
}

std::string withoutLineEnd(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

// The lines of a POP3 multi-line reply up to its end line.
std::vector<std::string> readPop3Lines(TZnSocket& socket) {
  std::vector<std::string> lines;
  for (int n = 0; n < kMaxReplyLines; ++n) {
    const std::string line = withoutLineEnd(socket.ReadLn());
    if (line == ".") return lines;
    lines.push_back(line);
  }
  throw Exception("the server's reply does not end");
}

// The reply of an SMTP command with its continuation lines; the code of the last line.
int smtpReply(TZnSocket& socket, const std::string& first, std::vector<std::string>& lines) {
  std::string line = withoutLineEnd(first);
  for (int n = 0;; ++n) {
    lines.push_back(line.size() > 4 ? line.substr(4) : std::string());
    if (line.size() < 4 || line[3] != '-') break;
    if (n == kMaxReplyLines) throw Exception("the server's reply does not end");
    line = withoutLineEnd(socket.ReadLn());
  }
  return corvane::ReplyCodeOf(line);
}

void probePop3(TZnSocket& socket, bool upgrade) {
  if (!positive(socket.ReadLn())) throw Exception("no POP3 greeting");
  if (!upgrade) return;
  if (!positive(socket.Transaction("CAPA"))) throw Exception("no capabilities (CAPA)");
  bool stls = false;
  for (const std::string& line : readPop3Lines(socket)) stls = stls || line == "STLS" || line.rfind("STLS ", 0) == 0;
  if (!stls) throw Exception("no secure connection offered (STLS)");
  if (!positive(socket.Transaction("STLS"))) throw Exception("STLS refused");
  socket.StartTLS();
}

void probeSmtp(TZnSocket& socket, bool upgrade) {
  std::vector<std::string> lines;
  if (smtpReply(socket, socket.ReadLn(), lines) != 220) throw Exception("no SMTP greeting");
  // Without a name of its own the client names itself by its address (RFC 5321).
  const std::string hello = "EHLO " + socket.LocalAddress().GreetingLiteral();
  lines.clear();
  if (smtpReply(socket, socket.Transaction(hello), lines) != 250) throw Exception("EHLO refused");
  if (!upgrade) return;
  bool starttls = false;
  for (const std::string& line : lines) starttls = starttls || line == "STARTTLS";
  if (!starttls) throw Exception("no secure connection offered (STARTTLS)");
  lines.clear();
  if (smtpReply(socket, socket.Transaction("STARTTLS"), lines) != 220) throw Exception("STARTTLS refused");
  socket.StartTLS();
}

}  // namespace

TProbeOutcome ProbeServer(TZnSocket& socket, const std::string& host, uint16_t port, TProbeKind kind) {
  const bool pop3 = kind == TProbeKind::Pop3Tls || kind == TProbeKind::Pop3StartTls;
  const bool upgrade = kind == TProbeKind::Pop3StartTls || kind == TProbeKind::SmtpStartTls;
  socket.Host = host;
  socket.Port = port;
  socket.Security = upgrade ? secStartTLS : secSSLTLS;
  TProbeOutcome outcome;
  try {
    socket.Connect();
    outcome.Reached = true;
    if (pop3)
      probePop3(socket, upgrade);
    else
      probeSmtp(socket, upgrade);
    // Inside TLS now: a polite goodbye, whose answer nobody waits for.
    socket.Writeln("QUIT");
    outcome.Works = true;
  } catch (const Exception& failure) {
    outcome.Why = failure.Message();
  } catch (const std::exception& failure) {
    outcome.Why = failure.what();
  }
  if (socket.Connected) socket.Disconnect();
  socket.ReceiveBuffer.Clear();
  return outcome;
}
