#include "cloudfs/TarnixURLSession.hpp"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "base/DispatchQueue.hpp"
#include "base/Hash.hpp"
#include "base/Mutex.hpp"
#include "base/Uuid.hpp"
#include "cloudfs/detail/NetworkThread.hpp"
#include "cloudfs/detail/Transfer.hpp"

namespace tarnix::cloudfs {

using detail::PlatformSession;
using detail::Transfer;
using detail::TransferOutcome;

namespace {
constexpr double kExtendedTimeout = 300;

std::shared_ptr<const std::string> readCertificates(
    const std::optional<std::filesystem::path>& file, const base::Logger& logger) {
  if (!file) return nullptr;
  std::ifstream in(*file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in || text.str().empty()) {
    logger.error("Cannot read the additional certificate authorities",
                 base::LoggerMetadata{{"path", file->string()}});
    return nullptr;
  }
  return std::make_shared<const std::string>(text.str());
}
}  // namespace

std::string describe(const URLSessionError& error) {
  return std::visit([](const auto& e) { return e.description(); }, error);
}

bool isCancellation(const URLSessionError& error) {
  auto* transportError = std::get_if<URLError>(&error);
  return transportError && transportError->isCancelled();
}

// --- tasks ---

URLSessionTask::URLSessionTask(std::shared_ptr<detail::Transfer> transfer)
    : transfer_(std::move(transfer)) {}
URLSessionTask::~URLSessionTask() = default;
std::uint64_t URLSessionTask::taskIdentifier() const {
  return transfer_->identifier();
}
const URLRequest& URLSessionTask::currentRequest() const {
  return transfer_->request();
}
URLSessionTask::State URLSessionTask::state() const {
  return transfer_->state();
}
void URLSessionTask::resume() {
  transfer_->resume();
}
void URLSessionTask::cancel() {
  transfer_->cancel();
}
void URLSessionTask::cancelByProducingResumeData(
    std::function<void(std::optional<std::string>)> handler) {
  transfer_->cancel(std::move(handler));
}
void URLSessionTask::setProgressHandler(std::function<void(const URLSessionProgress&)> handler) {
  transfer_->setProgressHandler(std::move(handler));
}

// --- session ---

std::vector<std::string> hostMappingsFromText(std::string_view text) {
  std::vector<std::string> mappings;
  std::string current;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '\t' || c == '\n') {
      if (!current.empty()) mappings.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) mappings.push_back(std::move(current));
  return mappings;
}

std::optional<std::string> loopbackSyncBackendMapping(std::string_view domain) {
  std::string_view host = domain;
  std::string_view port = "443";
  if (auto colon = domain.find(':'); colon != std::string_view::npos) {
    host = domain.substr(0, colon);
    port = domain.substr(colon + 1);
    if (port.empty() || !std::ranges::all_of(port, [](char c) { return c >= '0' && c <= '9'; }))
      return std::nullopt;
  }
  if (host != "localhost") return std::nullopt;
  return "sync-localhost:" + std::string(port) + ":127.0.0.1:" + std::string(port);
}

TarnixURLSession::Configuration TarnixURLSession::Configuration::fromEnvironment() {
  Configuration configuration;
  if (const char* caFile = std::getenv("TARNIX_CA_FILE"); caFile && *caFile) {
    configuration.additionalCAFile = std::filesystem::path(caFile);
  }
  if (const char* mappings = std::getenv("TARNIX_CONNECT_TO"); mappings && *mappings) {
    configuration.hostMappings = hostMappingsFromText(mappings);
  }
  std::error_code ec;
  configuration.downloadDirectory = std::filesystem::temp_directory_path(ec);
  if (ec) configuration.downloadDirectory = "/tmp";
  return configuration;
}

// Lock order: `mutex` only; it is never held while calling out.
struct TarnixURLSession::State {
  State(base::Logger logger, TarnixUserAgent userAgent, std::string appLifecycleID,
        Configuration configuration)
      : logger(std::move(logger)),
        userAgent(std::move(userAgent)),
        appLifecycleID(std::move(appLifecycleID)),
        configuration(std::move(configuration)) {}

