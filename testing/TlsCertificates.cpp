#include "testing/TlsCertificates.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace kelcache_testing {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

constexpr long kDay = 24 * 60 * 60;

void Check(bool ok, const char* step) {
  if (!ok) throw std::runtime_error(std::string("making test certificates: ") + step + " failed");
}

Key MakeKey() {
  Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  Check(key != nullptr, "EVP_EC_gen");
  return key;
}

void AddExtension(X509* certificate, X509* issuer, int id, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, id, value);
  Check(extension != nullptr, "X509V3_EXT_conf_nid");
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

// A certificate for `key` named `commonName`, valid from `fromSeconds` to
// `toSeconds` around now, signed by `issuerKey` (self-signed when `issuer` is
// null).
Certificate MakeCertificate(EVP_PKEY* key, const char* commonName, const char* subjectAltName, bool isCa,
                            X509* issuer, EVP_PKEY* issuerKey, long fromSeconds, long toSeconds, long serial) {
  Certificate certificate(X509_new(), X509_free);
  Check(certificate != nullptr, "X509_new");
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), fromSeconds);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), toSeconds);
  X509_set_pubkey(certificate.get(), key);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                             0);
  X509* signer = issuer != nullptr ? issuer : certificate.get();
  X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer));
  if (isCa) {
    AddExtension(certificate.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(certificate.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(certificate.get(), signer, NID_basic_constraints, "CA:FALSE");
    AddExtension(certificate.get(), signer, NID_ext_key_usage, "serverAuth,clientAuth");
    if (subjectAltName != nullptr) AddExtension(certificate.get(), signer, NID_subject_alt_name, subjectAltName);
  }
  Check(X509_sign(certificate.get(), issuerKey, EVP_sha256()) > 0, "X509_sign");
  return certificate;
}

void WritePem(const std::string& path, X509* certificate) {
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "w"), std::fclose);
  Check(file != nullptr, "opening a certificate file");
  Check(PEM_write_X509(file.get(), certificate) == 1, "PEM_write_X509");
}

void WritePem(const std::string& path, EVP_PKEY* key) {
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "w"), std::fclose);
  Check(file != nullptr, "opening a key file");
  Check(PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1, "PEM_write_PrivateKey");
}

}  // namespace

TlsCertificates::TlsCertificates(const std::string& folder)
    : caFile(folder + "/ca.crt"),
      otherCaFile(folder + "/other-ca.crt"),
      serverCertFile(folder + "/server.crt"),
      serverKeyFile(folder + "/server.key"),
      clientCertFile(folder + "/client.crt"),
      clientKeyFile(folder + "/client.key"),
      expiredCertFile(folder + "/expired.crt"),
      expiredKeyFile(folder + "/expired.key"),
      wrongNameCertFile(folder + "/wrong-name.crt"),
      wrongNameKeyFile(folder + "/wrong-name.key"),
      selfSignedCertFile(folder + "/self-signed.crt"),
      selfSignedKeyFile(folder + "/self-signed.key") {
  const Key caKey = MakeKey();
  const Certificate ca = MakeCertificate(caKey.get(), "kelcache test CA", nullptr, true, nullptr, caKey.get(),
                                         -kDay, 30 * kDay, 1);
  WritePem(caFile, ca.get());

  const Key otherKey = MakeKey();
  WritePem(otherCaFile, MakeCertificate(otherKey.get(), "unrelated CA", nullptr, true, nullptr, otherKey.get(),
                                        -kDay, 30 * kDay, 2)
                            .get());

  struct Leaf {
    const std::string& certFile;
    const std::string& keyFile;
    const char* commonName;
    const char* subjectAltName;
    long from;
    long to;
  };
  const Leaf leaves[] = {
      {serverCertFile, serverKeyFile, "localhost", "IP:127.0.0.1,DNS:localhost", -kDay, 30 * kDay},
      {clientCertFile, clientKeyFile, "kelcache test client", nullptr, -kDay, 30 * kDay},
      {expiredCertFile, expiredKeyFile, "localhost", "IP:127.0.0.1,DNS:localhost", -3 * kDay, -kDay},
      {wrongNameCertFile, wrongNameKeyFile, "not-this-host", "DNS:not-this-host", -kDay, 30 * kDay},
  };
  const Key selfSignedKey = MakeKey();
  WritePem(selfSignedKeyFile, selfSignedKey.get());
  WritePem(selfSignedCertFile, MakeCertificate(selfSignedKey.get(), "localhost", "IP:127.0.0.1,DNS:localhost", false,
                                               nullptr, selfSignedKey.get(), -kDay, 30 * kDay, 3)
                                   .get());

  long serial = 10;
  for (const Leaf& leaf : leaves) {
    const Key key = MakeKey();
    WritePem(leaf.keyFile, key.get());
    WritePem(leaf.certFile, MakeCertificate(key.get(), leaf.commonName, leaf.subjectAltName, false, ca.get(),
                                            caKey.get(), leaf.from, leaf.to, serial++)
                                .get());
  }
}

}  // namespace kelcache_testing
