#include "emulator/Certificates.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

namespace tarnix::emulator {

namespace {

struct Deleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(std::FILE* p) const { std::fclose(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter>;
using Certificate = std::unique_ptr<X509, Deleter>;

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

/// A certificate for `commonName` signed by `issuer` (itself when null).
Certificate makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer,
                            EVP_PKEY* issuerKey, bool isCA) {
  Certificate cert(X509_new());
  if (!cert) return nullptr;
  std::uint64_t serial = 0;
  RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial >> 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), isCA ? 3650L * 86400 : 825L * 86400);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Tarnix"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509* signer = issuer ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  bool ok = addExtension(cert.get(), signer, NID_subject_key_identifier, "hash") &&
            addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
  if (isCA) {
    ok = ok && addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
         addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    ok = ok && addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE") &&
         addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature") &&
         addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth") &&
         addExtension(cert.get(), signer, NID_subject_alt_name,
                      "DNS:localhost,DNS:sync-localhost,IP:127.0.0.1,IP:::1");
  }
  if (!ok || X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) == 0) return nullptr;
  return cert;
}

bool writeCertificate(const std::filesystem::path& file, X509* cert) {
  std::unique_ptr<std::FILE, Deleter> out(std::fopen(file.c_str(), "w"));
  return out && PEM_write_X509(out.get(), cert) == 1;
}

bool writeKey(const std::filesystem::path& file, EVP_PKEY* key) {
  std::unique_ptr<std::FILE, Deleter> out(std::fopen(file.c_str(), "w"));
  if (!out) return false;
  std::filesystem::permissions(
      file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  return PEM_write_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

}  // namespace

std::expected<TlsFiles, std::string> ensureCertificates(const std::filesystem::path& directory) {
  TlsFiles files{directory / "ca.pem", directory / "server.pem", directory / "server-key.pem"};
  std::error_code ec;
  if (std::filesystem::exists(files.caCertificate, ec) &&
      std::filesystem::exists(files.serverCertificate, ec) &&
      std::filesystem::exists(files.serverKey, ec)) {
    return files;
  }
  std::filesystem::create_directories(directory, ec);
  if (ec) return std::unexpected("cannot create " + directory.string() + ": " + ec.message());
  Key caKey(EVP_EC_gen("P-256"));
  Key serverKey(EVP_EC_gen("P-256"));
  if (!caKey || !serverKey) return std::unexpected("cannot generate keys");
  auto ca = makeCertificate(caKey.get(), "Tarnix Cloud Emulator CA", nullptr, nullptr, true);
  if (!ca) return std::unexpected("cannot make the CA certificate");
  auto server = makeCertificate(serverKey.get(), "localhost", ca.get(), caKey.get(), false);
  if (!server) return std::unexpected("cannot make the server certificate");
  if (!writeKey(directory / "ca-key.pem", caKey.get()) ||
      !writeKey(files.serverKey, serverKey.get()) ||
      !writeCertificate(files.serverCertificate, server.get()) ||
      !writeCertificate(files.caCertificate, ca.get())) {
    return std::unexpected("cannot write the certificates to " + directory.string());
  }
  return files;
}

}  // namespace tarnix::emulator
