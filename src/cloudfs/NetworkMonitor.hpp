#pragma once
// Whether the drive's cloud answers: a heart beat (HEAD of the connectivity-check file) every
// `pingInterval` seconds through a session of the factory. The outcome goes to the status
// reporter whenever it changes. All state lives on the queue "com.tarnix.NetworkMonitor".

#include <memory>
#include <optional>

#include "base/Logger.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "cloudfs/DriveCloudErrorHandler.hpp"

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

  NetworkMonitor(CloudFSSessionConfiguration drive,
                 std::shared_ptr<CloudFSSessionFactory> cfsSessionFactory,
                 std::shared_ptr<NetworkStatusReportable> networkStatusReportable,
                 std::shared_ptr<DriveCloudErrorHandler> cloudErrorHandler, base::Logger logger,
                 double pingInterval = kDefaultPingInterval);
  /// Stops.
  ~NetworkMonitor();
  NetworkMonitor(const NetworkMonitor&) = delete;
  NetworkMonitor& operator=(const NetworkMonitor&) = delete;

  /// Sends a heart beat now and then every `pingInterval` seconds.
  void start();
  /// Cancels the timer and the heart beat in flight and waits until the queue is idle; nothing
  /// is reported afterwards. Must not be called on the monitor's queue.
  void stop();
  /// None until the first heart beat has come back.
  std::optional<bool> serverReachable() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tarnix::cloudfs
