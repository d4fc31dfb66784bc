#pragma once
// Whether the drive's cloud answers. Before each heart beat the monitor asks the machine's
// reachability for the drive's host (logged "Network reachability = WiFi" whenever it changes);
// with a way to the host it sends the heart beat (HEAD of the connectivity-check file) through
// a session of the factory. The outcome goes to the status reporter whenever it changes.
//
// Cadence: while the cloud answers, a beat every `pingInterval` seconds; after a failure the
// next beat comes sooner (kFirstRetryInterval, doubling with each failure up to
// `pingInterval`), so that a drive notices by itself when its cloud is back. `recheckReachability`
// beats at once. Timers follow the clock given (the system's by default), so tests can advance
// it instead of waiting.
//
// All state lives on the queue "com.tarnix.NetworkMonitor".

#include <memory>
#include <optional>

#include "base/Clock.hpp"
#include "base/Logger.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "cloudfs/DriveCloudErrorHandler.hpp"
#include "cloudfs/NetworkReachability.hpp"

namespace tarnix::cloudfs {

class NetworkStatusReportable {
 public:
  virtual ~NetworkStatusReportable() = default;
  /// Called on the monitor's queue when the cloud became reachable or unreachable.
  virtual void serverReachabilityDidChange(bool serverReachable) = 0;
};

class NetworkMonitor {
 public:
  static constexpr double kDefaultPingInterval = 60;
  /// Seconds before the first beat after a failed one.
  static constexpr double kFirstRetryInterval = 2;

  /// `clock` and `reachability`: the system's when null.
  NetworkMonitor(CloudFSSessionConfiguration drive,
                 std::shared_ptr<CloudFSSessionFactory> cfsSessionFactory,
                 std::shared_ptr<NetworkStatusReportable> networkStatusReportable,
                 std::shared_ptr<DriveCloudErrorHandler> cloudErrorHandler, base::Logger logger,
                 double pingInterval = kDefaultPingInterval,
                 std::shared_ptr<base::Clock> clock = nullptr,
                 std::shared_ptr<NetworkReachability> reachability = nullptr);
  /// Stops.
  ~NetworkMonitor();
  NetworkMonitor(const NetworkMonitor&) = delete;
  NetworkMonitor& operator=(const NetworkMonitor&) = delete;

  /// Sends a heart beat now and then on the cadence above.
  void start();
  /// Cancels the timer and the heart beat in flight and waits until the queue is idle; nothing
  /// is reported or sent afterwards. Must not be called on the monitor's queue.
  void stop();
  /// Beats now instead of at the next tick, unless a beat is on its way. Ignored when not
  /// started.
  void recheckReachability();
  /// None until the first heart beat has come back.
  std::optional<bool> serverReachable() const;
  /// None until the first beat asked.
  std::optional<NetworkReachabilityStatus> networkReachability() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tarnix::cloudfs
