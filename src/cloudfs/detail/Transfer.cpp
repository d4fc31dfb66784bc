#include "cloudfs/detail/Transfer.hpp"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>

#include "base/JSONValue.hpp"
#include "cloudfs/detail/NetworkThread.hpp"

namespace tarnix::cloudfs::detail {
namespace {

std::atomic<std::uint64_t> gNextIdentifier{1};

std::string trim(std::string_view text) {
  auto begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  auto end = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(begin, end - begin + 1));
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

URLError urlError(URLError::Code code, std::string message) {
  return URLError{code, std::move(message), std::nullopt};
}

// The error of a transfer that libcurl ended with `code`; `isHTTPURL` tells a response that
// was not HTTP (libcurl refuses HTTP/0.9 as an unsupported protocol) from a bad scheme.
URLSessionError errorForCode(CURLcode code, bool isHTTPURL, const char* detail) {
  std::string message = detail && *detail ? detail : curl_easy_strerror(code);
  using Code = URLError::Code;
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
      if (isHTTPURL) return TarnixURLError::make(TarnixURLError::Kind::badServerResponse);
      return urlError(Code::unsupportedURL, message);
    case CURLE_WEIRD_SERVER_REPLY:
      return TarnixURLError::make(TarnixURLError::Kind::badServerResponse);
    case CURLE_URL_MALFORMAT:
      return urlError(Code::badURL, message);
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return urlError(Code::cannotFindHost, message);
    case CURLE_COULDNT_CONNECT:
    case CURLE_PROXY:
      return urlError(Code::cannotConnectToHost, message);
    case CURLE_OPERATION_TIMEDOUT:
      return urlError(Code::timedOut, message);
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
      return urlError(Code::secureConnectionFailed, message);
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
      return urlError(Code::serverCertificateUntrusted, message);
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return urlError(Code::networkConnectionLost, message);
    case CURLE_TOO_MANY_REDIRECTS:
      return urlError(Code::httpTooManyRedirects, message);
    case CURLE_BAD_CONTENT_ENCODING:
      return urlError(Code::cannotDecodeContentData, message);
    case CURLE_ABORTED_BY_CALLBACK:
      return urlError(Code::cancelled, "cancelled");
    case CURLE_READ_ERROR:
      return urlError(Code::cannotOpenFile, message);
    case CURLE_WRITE_ERROR:
      return urlError(Code::cannotWriteToFile, message);
    default:
      return urlError(Code::unknown, message);
  }
}

}  // namespace

// --- resume data ---

namespace {
// Resume data is kept on disk: credentials stay out of it, and the resumed request is
// authorised afresh with the credentials of its time.
bool isCredential(const base::HTTPHeaderName& name) {
  return name == base::HTTPHeaderName::authorization ||
         name == base::HTTPHeaderName::proxyAuthorization;
}
}  // namespace

std::string ResumeState::encoded() const {
  base::JSONValue headers = base::JSONValue::array();
  for (const auto& [name, value] : request.headers) {
    if (isCredential(name)) continue;
    headers.push_back(base::JSONValue::array({name.rawValue, value}));
  }
  base::JSONValue json = {{"url", request.url},    {"method", request.method.rawValue},
                          {"headers", headers},    {"timeoutInterval", request.timeoutInterval},
                          {"file", file.string()}, {"validator", validator}};
  return base::dumpJSON(json);
}

std::optional<ResumeState> ResumeState::decode(std::string_view text) {
  auto json = base::parseJSON(text);
  if (!json || !json->is_object()) return std::nullopt;
  auto url = base::jsonString(*json, "url");
  auto method = base::jsonString(*json, "method");
  auto timeout = base::jsonDouble(*json, "timeoutInterval");
  auto file = base::jsonString(*json, "file");
  auto validator = base::jsonString(*json, "validator");
  auto headers = json->find("headers");
  if (!url || !method || !timeout || !file || !validator || headers == json->end() ||
      !headers->is_array()) {
    return std::nullopt;
  }
  ResumeState state;
  state.request.url = *url;
  state.request.method = base::HTTPMethod{*method};
  state.request.timeoutInterval = *timeout;
  for (const auto& pair : *headers) {
    if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string() || !pair[1].is_string()) {
      return std::nullopt;
    }
    base::HTTPHeaderName name(pair[0].get<std::string>());
    if (isCredential(name)) continue;  // of an older record: never sent again
    state.request.setValue(pair[1].get<std::string>(), name);
  }
  state.file = *file;
  state.validator = *validator;
  return state;
}

