// Sends one message through TZnSMTP and prints the time it took and the process's peak
// memory: with an attachment (bench/smtp_vs_peers.sh) or to many recipients
// (bench/smtp_recipients.sh); both scripts compare it with other clients.
//
//   bench_smtp_send --port N [--host H] [--from A] [--to B] (--attach FILE | --recipients K)
//                   [--security none|starttls|ssl] [--cafile PEM] [--auth-user U --auth-pass P]
//   With --recipients K the message goes to rcpt1@example.org ... rcptK@example.org.
//   bench_smtp_send --attach FILE --compose-to FILE   (writes the text that follows DATA)
#include <sys/resource.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "Exceptions.h"
#include "MessageComposer.h"
#include "SpoolStream.h"
#include "Streams.h"
#include "TlsOptions.h"
#include "Znsmtp.h"

namespace {

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string from = "ann@example.org";
  std::string to = "sink@example.org";
  std::string attach;
  std::string composeTo;
  std::string security = "none";
  std::string caFile;
  std::string authUser;
  std::string authPassword;
  int recipients = 0;
};

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--host")
      o.host = value;
    else if (key == "--port")
      o.port = std::stoi(value);
    else if (key == "--from")
      o.from = value;
    else if (key == "--to")
      o.to = value;
    else if (key == "--attach")
      o.attach = value;
    else if (key == "--compose-to")
      o.composeTo = value;
    else if (key == "--security")
      o.security = value;
    else if (key == "--cafile")
      o.caFile = value;
    else if (key == "--auth-user")
      o.authUser = value;
    else if (key == "--auth-pass")
      o.authPassword = value;
    else if (key == "--recipients")
      o.recipients = std::stoi(value);
    else
      return false;
  }
  return argc % 2 == 1 && (!o.attach.empty() || o.recipients > 0) && (o.port > 0 || !o.composeTo.empty());
}

void fill(TPostMessage& m, const Options& o) {
  m.FromName = "Bench";
  m.FromAddress = o.from;
  m.Subject = o.recipients > 0 ? "To many" : "Large attachment";
  m.LocalProgram = "Corvane 1.0";
  if (o.recipients > 0) {
    for (int i = 1; i <= o.recipients; ++i) m.ToAddress.Add("rcpt" + std::to_string(i) + "@example.org");
  } else {
    m.ToAddress.Add(o.to);
  }
  m.Body.Add(o.attach.empty() ? "A short note." : "The attachment follows.");
  if (!o.attach.empty()) m.Attachments.Add(o.attach);
}

rusage usage() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u;
}

double cpuSeconds(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int compose(const Options& o) {
  TPostMessage m;
  fill(m, o);
  TExStringList header;
  std::string boundary;
  TSpoolStream body;
  corvane::smtp::ComposeMessage(m, uuMime, std::time(nullptr), {}, header, boundary, body);
  TFileStream out(o.composeTo, TFileStream::fmCreate);
  out.WriteString(corvane::smtp::HeaderText(header));
  out.CopyFrom(body, 0);
  out.Flush();
  return 0;
}

int send(const Options& o) {
  TZnSMTP smtp;
  smtp.Host = o.host;
  smtp.Port = o.port;
  smtp.UserID = "bench.corvane.test";
  smtp.TimeOut = 60000;
  std::string why;
  if (!ApplySecurity(smtp, o.security, o.caFile, &why) || !ApplyLogin(smtp, o.authUser, o.authPassword, &why))
    throw Exception(why);
  fill(smtp.PostMessage, o);
  bool ok = false;
  smtp.OnSuccess = [&](TObject*) { ok = true; };
  const double cpuBefore = cpuSeconds(usage());
  const auto start = std::chrono::steady_clock::now();
  smtp.Connect();
  smtp.SendMail();
  // What the user waits for after the click: the server's acceptance of the text.
  const double accepted = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  smtp.Disconnect();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!ok) throw Exception("the server did not accept the message");
  const rusage after = usage();
  std::printf("seconds=%.3f accepted=%.3f cpu=%.3f bytes=%d peak_kb=%ld\n", seconds, accepted,
              cpuSeconds(after) - cpuBefore, smtp.BytesTotal, after.ru_maxrss);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: %s --port N [--host H] [--from A] [--to B] (--attach FILE | --recipients K)\n"
                 "       [--compose-to FILE]\n"
                 "       [--security none|starttls|ssl] [--cafile PEM] [--auth-user U --auth-pass P]\n",
                 argv[0]);
    return 2;
  }
  try {
    return o.composeTo.empty() ? send(o) : compose(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
