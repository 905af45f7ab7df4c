#include "TestCertificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <memory>
#include <stdexcept>

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

Key newKey() {
  Key key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
  if (!key) throw std::runtime_error("test key generation failed");
  return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (!extension) throw std::runtime_error("test certificate extension failed");
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
}

// A certificate for key, signed by signer (itself when issuer is null), valid from
// fromDays to toDays around now.
Cert makeCertificate(EVP_PKEY* key, const char* commonName, const char* altNames, bool ca, X509* issuer,
                     EVP_PKEY* signer, long fromDays, long toDays) {
  static long serial = 1;
  Cert cert(X509_new(), &X509_free);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), fromDays * 86400);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), toDays * 86400);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
  X509_set_pubkey(cert.get(), key);
  X509* issuerCert = issuer ? issuer : cert.get();
  addExtension(cert.get(), issuerCert, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
  addExtension(cert.get(), issuerCert, NID_subject_key_identifier, "hash");
  if (ca) addExtension(cert.get(), issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
  if (altNames) addExtension(cert.get(), issuerCert, NID_subject_alt_name, altNames);
  if (!X509_sign(cert.get(), signer ? signer : key, EVP_sha256())) throw std::runtime_error("test signing failed");
  return cert;
}

std::string pem(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<size_t>(length));
  BIO_free(bio);
  return text;
}

std::string pem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<size_t>(length));
  BIO_free(bio);
  return text;
}

std::string fingerprint(X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509_digest(cert, EVP_sha256(), digest, &length);
  static const char hex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    if (i > 0) text += ':';
    text += hex[digest[i] >> 4];
    text += hex[digest[i] & 15];
  }
  return text;
}

TestIdentity identity(X509* cert, EVP_PKEY* key) {
  return {pem(cert), pem(key), fingerprint(cert)};
}

}  // namespace

const TestCertificates& TestCertificates::Get() {
  static const TestCertificates made = [] {
    TestCertificates out;
    Key caKey = newKey();
    Cert ca = makeCertificate(caKey.get(), "Corvane Test CA", nullptr, true, nullptr, nullptr, -1, 30);
    out.CaPem = pem(ca.get());
    const char* local = "DNS:localhost,IP:127.0.0.1,IP:::1";
    Key key = newKey();
    Cert server = makeCertificate(key.get(), "localhost", local, false, ca.get(), caKey.get(), -1, 30);
    out.Server = identity(server.get(), key.get());
    Cert other =
        makeCertificate(key.get(), "mail.example.org", "DNS:mail.example.org", false, ca.get(), caKey.get(), -1, 30);
    out.OtherName = identity(other.get(), key.get());
    Cert expired = makeCertificate(key.get(), "localhost", local, false, ca.get(), caKey.get(), -10, -1);
    out.Expired = identity(expired.get(), key.get());
    Cert self = makeCertificate(key.get(), "localhost", local, false, nullptr, nullptr, -1, 30);
    out.SelfSigned = identity(self.get(), key.get());
    return out;
  }();
  return made;
}

std::string TestCertificates::WriteCaFile(const std::string& folder) const {
  const std::string path = folder + "/test-ca.pem";
  std::ofstream(path, std::ios::binary) << CaPem;
  return path;
}
