#pragma once
// Certificates made at test time for the TLS tests: a test CA and server certificates
// signed by it, each with a fresh P-256 key. Nothing here is a secret; nothing is kept.
#include <string>

// A certificate and its private key, PEM; Fingerprint is its SHA-256 as "AB:CD:...".
struct TestIdentity {
  std::string CertPem;
  std::string KeyPem;
  std::string Fingerprint;
};

struct TestCertificates {
  // Made once per process (key generation costs milliseconds each).
  static const TestCertificates& Get();

  std::string CaPem;        // the test CA; trust it through a CAFile
  TestIdentity Server;      // for "localhost", 127.0.0.1 and ::1, signed by the CA
  TestIdentity OtherName;   // for "mail.example.org" only, signed by the CA
  TestIdentity Expired;     // like Server, but its validity ended yesterday
  TestIdentity SelfSigned;  // for 127.0.0.1, signed by itself

  // Writes CaPem into folder and returns the file's path.
  std::string WriteCaFile(const std::string& folder) const;
};
