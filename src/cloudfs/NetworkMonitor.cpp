#include "cloudfs/NetworkMonitor.hpp"

#include <algorithm>
#include <cmath>

#include "cloudfs/ResponseValidator.hpp"
#include "cloudfs/requests/ServiceRequests.hpp"

namespace tarnix::cloudfs {

// Every field but the constants is touched on `serialQueue` only.
struct NetworkMonitor::State : std::enable_shared_from_this<State> {
  CloudFSSessionConfiguration drive;
  std::shared_ptr<CloudFSSessionFactory> factory;
  std::shared_ptr<NetworkStatusReportable> reporter;
  std::shared_ptr<DriveCloudErrorHandler> errorHandler;
  base::Logger logger = base::Logger::null();
  double pingInterval = NetworkMonitor::kDefaultPingInterval;
  std::shared_ptr<base::Clock> clock;
  std::shared_ptr<NetworkReachability> reachability;
  std::shared_ptr<base::DispatchQueue> serialQueue;
  std::shared_ptr<ResponseValidator> validator;

  bool enabled = false;
  std::shared_ptr<base::DispatchWorkItem> timer;
  bool beating = false;
  CloudFSSessionTask inFlight;
  int failures = 0;  // beats failed in a row
  std::optional<bool> serverReachable;
  std::optional<NetworkReachabilityStatus> networkReachability;
  std::shared_ptr<CloudFSSession> session;

  void ping() {
    if (!enabled || beating) return;
    cancelTimer();
    const auto status = reachability->status(drive.domain);
    if (networkReachability != status) {
      networkReachability = status;
      logger.info("Network reachability = " + std::string(description(status)));
    }
    if (status == NetworkReachabilityStatus::noConnection) {
      publish(false);
      scheduleRetry();
      return;
    }
    if (!session) session = factory->makeSession(drive);
    std::weak_ptr<State> weak = weak_from_this();
    HeartBeatRequest request;
    beating = true;
    inFlight = session->send(request, TarnixURLRequestOptions::none(),
                             [weak, path = request.path()](auto result) {
                               auto self = weak.lock();
                               if (!self) return;
                               self->serialQueue->async([weak, path, result = std::move(result)] {
                                 if (auto self = weak.lock()) self->handle(path, result);
                               });
                             });
  }

  void handle(const std::string& path,
              const std::expected<CloudFSResponse, CloudFSSessionError>& result) {
    beating = false;
    inFlight = {};
    if (!enabled) return;
    if (!result) {
      if (isCancellation(result.error())) return;
      logger.warning("Heart beat failed",
                     base::LoggerMetadata{{"error", describe(result.error())}});
      publish(false);
      scheduleRetry();
      return;
    }
    failures = 0;
    publish(true);
    std::weak_ptr<State> weak = weak_from_this();
    validator->validateResponse(result->httpResponse, path, [weak](auto) {
      // Runs on the serial queue, at once or after a back-off.
      if (auto self = weak.lock()) self->schedule(self->pingInterval);
    });
  }

  void scheduleRetry() {
    ++failures;
    const double doubled = kFirstRetryInterval * std::pow(2.0, std::min(failures - 1, 30));
    schedule(std::min(doubled, pingInterval));
  }

  void schedule(double seconds) {
    if (!enabled) return;
    cancelTimer();
    std::weak_ptr<State> weak = weak_from_this();
    auto delay = std::chrono::duration_cast<base::DispatchQueue::Clock::duration>(
        std::chrono::duration<double>(seconds));
    timer = serialQueue->asyncAfter(delay, [weak] {
      if (auto self = weak.lock()) self->ping();
    });
  }

  void cancelTimer() {
    if (timer) timer->cancel();
    timer.reset();
  }

  void publish(bool reachable) {
    if (serverReachable == reachable) return;
    serverReachable = reachable;
    logger.info("Cloud reachability changed", base::LoggerMetadata{{"serverReachable", reachable}});
    if (reporter) reporter->serverReachabilityDidChange(reachable);
  }
};

NetworkMonitor::NetworkMonitor(CloudFSSessionConfiguration drive,
                               std::shared_ptr<CloudFSSessionFactory> cfsSessionFactory,
                               std::shared_ptr<NetworkStatusReportable> networkStatusReportable,
                               std::shared_ptr<DriveCloudErrorHandler> cloudErrorHandler,
                               base::Logger logger, double pingInterval,
                               std::shared_ptr<base::Clock> clock,
                               std::shared_ptr<NetworkReachability> reachability)
    : state_(std::make_shared<State>()) {
  state_->drive = std::move(drive);
  state_->factory = std::move(cfsSessionFactory);
  state_->reporter = std::move(networkStatusReportable);
  state_->errorHandler = std::move(cloudErrorHandler);
  state_->logger = std::move(logger);
  state_->pingInterval = pingInterval > 0 ? pingInterval : kDefaultPingInterval;
  state_->clock = clock ? std::move(clock) : base::Clock::system();
  state_->reachability = reachability ? std::move(reachability) : NetworkReachability::system();
  state_->serialQueue = base::DispatchQueue::make("com.tarnix.NetworkMonitor", state_->clock);
  state_->validator = std::make_shared<ResponseValidator>(
      state_->logger, state_->errorHandler,
      std::make_shared<DispatchBackoffScheduler>(state_->serialQueue), state_->clock);
}

NetworkMonitor::~NetworkMonitor() {
  stop();
}

void NetworkMonitor::start() {
  state_->serialQueue->async([state = state_] {
    if (state->enabled) return;
    state->enabled = true;
    state->ping();
  });
}

void NetworkMonitor::stop() {
  state_->serialQueue->sync([state = state_] {
    state->enabled = false;
    state->cancelTimer();
    state->inFlight.cancel();
  });
}

void NetworkMonitor::recheckReachability() {
  state_->serialQueue->async([state = state_] { state->ping(); });
}

std::optional<bool> NetworkMonitor::serverReachable() const {
  return state_->serialQueue->sync([state = state_] { return state->serverReachable; });
}

std::optional<NetworkReachabilityStatus> NetworkMonitor::networkReachability() const {
  return state_->serialQueue->sync([state = state_] { return state->networkReachability; });
}

}  // namespace tarnix::cloudfs
