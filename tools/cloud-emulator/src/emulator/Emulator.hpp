#pragma once
// The whole emulator: data folder, state, certificates, seeding, fault rules and the server.
//
// A fresh data folder gets three users (name / password / OAuth token):
//   alice / alice-password / alice-token   (Alice Adams, alice@example.com)
//   bob   / bob-password   / bob-token     (Bob Brown, bob@example.com)
//   admin / admin-password / admin-token   (may unlock other users' locks)

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "emulator/Certificates.hpp"

namespace tarnix::emulator {

struct EmulatorOptions {
  std::filesystem::path dataDir;
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;
  std::optional<std::string> seed;              // "demo" or "scale:N"
  std::optional<std::filesystem::path> faults;  // a JSON file of fault rules
};

class Emulator {
 public:
  /// Opens the data folder and binds the port. Errors are printable sentences.
  static std::expected<std::unique_ptr<Emulator>, std::string> open(const EmulatorOptions& options);
  ~Emulator();

  std::uint16_t port() const { return port_; }
  const TlsFiles& tls() const { return tls_; }
  const std::string& adminToken() const { return adminToken_; }

  /// Serves until stop() or, when `handleSignals`, SIGINT/SIGTERM.
  void run(bool handleSignals);
  void stop();

  struct Parts;

 private:
  Emulator() = default;
  std::unique_ptr<Parts> parts_;
  std::uint16_t port_ = 0;
  TlsFiles tls_;
  std::string adminToken_;
};

}  // namespace tarnix::emulator
