#include "cloudfs/CloudFSSession.hpp"

#include "base/Hash.hpp"
#include "base/UTF8.hpp"
#include "base/Uuid.hpp"

namespace tarnix::cloudfs {
namespace {

CloudFSSessionError widen(URLSessionError error) {
  return std::visit([](auto&& e) -> CloudFSSessionError { return std::move(e); }, std::move(error));
}

// Completions of the transport continue on the session's callback queue.
TarnixURLSession::DataCompletion dataHop(std::shared_ptr<base::DispatchQueue> queue,
                                         CloudFSSession::Completion done) {
  return [queue = std::move(queue), done = std::move(done)](auto result) {
    queue->async([done, result = std::move(result)]() mutable {
      if (!result) return done(std::unexpected(widen(std::move(result.error()))));
      done(CloudFSResponse{std::move(result->response), std::move(result->body), std::nullopt});
    });
  };
}

}  // namespace

CloudFSSessionConfiguration CloudFSSessionConfiguration::forDrive(
    const common::Drive& drive, std::optional<std::string> domain) {
  CloudFSSessionConfiguration configuration;
  configuration.domain = domain ? std::move(*domain) : drive.domain;
  if (drive.authentication) {
    if (const auto* oauth =
            std::get_if<common::AccountAuthentication::OAuth>(&drive.authentication->value)) {
      configuration.authentication = Authentication::oauth(oauth->accessToken);
    } else if (const auto* basic = std::get_if<common::AccountAuthentication::Basic>(
                   &drive.authentication->value)) {
      configuration.authentication = Authentication::basic(drive.userName, basic->password);
    }
  }
  return configuration;
}

std::string describe(const CloudFSSessionError& error) {
  return std::visit([](const auto& e) { return e.description(); }, error);
}

bool isCancellation(const CloudFSSessionError& error) {
  auto* transportError = std::get_if<URLError>(&error);
  return transportError && transportError->isCancelled();
}

CloudFSSession::CloudFSSession(std::shared_ptr<TarnixURLSession> urlSession,
                               CloudFSSessionConfiguration configuration, base::Logger logger)
    : urlSession_(std::move(urlSession)),
      configuration_(std::move(configuration)),
      logger_(std::move(logger)),
      callbackQueue_(base::DispatchQueue::make("com.tarnix.CloudFSSession")) {}

std::expected<URLRequest, CloudFSError> CloudFSSession::urlRequest(
    const CloudFSRequestPrototype& request, std::optional<std::string> domain) const {
  return buildURLRequest(request, domain ? *domain : configuration_.domain);
}

std::string CloudFSSession::authorize(URLRequest& request) const {
  std::string requestId = base::makeUuid();
  request.setValue(requestId, base::HTTPHeaderName::xTarnixRequestId);
  if (!configuration_.authentication) return requestId;
  const auto& authentication = *configuration_.authentication;
  if (authentication.kind == CloudFSSessionConfiguration::Authentication::Kind::oauth) {
    request.setValue("OAUTH oauth_token=" + authentication.accessToken + ",oauth_version=2.0",
                     base::HTTPHeaderName::authorization);
  } else {
    std::string credentials = authentication.userName + ":" + authentication.password;
    // Text that is not UTF-8 cannot be encoded; the request then goes out without credentials.
    if (base::isValidUTF8(credentials)) {
      request.setValue("Basic " + base::base64Encode(credentials),
                       base::HTTPHeaderName::authorization);
    }
  }
  return requestId;
}

template <class Result, class Start>
CloudFSSessionTask CloudFSSession::start(
    const CloudFSRequestPrototype& request,
    std::function<void(std::expected<Result, CloudFSSessionError>)> completion, Start startTask) {
  auto built = urlRequest(request);
  if (!built) {
    logger_.error(
        "Cannot build request",
        base::LoggerMetadata{{"path", request.path()}, {"error", built.error().description()}});
    callbackQueue_->async([completion = std::move(completion), error = built.error()] {
      completion(std::unexpected(CloudFSSessionError(error)));
    });
    return {};
  }
  std::string requestId = authorize(*built);
  auto task = startTask(std::move(*built), std::move(completion));
  task->resume();
  return CloudFSSessionTask{std::move(task), std::move(requestId)};
}

CloudFSSessionTask CloudFSSession::send(const CloudFSRequestPrototype& request,
                                        TarnixURLRequestOptions options, Completion completion) {
  return start<CloudFSResponse>(
      request, std::move(completion), [&](URLRequest urlRequest, Completion done) {
        return urlSession_->dataTask(std::move(urlRequest), options,
                                     dataHop(callbackQueue_, std::move(done)));
      });
}

namespace {

TarnixURLSession::DownloadCompletion downloadHop(std::shared_ptr<base::DispatchQueue> queue,
                                                 CloudFSSession::DownloadCompletion done) {
  return [queue = std::move(queue), done = std::move(done)](auto result) {
    queue->async([done, result = std::move(result)]() mutable {
      if (!result) return done(std::unexpected(widen(std::move(result.error()))));
      CloudFSDownload download{
          CloudFSResponse{std::move(result->response), std::nullopt, result->fileSize},
          std::move(result->location)};
      done(std::move(download));
    });
  };
}

}  // namespace

CloudFSSessionTask CloudFSSession::download(const CloudFSRequestPrototype& request,
                                            TarnixURLRequestOptions options,
                                            DownloadCompletion completion) {
  return start<CloudFSDownload>(
      request, std::move(completion), [&](URLRequest urlRequest, DownloadCompletion done) {
        return urlSession_->downloadTask(std::move(urlRequest), options,
                                         downloadHop(callbackQueue_, std::move(done)));
      });
}

CloudFSSessionTask CloudFSSession::download(std::string resumeData, DownloadCompletion completion) {
  auto task = urlSession_->downloadTask(
      std::move(resumeData), [this](URLRequest& request) { authorize(request); },
      downloadHop(callbackQueue_, std::move(completion)));
  task->resume();
  auto requestId = task->currentRequest().value(base::HTTPHeaderName::xTarnixRequestId);
  return CloudFSSessionTask{std::move(task), std::move(requestId)};
}

CloudFSSessionTask CloudFSSession::upload(const CloudFSRequestPrototype& request, std::string body,
                                          TarnixURLRequestOptions options, Completion completion) {
  return start<CloudFSResponse>(
      request, std::move(completion), [&](URLRequest urlRequest, Completion done) {
        return urlSession_->uploadTask(std::move(urlRequest), std::move(body), options,
                                       dataHop(callbackQueue_, std::move(done)));
      });
}

CloudFSSessionTask CloudFSSession::upload(const CloudFSRequestPrototype& request,
                                          std::filesystem::path file,
                                          TarnixURLRequestOptions options, Completion completion) {
  return start<CloudFSResponse>(
      request, std::move(completion), [&](URLRequest urlRequest, Completion done) {
        return urlSession_->uploadTask(std::move(urlRequest), std::move(file), options,
                                       dataHop(callbackQueue_, std::move(done)));
      });
}

std::future<std::expected<std::pair<std::string, HTTPURLResponse>, CloudFSSessionError>>
CloudFSSession::data(const CloudFSRequestPrototype& request, TarnixURLRequestOptions options) {
  using Result = std::expected<std::pair<std::string, HTTPURLResponse>, CloudFSSessionError>;
  auto promise = std::make_shared<std::promise<Result>>();
  auto future = promise->get_future();
  send(request, options, [promise](std::expected<CloudFSResponse, CloudFSSessionError> result) {
    if (!result) {
      promise->set_value(std::unexpected(std::move(result.error())));
      return;
    }
    promise->set_value(std::pair{result->body.value_or(""), std::move(result->httpResponse)});
  });
  return future;
}

}  // namespace tarnix::cloudfs