// --- life cycle ---

Transfer::Transfer(TransferSetup setup)
    : identifier_(gNextIdentifier.fetch_add(1)), setup_(std::move(setup)) {}

Transfer::~Transfer() {
  closeFiles();
  if (easy_) curl_easy_cleanup(easy_);
  curl_slist_free_all(headerList_);
  curl_slist_free_all(proxyHeaderList_);
  curl_slist_free_all(connectToList_);
}

URLSessionTask::State Transfer::state() const {
  base::MutexLock lock(mutex_);
  return state_;
}

void Transfer::setProgressHandler(std::function<void(const URLSessionProgress&)> handler) {
  base::MutexLock lock(mutex_);
  // A finished transfer reports no more progress. Keeping the handler would also keep what it
  // captures, and a handler often captures the owner of this task: a cycle nothing breaks.
  if (state_ == URLSessionTask::State::completed) return;
  progressHandler_ = std::move(handler);
}

void Transfer::resume() {
  {
    base::MutexLock lock(mutex_);
    if (state_ != URLSessionTask::State::suspended) return;
    state_ = URLSessionTask::State::running;
  }
  setup_.inFlight->enter();
  auto thread = setup_.networkThread.lock();
  if (!thread) {
    complete(std::unexpected(urlError(URLError::Code::cancelled, "session is gone")));
    return;
  }
  thread->add(shared_from_this());
}

void Transfer::cancel(std::function<void(std::optional<std::string>)> resumeDataHandler) {
  bool wasSuspended = false;
  {
    base::MutexLock lock(mutex_);
    if (state_ == URLSessionTask::State::completed || state_ == URLSessionTask::State::canceling) {
      if (resumeDataHandler) {
        setup_.delegateQueue->async([handler = std::move(resumeDataHandler)] { handler({}); });
      }
      return;
    }
    wasSuspended = state_ == URLSessionTask::State::suspended;
    state_ = URLSessionTask::State::canceling;
    resumeDataHandler_ = std::move(resumeDataHandler);
  }
  if (wasSuspended) {
    setup_.inFlight->enter();
    complete(std::unexpected(urlError(URLError::Code::cancelled, "cancelled")));
    return;
  }
  if (auto thread = setup_.networkThread.lock()) thread->cancel(shared_from_this());
}

// --- network thread ---

CURL* Transfer::start() {
  if (completed_) return nullptr;
  easy_ = curl_easy_init();
  if (!easy_) {
    complete(std::unexpected(urlError(URLError::Code::unknown, "cannot make a transfer")));
    return nullptr;
  }
  if (auto error = configureHandle()) {
    complete(std::unexpected(*error));
    return nullptr;
  }
  return easy_;
}

