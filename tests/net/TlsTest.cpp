// TLS inside the socket component, against the scripted server with certificates made at
// test time: the bytes through TLS, the certificate checks and their texts, and the waits
// (cancel, time-out, peer gone) inside the handshake.
#include <gtest/gtest.h>

#include <QObject>
#include <QTemporaryDir>
#include <memory>
#include <string>

#include "Exceptions.h"
#include "FailureOf.h"
#include "NetTestSupport.h"
#include "ScriptedServer.h"
#include "TestCertificates.h"
#include "TlsSocketSource.h"
#include "ZnSock.h"

namespace {

const TestCertificates& certs() {
  return TestCertificates::Get();
}

ScriptedTlsIdentity tlsOf(const TestIdentity& identity) {
  return {identity.CertPem, identity.KeyPem};
}

// A socket in SSL/TLS mode pointed at one scripted TLS server that trusts the test CA.
struct TlsRig {
  TlsRig(const std::string& script, const TestIdentity& identity) : server(script, tlsOf(identity)) {
    socket.Host = "127.0.0.1";
    socket.Port = server.Port();
    socket.TimeOut = 5000;
    socket.Security = secSSLTLS;
    socket.CAFile = certs().WriteCaFile(dir.path().toStdString());
  }
  void Finish() {
    ASSERT_TRUE(server.WaitFinished());
    EXPECT_EQ(server.Failures(), "");
  }
  // Connect's failure text, and the fingerprint it carried when it was a certificate's.
  std::string ConnectFailure() {
    try {
      socket.Connect();
    } catch (const ECertificateError& e) {
      fingerprint = e.Fingerprint;
      return e.Message();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "(no failure)";
  }

  QTemporaryDir dir;
  ScriptedServer server;
  TTestSocket socket;
  std::string fingerprint;
};

TEST(Tls, LinesTravelBothWaysAndLargeRepliesArriveWhole) {
  // A line longer than a TLS record and several lines in one record: the second half of
  // the first, and the lines after the first of the second, are held by OpenSSL, not by
  // the socket.
  const std::string longLine(40000, 'x');
  TlsRig rig("T\nS: +OK hello\nC: PING\nS: " + longLine + "\nS: one\\r\\ntwo\\r\\nthree\nC: BYE\nE\n", certs().Server);
  rig.socket.Connect();
  EXPECT_TRUE(rig.socket.Secure());
  EXPECT_EQ(rig.socket.ReadLn(), "+OK hello\r\n");
  EXPECT_EQ(rig.socket.Transaction("PING"), longLine + "\r\n");
  EXPECT_EQ(rig.socket.ReadLn(), "one\r\n");
  EXPECT_EQ(rig.socket.ReadLn(), "two\r\n");
  EXPECT_EQ(rig.socket.ReadLn(), "three\r\n");
  rig.socket.Writeln("BYE");
  rig.socket.Disconnect();
  EXPECT_FALSE(rig.socket.Connected);
  rig.Finish();
  EXPECT_EQ(rig.server.Received(), "PING\r\nBYE\r\n");
}

TEST(Tls, LargeSendsGoThroughWhole) {
  std::string body;
  for (int i = 0; body.size() < 3'000'000; ++i) body += "line " + std::to_string(i) + " of the stream\r\n";
  TlsRig rig("T\nB: " + std::to_string(body.size()) + "\nS: 250 done\nE\n", certs().Server);
  rig.socket.Connect();
  TMemoryStream stream;
  stream.Write(body.data(), static_cast<int64_t>(body.size()));
  rig.socket.SendStream(stream);
  EXPECT_EQ(rig.socket.ReadLn(), "250 done\r\n");
  rig.socket.Disconnect();
  rig.Finish();
  EXPECT_TRUE(rig.server.Received() == body);
}

TEST(Tls, RefusedCertificatesSayWhyShowTheFingerprintAndSendNothing) {
  struct Case {
    const char* name;
    const TestIdentity& identity;
    const char* host;
    bool trustCa;
    std::string expected;
  };
  const Case cases[] = {
      {"unknown issuer", certs().Server, "127.0.0.1", false,
       "Certificate of 127.0.0.1 refused: its issuer is not among the trusted certificates"},
      {"expired", certs().Expired, "127.0.0.1", true, "Certificate of 127.0.0.1 refused: it has expired"},
      {"self-signed", certs().SelfSigned, "127.0.0.1", true,
       "Certificate of 127.0.0.1 refused: it is self-signed and not among the trusted certificates"},
      {"address mismatch", certs().OtherName, "127.0.0.1", true,
       "Certificate of 127.0.0.1 refused: it was not issued for the address 127.0.0.1"},
      {"name mismatch", certs().OtherName, "localhost", true,
       "Certificate of localhost refused: its name does not match localhost"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsRig rig("T: refused\nE\n", c.identity);
    rig.socket.Host = c.host;
    if (!c.trustCa) rig.socket.CAFile.clear();
    EXPECT_EQ(rig.ConnectFailure(), c.expected + ". SHA-256 fingerprint: " + c.identity.Fingerprint);
    EXPECT_EQ(rig.fingerprint, c.identity.Fingerprint);
    EXPECT_FALSE(rig.socket.Connected);
    rig.Finish();
    EXPECT_EQ(rig.server.Received(), "");
  }
}

TEST(Tls, TrustedByNameOrByPinnedFingerprint) {
  {
    SCOPED_TRACE("host name in the certificate");
    TlsRig rig("T\nS: hi\nE\n", certs().Server);
    rig.socket.Host = "localhost";
    rig.socket.Connect();
    EXPECT_EQ(rig.socket.ReadLn(), "hi\r\n");
    rig.socket.Disconnect();
    rig.Finish();
  }
  // The pin trusts that one certificate, whatever else is wrong with it, in any spelling.
  std::string lower = NormalizeFingerprint(certs().SelfSigned.Fingerprint);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const std::string& pin : {certs().SelfSigned.Fingerprint, lower}) {
    SCOPED_TRACE(pin);
    TlsRig rig("T\nS: hi\nE\n", certs().SelfSigned);
    rig.socket.CAFile.clear();
    rig.socket.CertFingerprint = pin;
    rig.socket.Connect();
    EXPECT_EQ(rig.socket.ReadLn(), "hi\r\n");
    rig.socket.Disconnect();
    rig.Finish();
  }
  {
    SCOPED_TRACE("a pin of another certificate trusts nothing more");
    TlsRig rig("T: refused\nE\n", certs().SelfSigned);
    rig.socket.CertFingerprint = certs().Server.Fingerprint;
    EXPECT_NE(rig.ConnectFailure().find("self-signed"), std::string::npos);
    rig.Finish();
  }
}

TEST(Tls, UnreadableCaFileIsNamed) {
  TlsRig rig("E\n", certs().Server);
  rig.socket.CAFile = rig.dir.path().toStdString() + "/missing.pem";
  EXPECT_EQ(rig.ConnectFailure(), "Cannot read trusted certificates from " + rig.socket.CAFile);
  EXPECT_FALSE(rig.socket.Connected);
  rig.Finish();
}

TEST(Tls, HandshakeWaitsEndByTimeOutCancelOrThePeerClosing) {
  {
    SCOPED_TRACE("a server that never answers the handshake");
    TlsRig rig("E\n", certs().Server);
    rig.socket.TimeOut = 300;
    EXPECT_EQ(rig.ConnectFailure(), "Secure connection to 127.0.0.1 timed out");
    EXPECT_FALSE(rig.socket.Connected);
    rig.Finish();
  }
  {
    SCOPED_TRACE("canceled while waiting");
    TlsRig rig("E\n", certs().Server);
    rig.socket.TimeOut = 0;
    QObject scope;
    Later(&scope, 100, [&] { rig.socket.Cancel(); });
    EXPECT_EQ(rig.ConnectFailure(), "Secure connection to 127.0.0.1 canceled");
    EXPECT_FALSE(rig.socket.Connected);
    rig.Finish();
  }
  {
    SCOPED_TRACE("the server hangs up");
    TlsRig rig("B: 5\nX\n", certs().Server);
    EXPECT_EQ(rig.ConnectFailure().rfind("Secure connection to 127.0.0.1 failed: ", 0), 0u);
    rig.Finish();
  }
  {
    SCOPED_TRACE("a plain server answers in the clear");
    TlsRig rig("S: +OK plain POP3 server\nE\n", certs().Server);
    EXPECT_EQ(rig.ConnectFailure().rfind("Secure connection to 127.0.0.1 failed: ", 0), 0u);
    rig.Finish();
  }
}

TEST(Tls, TheSameComponentGoesBackToPlainBytes) {
  TlsRig rig("T\nS: hi\nE\n", certs().Server);
  rig.socket.Connect();
  EXPECT_EQ(rig.socket.ReadLn(), "hi\r\n");
  rig.socket.Disconnect();
  rig.Finish();

  ScriptedServer plain("S: +OK plain\nC: QUIT\nE\n");
  rig.socket.Port = plain.Port();
  rig.socket.Security = secNone;
  rig.socket.Connect();
  EXPECT_FALSE(rig.socket.Secure());
  EXPECT_EQ(rig.socket.ReadLn(), "+OK plain\r\n");
  rig.socket.Writeln("QUIT");
  rig.socket.Disconnect();
  ASSERT_TRUE(plain.WaitFinished());
  EXPECT_EQ(plain.Failures(), "");
  EXPECT_EQ(plain.Received(), "QUIT\r\n");
}

TEST(SocketNotifications, AFailureInsideAHandlerReachesTheApplicationHandler) {
  ScriptedServer server("S: +OK hi\nE\n");
  TTestSocket socket;
  socket.Host = "127.0.0.1";
  socket.Port = server.Port();
  socket.TimeOut = 5000;
  std::string caught;
  TThreadTimer::ApplicationExceptionHandler = [&](const std::exception& e) { caught = e.what(); };
  socket.OnDataReceived = [](TObject*) { throw Exception("handler failed"); };
  socket.Connect();
  EXPECT_TRUE(PumpUntil([&] { return !caught.empty(); }));
  TThreadTimer::ApplicationExceptionHandler = nullptr;
  EXPECT_EQ(caught, "handler failed");
  socket.OnDataReceived = nullptr;
  EXPECT_EQ(socket.ReadLn(), "+OK hi\r\n");
  socket.Disconnect();
  ASSERT_TRUE(server.WaitFinished());
}

}  // namespace