  base::Logger logger;
  const TarnixUserAgent userAgent;
  const std::string appLifecycleID;
  const Configuration configuration;
  std::shared_ptr<const std::string> additionalCAs;
  std::shared_ptr<detail::NetworkThread> networkThread = detail::NetworkThread::shared();
  std::shared_ptr<base::DispatchQueue> serialQueue =
      base::DispatchQueue::make("com.tarnix.URLSession");
  std::shared_ptr<base::DispatchQueue> delegateQueue =
      base::DispatchQueue::make("com.tarnix.URLSession.delegate");
  std::shared_ptr<base::DispatchGroup> inFlight = std::make_shared<base::DispatchGroup>();
  std::shared_ptr<void> proxySubscription;

  base::Mutex mutex;
  std::map<TarnixURLRequestOptions, std::shared_ptr<PlatformSession>> urlSessions
      TARNIX_GUARDED_BY(mutex);
  common::URLSessionProxyConfiguration proxyConfiguration TARNIX_GUARDED_BY(mutex);
  std::vector<std::weak_ptr<Transfer>> transfers TARNIX_GUARDED_BY(mutex);
  int sessionsCreated TARNIX_GUARDED_BY(mutex) = 0;
  // Set by invalidateAndCancel; later tasks are cancelled at once.
  bool invalidated TARNIX_GUARDED_BY(mutex) = false;

  // Adds the identification headers and picks the transfer configuration for `options`.
  std::shared_ptr<const PlatformSession> prepare(URLRequest& request,
                                                 TarnixURLRequestOptions options) {
    identify(request);
    base::MutexLock lock(mutex);
    const auto& proxy = proxyConfiguration;
    if (proxy.proxyEnabled && proxy.requiresAuthentication) {
      request.setValue("Basic " + base::base64Encode(proxy.username + ":" + proxy.password),
                       base::HTTPHeaderName::proxyAuthorization);
    }
    logger.debug("Sending request",
                 base::LoggerMetadata{
                     {"url", request.url},
                     {"X-Tarnix-Request-Id", request.value(base::HTTPHeaderName::xTarnixRequestId)},
                 });
    return sessionLocked(options);
  }

  void identify(URLRequest& request) const {
    if (!request.value(base::HTTPHeaderName::xTarnixRequestId)) {
      request.setValue(base::makeUuid(), base::HTTPHeaderName::xTarnixRequestId);
    }
    request.setValue(userAgent.vanillaHeaderValue(), base::HTTPHeaderName::userAgent);
    request.setValue(std::string(userAgent.actionSource()),
                     base::HTTPHeaderName::xTarnixActionSource);
    request.setValue(userAgent.deviceID(), base::HTTPHeaderName::tarnixClientId);
    request.setValue(appLifecycleID, base::HTTPHeaderName::xTarnixApplicationLifecycleTrace);
  }

  std::shared_ptr<const PlatformSession> sessionLocked(TarnixURLRequestOptions options)
      TARNIX_REQUIRES(mutex) {
    auto& cached = urlSessions[options];
    if (!cached) {
      cached = std::make_shared<PlatformSession>();
      cached->options = options;
      cached->proxy = proxyConfiguration;
      cached->additionalCAs = additionalCAs;
      cached->hostMappings = configuration.hostMappings;
      if (options.contains(TarnixURLRequestOptions::extendedTimeout())) {
        cached->requestTimeout = kExtendedTimeout;
      }
      ++sessionsCreated;
    }
    return cached;
  }

  void applyProxyConfiguration(const common::URLSessionProxyConfiguration& value) {
    std::size_t invalidated = 0;
    {
      base::MutexLock lock(mutex);
      if (value == proxyConfiguration) return;
      proxyConfiguration = value;
      for (auto& [options, session] : urlSessions) session->invalidated = true;
      invalidated = urlSessions.size();
      urlSessions.clear();
    }
    // The settings themselves (address, credentials) stay out of the log.
    logger.info(
        "Proxy settings changed, invalidating URL sessions",
        base::LoggerMetadata{{"sessions", invalidated}, {"proxyEnabled", value.proxyEnabled}});
  }