std::optional<URLError> Transfer::configureHandle() {
  const URLRequest& request = setup_.request;
  const PlatformSession& session = *setup_.session;
  CURL* h = easy_;
  curl_easy_setopt(h, CURLOPT_PRIVATE, this);
  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  // A redirect never leaves TLS: the request's credentials would follow it in the clear.
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer_);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (session.additionalCAs) {
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &Transfer::onSSLContext);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, this);
  }
  if (!session.hostMappings.empty() && !connectToList_) {
    for (const auto& mapping : session.hostMappings)
      connectToList_ = curl_slist_append(connectToList_, mapping.c_str());
    curl_easy_setopt(h, CURLOPT_CONNECT_TO, connectToList_);
  }

  // Redirects: followed, unless the caller wants the 3xx response itself.
  bool reject = session.options.contains(TarnixURLRequestOptions::rejectRedirects());
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, reject ? 0L : 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 16L);

  // Time-out: seconds without progress, as the platform counts it.
  double timeout = request.timeoutInterval > 0 ? request.timeoutInterval : 60;
  if (session.requestTimeout) timeout = std::max(timeout, *session.requestTimeout);
  long seconds = std::max(1L, static_cast<long>(std::ceil(timeout)));
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, seconds);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, seconds);

  // Proxy: only the one of the settings (never the environment's). Its credentials go to the
  // proxy alone, never to the server.
  if (session.proxy.proxyEnabled) {
    std::string proxy = "http://" + session.proxy.addressOrDefault() + ":" +
                        std::to_string(session.proxy.portOrDefault());
    curl_easy_setopt(h, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  } else {
    curl_easy_setopt(h, CURLOPT_PROXY, "");
  }
  curl_easy_setopt(h, CURLOPT_HEADEROPT, CURLHEADER_SEPARATE);

  bool hasContentType = false;
  bool hasAcceptEncoding = false;
  for (const auto& [name, value] : request.headers) {
    std::string line = value.empty() ? name.rawValue + ";" : name.rawValue + ": " + value;
    if (name == base::HTTPHeaderName::proxyAuthorization) {
      proxyHeaderList_ = curl_slist_append(proxyHeaderList_, line.c_str());
      continue;
    }
    hasContentType = hasContentType || name == base::HTTPHeaderName::contentType;
    hasAcceptEncoding = hasAcceptEncoding || name == base::HTTPHeaderName::acceptEncoding;
    headerList_ = curl_slist_append(headerList_, line.c_str());
  }
  headerList_ = curl_slist_append(headerList_, "Expect:");

  const auto& method = request.method;
  bool hasBody = !std::holds_alternative<std::monostate>(setup_.upload);
  if (hasBody) {
    curl_off_t size = 0;
    if (auto* bytes = std::get_if<std::string>(&setup_.upload)) {
      size = static_cast<curl_off_t>(bytes->size());
    } else {
      const auto& path = std::get<std::filesystem::path>(setup_.upload);
      std::error_code ec;
      auto fileSize = std::filesystem::file_size(path, ec);
      uploadFile_ = ec ? nullptr : std::fopen(path.c_str(), "rb");
      if (!uploadFile_) {
        return urlError(URLError::Code::fileDoesNotExist,
                        "cannot open the file to upload: " + path.string());
      }
      size = static_cast<curl_off_t>(fileSize);
    }
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, size);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, &Transfer::onRead);
    curl_easy_setopt(h, CURLOPT_READDATA, this);
    if (method != base::HTTPMethod::post) {
      curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.rawValue.c_str());
    }
    // libcurl would otherwise claim a form body.
    if (!hasContentType) headerList_ = curl_slist_append(headerList_, "Content-Type:");
  } else if (method == base::HTTPMethod::head) {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else if (method == base::HTTPMethod::post) {
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{0});
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, "");
    if (!hasContentType) headerList_ = curl_slist_append(headerList_, "Content-Type:");
  } else if (method != base::HTTPMethod::get) {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.rawValue.c_str());
  }

  if (setup_.download) {
    if (auto error = openDownloadFile()) return error;
  } else if (!hasAcceptEncoding) {
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  }

  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerList_);
  if (proxyHeaderList_) curl_easy_setopt(h, CURLOPT_PROXYHEADER, proxyHeaderList_);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Transfer::onWrite);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
  return std::nullopt;
}

