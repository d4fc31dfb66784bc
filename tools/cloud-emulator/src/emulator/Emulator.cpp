#include "emulator/Emulator.hpp"

#include <fstream>

#include "base/Uuid.hpp"
#include "emulator/Faults.hpp"
#include "emulator/Seeder.hpp"
#include "emulator/Server.hpp"

namespace tarnix::emulator {

struct Emulator::Parts {
  std::unique_ptr<Store> store;
  std::unique_ptr<Cloud> cloud;
  FaultInjector faults;
  RequestLog log;
  std::unique_ptr<Server> server;
};

Emulator::~Emulator() = default;

std::expected<std::unique_ptr<Emulator>, std::string> Emulator::open(
    const EmulatorOptions& options) {
  std::unique_ptr<Emulator> emulator(new Emulator());
  auto parts = std::make_unique<Parts>();
  try {
    std::filesystem::create_directories(options.dataDir);
    parts->store = std::make_unique<Store>(options.dataDir);
    ensureDefaultUsers(*parts->store);
    auto token = parts->store->meta("admin_token");
    if (!token) {
      token = base::makeUuid();
      parts->store->setMeta("admin_token", *token);
    }
    emulator->adminToken_ = *token;
    std::ofstream(options.dataDir / "admin-token") << *token << "\n";
  } catch (const SqlError& e) {
    return std::unexpected("cannot open the state in " + options.dataDir.string() + ": " + e.what);
  } catch (const std::exception& e) {
    return std::unexpected("cannot use " + options.dataDir.string() + ": " + e.what());
  }
  parts->cloud = std::make_unique<Cloud>(*parts->store, systemClock());
  if (options.seed) {
    if (auto seeded = seed(*parts->cloud, *options.seed); !seeded) {
      return std::unexpected(seeded.error());
    }
  }
  if (options.faults) {
    if (auto loaded = parts->faults.loadFile(*options.faults); !loaded) {
      return std::unexpected("fault rules: " + loaded.error());
    }
  }
  auto tls = ensureCertificates(options.dataDir / "tls");
  if (!tls) return std::unexpected("certificates: " + tls.error());
  emulator->tls_ = *tls;
  parts->server =
      std::make_unique<Server>(ServerOptions{options.address, options.port, *tls,
                                             emulator->adminToken_, parts->store->tempDir()},
                               *parts->cloud, parts->faults, parts->log);
  auto port = parts->server->listen();
  if (!port) return std::unexpected(port.error());
  emulator->port_ = *port;
  emulator->parts_ = std::move(parts);
  return emulator;
}

void Emulator::run(bool handleSignals) {
  parts_->server->run(handleSignals);
}

void Emulator::stop() {
  parts_->server->stop();
}

}  // namespace tarnix::emulator