  std::shared_ptr<URLSessionTask> makeTask(detail::TransferSetup setup) {
    setup.delegateQueue = delegateQueue;
    setup.inFlight = inFlight;
    setup.networkThread = networkThread;
    setup.logger = logger;
    setup.downloadDirectory = configuration.downloadDirectory;
    setup.maximumBodySize = configuration.maximumBodySize;
    auto transfer = std::make_shared<Transfer>(std::move(setup));
    bool refused = false;
    {
      base::MutexLock lock(mutex);
      std::erase_if(transfers, [](const auto& weak) { return weak.expired(); });
      transfers.push_back(transfer);
      refused = invalidated;
    }
    // Cancelled while suspended, the transfer completes with the cancellation and never starts.
    if (refused) transfer->cancel();
    return std::make_shared<URLSessionTask>(std::move(transfer));
  }

  std::shared_ptr<URLSessionTask> makeUploadTask(
      URLRequest request, std::variant<std::monostate, std::string, std::filesystem::path> upload,
      TarnixURLRequestOptions options, std::function<void(TransferOutcome)> completion) {
    detail::TransferSetup setup;
    setup.session = prepare(request, options);
    request.body.reset();
    setup.upload = std::move(upload);
    setup.request = std::move(request);
    setup.completion = std::move(completion);
    return makeTask(std::move(setup));
  }
};

TarnixURLSession::TarnixURLSession(
    base::Logger logger, TarnixUserAgent userAgent, std::string appLifecycleID,
    std::shared_ptr<const common::DesktopAppGroupPreferences> preferences,
    Configuration configuration)
    : state_(std::make_shared<State>(std::move(logger), std::move(userAgent),
                                     std::move(appLifecycleID), std::move(configuration))) {
  state_->additionalCAs = readCertificates(state_->configuration.additionalCAFile, state_->logger);
  if (preferences) {
    {
      base::MutexLock lock(state_->mutex);
      state_->proxyConfiguration = preferences->networkProxy();
    }
    std::weak_ptr<State> weak = state_;
    state_->proxySubscription = preferences->networkProxyPublisher(
        [weak](const common::URLSessionProxyConfiguration& value) {
          auto state = weak.lock();
          if (!state) return;
          state->serialQueue->async([weak, value] {
            if (auto state = weak.lock()) state->applyProxyConfiguration(value);
          });
        });
  }
}

TarnixURLSession::ConnectionSettings TarnixURLSession::prepareConnection(
    URLRequest& request) const {
  state_->identify(request);
  base::MutexLock lock(state_->mutex);
  return {state_->additionalCAs, state_->configuration.hostMappings, state_->proxyConfiguration};
}

TarnixURLSession::~TarnixURLSession() {
  invalidateAndCancel();
}

void TarnixURLSession::invalidateAndCancel() {
  state_->proxySubscription.reset();
  std::vector<std::shared_ptr<Transfer>> live;
  {
    base::MutexLock lock(state_->mutex);
    state_->invalidated = true;
    for (const auto& weak : state_->transfers) {
      if (auto transfer = weak.lock()) live.push_back(std::move(transfer));
    }
  }
  for (const auto& transfer : live) transfer->cancel();
  live.clear();
  if (!state_->delegateQueue->isCurrent()) state_->inFlight->wait();
}

const TarnixUserAgent& TarnixURLSession::userAgent() const {
  return state_->userAgent;
}

int TarnixURLSession::platformSessionsCreated() const {
  base::MutexLock lock(state_->mutex);
  return state_->sessionsCreated;
}