std::optional<URLError> Transfer::openDownloadFile() {
  if (setup_.resume) {
    downloadPath_ = setup_.resume->file;
    downloadFile_ = std::fopen(downloadPath_.c_str(), "r+b");
    if (!downloadFile_ || std::fseek(downloadFile_, 0, SEEK_END) != 0) {
      return urlError(URLError::Code::cannotOpenFile,
                      "cannot open the partly downloaded file " + downloadPath_.string());
    }
    resumeOffset_ = std::ftell(downloadFile_);
    std::string range = "Range: bytes=" + std::to_string(resumeOffset_) + "-";
    std::string ifRange = "If-Range: " + setup_.resume->validator;
    headerList_ = curl_slist_append(headerList_, range.c_str());
    headerList_ = curl_slist_append(headerList_, ifRange.c_str());
    return std::nullopt;
  }
  std::string pattern = (setup_.downloadDirectory / "tarnix-download-XXXXXX").string();
  int fd = mkstemp(pattern.data());
  if (fd < 0) {
    return urlError(URLError::Code::cannotCreateFile,
                    "cannot create a download file in " + setup_.downloadDirectory.string());
  }
  downloadPath_ = pattern;
  downloadFile_ = fdopen(fd, "wb");
  if (!downloadFile_) {
    ::close(fd);
    std::error_code ec;
    std::filesystem::remove(downloadPath_, ec);
    return urlError(URLError::Code::cannotCreateFile, "cannot open " + pattern);
  }
  return std::nullopt;
}

// A resumed download appends only to a 206 answer for the range asked; any other answer
// replaces what the file held.
bool Transfer::prepareDownloadWrite() {
  if (downloadWriteStarted_) return true;
  downloadWriteStarted_ = true;
  if (!setup_.resume) return true;
  long status = 0;
  curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
  if (status == 206) {
    auto contentRange = response_.value(base::HTTPHeaderName("Content-Range")).value_or("");
    std::string expected = "bytes " + std::to_string(resumeOffset_) + "-";
    if (!startsWith(contentRange, expected)) {
      callbackError_ = urlError(URLError::Code::badServerResponse,
                                "the server sent another range than the one asked for");
      return false;
    }
    return true;
  }
  resumeOffset_ = 0;
  if (std::fflush(downloadFile_) != 0 || ftruncate(fileno(downloadFile_), 0) != 0 ||
      std::fseek(downloadFile_, 0, SEEK_SET) != 0) {
    callbackError_ = urlError(URLError::Code::cannotWriteToFile, "cannot restart the download");
    return false;
  }
  return true;
}

std::size_t Transfer::onHeader(char* buffer, std::size_t size, std::size_t count, void* self) {
  auto* transfer = static_cast<Transfer*>(self);
  std::string_view line(buffer, size * count);
  if (startsWith(line, "HTTP/")) {
    // A new response begins (after an interim 1xx or a followed redirect).
    transfer->response_.headerFields.clear();
    return size * count;
  }
  auto colon = line.find(':');
  if (colon != std::string_view::npos) {
    transfer->response_.headerFields.emplace_back(trim(line.substr(0, colon)),
                                                  trim(line.substr(colon + 1)));
  }
  return size * count;
}

std::size_t Transfer::onWrite(char* buffer, std::size_t size, std::size_t count, void* self) {
  auto* transfer = static_cast<Transfer*>(self);
  std::size_t bytes = size * count;
  if (!transfer->setup_.download) {
    if (bytes > transfer->setup_.maximumBodySize - transfer->body_.size()) {
      transfer->callbackError_ =
          urlError(URLError::Code::dataLengthExceedsMaximum,
                   "the response body is larger than " +
                       std::to_string(transfer->setup_.maximumBodySize) + " bytes");
      return 0;
    }
    transfer->body_.append(buffer, bytes);
    return bytes;
  }
  if (!transfer->prepareDownloadWrite()) return 0;
  if (std::fwrite(buffer, 1, bytes, transfer->downloadFile_) != bytes) {
    transfer->callbackError_ =
        urlError(URLError::Code::cannotWriteToFile,
                 "cannot write to the download file " + transfer->downloadPath_.string());
    return 0;
  }
  return bytes;
}

