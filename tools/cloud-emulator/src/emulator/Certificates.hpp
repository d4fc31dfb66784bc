#pragma once
// The emulator's own certificate authority and server certificate, made with the OpenSSL API at
// first start and reused afterwards. Clients trust the CA file (TARNIX_CA_FILE).

#include <expected>
#include <filesystem>
#include <string>

namespace tarnix::emulator {

struct TlsFiles {
  std::filesystem::path caCertificate;  // ca.pem: what clients trust
  std::filesystem::path
      serverCertificate;            // server.pem: for localhost, sync-localhost, 127.0.0.1, ::1
  std::filesystem::path serverKey;  // server-key.pem (mode 0600)
};

/// Makes the files in `directory` unless all of them exist. Errors name the failing step.
std::expected<TlsFiles, std::string> ensureCertificates(const std::filesystem::path& directory);

}  // namespace tarnix::emulator