namespace {

std::function<void(TransferOutcome)> dataAdapter(TarnixURLSession::DataCompletion completion) {
  return [completion = std::move(completion)](TransferOutcome outcome) {
    if (!outcome) {
      completion(std::unexpected(std::move(outcome.error())));
      return;
    }
    completion(URLSessionDataResult{std::move(outcome->response), std::move(outcome->body)});
  };
}

std::function<void(TransferOutcome)> downloadAdapter(
    TarnixURLSession::DownloadCompletion completion) {
  return [completion = std::move(completion)](TransferOutcome outcome) {
    if (!outcome) {
      completion(std::unexpected(std::move(outcome.error())));
      return;
    }
    completion(
        URLSessionDownloadResult{std::move(outcome->response), *outcome->file, outcome->fileSize});
  };
}

}  // namespace

std::shared_ptr<URLSessionTask> TarnixURLSession::dataTask(URLRequest request,
                                                           TarnixURLRequestOptions options,
                                                           DataCompletion completion) {
  detail::TransferSetup setup;
  setup.session = state_->prepare(request, options);
  if (request.body) setup.upload = *request.body;
  setup.request = std::move(request);
  setup.completion = dataAdapter(std::move(completion));
  return state_->makeTask(std::move(setup));
}

std::shared_ptr<URLSessionTask> TarnixURLSession::downloadTask(URLRequest request,
                                                               TarnixURLRequestOptions options,
                                                               DownloadCompletion completion) {
  detail::TransferSetup setup;
  setup.session = state_->prepare(request, options);
  if (request.body) setup.upload = *request.body;
  setup.request = std::move(request);
  setup.download = true;
  setup.completion = downloadAdapter(std::move(completion));
  return state_->makeTask(std::move(setup));
}

std::optional<URLSessionResumeInfo> inspectResumeData(std::string_view resumeData) {
  auto resume = detail::ResumeState::decode(resumeData);
  if (!resume) return std::nullopt;
  std::error_code ec;
  auto size = std::filesystem::file_size(resume->file, ec);
  if (ec) return std::nullopt;
  return URLSessionResumeInfo{resume->file, static_cast<std::int64_t>(size)};
}

std::shared_ptr<URLSessionTask> TarnixURLSession::downloadTask(
    std::string resumeData, std::function<void(URLRequest&)> authorize,
    DownloadCompletion completion) {
  detail::TransferSetup setup;
  auto resume = detail::ResumeState::decode(resumeData);
  setup.download = true;
  setup.completion = downloadAdapter(std::move(completion));
  if (!resume) {
    // Nothing to send; the task fails with a bad-URL error once resumed.
    base::MutexLock lock(state_->mutex);
    setup.session = state_->sessionLocked(TarnixURLRequestOptions::none());
    setup.request.url = "";
  } else {
    if (authorize) authorize(resume->request);
    setup.session = state_->prepare(resume->request, TarnixURLRequestOptions::none());
    setup.request = resume->request;
    setup.resume = std::move(resume);
  }
  return state_->makeTask(std::move(setup));
}

std::shared_ptr<URLSessionTask> TarnixURLSession::uploadTask(URLRequest request, std::string body,
                                                             TarnixURLRequestOptions options,
                                                             DataCompletion completion) {
  return state_->makeUploadTask(std::move(request), std::move(body), options,
                                dataAdapter(std::move(completion)));
}

std::shared_ptr<URLSessionTask> TarnixURLSession::uploadTask(URLRequest request,
                                                             std::filesystem::path file,
                                                             TarnixURLRequestOptions options,
                                                             DataCompletion completion) {
  return state_->makeUploadTask(std::move(request), std::move(file), options,
                                dataAdapter(std::move(completion)));
}

std::future<std::expected<URLSessionDataResult, URLSessionError>> TarnixURLSession::data(
    URLRequest request, TarnixURLRequestOptions options) {
  auto promise =
      std::make_shared<std::promise<std::expected<URLSessionDataResult, URLSessionError>>>();
  auto future = promise->get_future();
  auto task = dataTask(std::move(request), options,
                       [promise](std::expected<URLSessionDataResult, URLSessionError> result) {
                         promise->set_value(std::move(result));
                       });
  task->resume();
  return future;
}

}  // namespace tarnix::cloudfs