std::size_t Transfer::onRead(char* buffer, std::size_t size, std::size_t count, void* self) {
  auto* transfer = static_cast<Transfer*>(self);
  std::size_t capacity = size * count;
  if (auto* bytes = std::get_if<std::string>(&transfer->setup_.upload)) {
    std::size_t n = std::min(capacity, bytes->size() - transfer->uploadOffset_);
    std::copy_n(bytes->data() + transfer->uploadOffset_, n, buffer);
    transfer->uploadOffset_ += n;
    return n;
  }
  std::size_t n = std::fread(buffer, 1, capacity, transfer->uploadFile_);
  if (n == 0 && std::ferror(transfer->uploadFile_)) {
    transfer->callbackError_ =
        urlError(URLError::Code::cannotOpenFile, "cannot read the file being uploaded");
    return CURL_READFUNC_ABORT;
  }
  return n;
}

int Transfer::onProgress(void* self, curl_off_t downloadTotal, curl_off_t downloaded,
                         curl_off_t uploadTotal, curl_off_t uploaded) {
  auto* transfer = static_cast<Transfer*>(self);
  URLSessionProgress progress;
  progress.bytesSent = uploaded;
  progress.totalBytesExpectedToSend = uploadTotal > 0 ? uploadTotal : -1;
  progress.bytesReceived = transfer->resumeOffset_ + downloaded;
  progress.totalBytesExpectedToReceive =
      downloadTotal > 0 ? transfer->resumeOffset_ + downloadTotal : -1;
  const auto& last = transfer->lastProgress_;
  if (progress.bytesSent == last.bytesSent && progress.bytesReceived == last.bytesReceived &&
      progress.totalBytesExpectedToSend == last.totalBytesExpectedToSend &&
      progress.totalBytesExpectedToReceive == last.totalBytesExpectedToReceive) {
    return 0;
  }
  transfer->lastProgress_ = progress;
  std::function<void(const URLSessionProgress&)> handler;
  {
    base::MutexLock lock(transfer->mutex_);
    handler = transfer->progressHandler_;
  }
  if (handler) transfer->setup_.delegateQueue->async([handler, progress] { handler(progress); });
  return 0;
}

CURLcode Transfer::onSSLContext(CURL*, void* sslContext, void* self) {
  auto* transfer = static_cast<Transfer*>(self);
  const auto& pem = *transfer->setup_.session->additionalCAs;
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (!bio || !store) {
    BIO_free(bio);
    return CURLE_SSL_CERTPROBLEM;
  }
  while (X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    X509_STORE_add_cert(store, certificate);  // a certificate already present is fine
    X509_free(certificate);
  }
  ERR_clear_error();
  BIO_free(bio);
  return CURLE_OK;
}

void Transfer::closeFiles() {
  if (uploadFile_) {
    std::fclose(uploadFile_);
    uploadFile_ = nullptr;
  }
  if (downloadFile_) {
    std::fclose(downloadFile_);
    downloadFile_ = nullptr;
  }
}

long Transfer::redirectCount() const {
  long count = 0;
  if (easy_) curl_easy_getinfo(easy_, CURLINFO_REDIRECT_COUNT, &count);
  return count;
}

std::optional<std::string> Transfer::makeResumeData() {
  if (!setup_.download || downloadPath_.empty()) return std::nullopt;
  long status = 0;
  curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200 && status != 206) return std::nullopt;
  auto validator = response_.value(base::HTTPHeaderName::eTag);
  if (!validator || startsWith(*validator, "W/")) {
    validator = response_.value(base::HTTPHeaderName::lastModified);
  }
  if (!validator || validator->empty()) return std::nullopt;
  if (downloadFile_ && std::fflush(downloadFile_) != 0) return std::nullopt;
  std::error_code ec;
  auto size = std::filesystem::file_size(downloadPath_, ec);
  if (ec || size == 0) return std::nullopt;
  ResumeState state{setup_.resume ? setup_.resume->request : setup_.request, downloadPath_,
                    *validator};
  return state.encoded();
}

void Transfer::finishCancelled() {
  std::optional<std::string> resumeData;
  std::function<void(std::optional<std::string>)> handler;
  {
    base::MutexLock lock(mutex_);
    handler = std::move(resumeDataHandler_);
  }
  if (completed_) {
    // It finished before the cancellation reached the network thread.
    if (handler) setup_.delegateQueue->async([handler] { handler(std::nullopt); });
    return;
  }
  if (handler && easy_) resumeData = makeResumeData();
  closeFiles();
  if (!resumeData && !downloadPath_.empty()) {
    std::error_code ec;
    std::filesystem::remove(downloadPath_, ec);
  }
  if (handler) setup_.delegateQueue->async([handler, resumeData] { handler(resumeData); });
  URLError error = urlError(URLError::Code::cancelled, "cancelled");
  error.resumeData = resumeData;
  complete(std::unexpected(error));
}

void Transfer::finish(CURLcode code) {
  if (completed_) return;
  if (code != CURLE_OK) {
    bool isHTTPURL =
        startsWith(setup_.request.url, "https://") || startsWith(setup_.request.url, "http://");
    URLSessionError error;
    if (callbackError_) {
      error = *callbackError_;
    } else if (code == CURLE_UNSUPPORTED_PROTOCOL && redirectCount() > 0) {
      error = urlError(URLError::Code::appTransportSecurityRequiresSecureConnection,
                       "refused to follow a redirect to a URL that is not https");
    } else {
      error = errorForCode(code, isHTTPURL, errorBuffer_);
    }
    if (auto* transportError = std::get_if<URLError>(&error)) {
      transportError->resumeData = easy_ ? makeResumeData() : std::nullopt;
      if (transportError->isCancelled()) transportError->resumeData.reset();
    }
    bool keepFile =
        std::holds_alternative<URLError>(error) && std::get<URLError>(error).resumeData.has_value();
    closeFiles();
    if (!keepFile && !downloadPath_.empty()) {
      std::error_code ec;
      std::filesystem::remove(downloadPath_, ec);
    }
    if (std::holds_alternative<TarnixURLError>(error)) {
      setup_.logger.error("Received a response that is not HTTP",
                          base::LoggerMetadata{{"url", setup_.request.url}});
    }
    complete(std::unexpected(std::move(error)));
    return;
  }

  long status = 0;
  curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
  char* effectiveURL = nullptr;
  curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &effectiveURL);
  response_.statusCode = static_cast<int>(status);
  response_.url = effectiveURL ? effectiveURL : setup_.request.url;

  TransferResult result;
  if (setup_.download) {
    if (!prepareDownloadWrite()) {
      closeFiles();
      std::error_code ec;
      std::filesystem::remove(downloadPath_, ec);
      complete(std::unexpected(*callbackError_));
      return;
    }
    bool flushed = std::fflush(downloadFile_) == 0;
    closeFiles();
    std::error_code ec;
    auto size = std::filesystem::file_size(downloadPath_, ec);
    if (!flushed || ec) {
      std::filesystem::remove(downloadPath_, ec);
      complete(std::unexpected(
          urlError(URLError::Code::cannotWriteToFile, "the downloaded file is missing")));
      return;
    }
    result.file = downloadPath_;
    result.fileSize = static_cast<std::int64_t>(size);
  } else {
    closeFiles();
    result.body = std::move(body_);
  }
  setup_.logger.debug(
      "Received response",
      base::LoggerMetadata{
          {"url", response_.url},
          {"statusCode", response_.statusCode},
          {"X-Tarnix-Request-Id", response_.value(base::HTTPHeaderName::xTarnixRequestId)},
      });
  result.response = std::move(response_);
  complete(std::move(result));
}

void Transfer::complete(TransferOutcome outcome) {
  if (completed_) return;
  completed_ = true;
  {
    base::MutexLock lock(mutex_);
    state_ = URLSessionTask::State::completed;
    progressHandler_ = nullptr;
  }
  auto completion = std::move(setup_.completion);
  auto group = setup_.inFlight;
  setup_.delegateQueue->async(
      [completion = std::move(completion), outcome = std::move(outcome), group]() mutable {
        if (completion) completion(std::move(outcome));
        group->leave();
      });
}

}  // namespace tarnix::cloudfs::detail
