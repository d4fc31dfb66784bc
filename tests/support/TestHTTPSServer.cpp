#include "support/TestHTTPSServer.hpp"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "support/TempDir.hpp"

namespace tarnix::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [field, value] : headers) {
    if (beast::iequals(field, beast::string_view(name.data(), name.size()))) return value;
  }
  return std::nullopt;
}

namespace {

struct Credentials {
  std::string certificatePEM;
  std::string keyPEM;
};

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

void addExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (!extension) throw std::runtime_error("cannot make certificate extension");
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

Credentials makeSelfSignedCertificate() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* certificate = X509_new();
  if (!key || !certificate) throw std::runtime_error("cannot make a certificate");
  X509_set_version(certificate, 2);
  std::uint32_t serial = 0;
  RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), static_cast<long>(serial >> 1));
  X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
  X509_set_pubkey(certificate, key);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(certificate, name);
  addExtension(certificate, NID_basic_constraints, "critical,CA:TRUE");
  addExtension(certificate, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
  X509_sign(certificate, key, EVP_sha256());

  BIO* certBio = BIO_new(BIO_s_mem());
  BIO* keyBio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(certBio, certificate);
  PEM_write_bio_PrivateKey(keyBio, key, nullptr, nullptr, 0, nullptr, nullptr);
  Credentials credentials{bioText(certBio), bioText(keyBio)};
  BIO_free(certBio);
  BIO_free(keyBio);
  X509_free(certificate);
  EVP_PKEY_free(key);
  return credentials;
}

}  // namespace

struct TestHTTPSServer::Impl {
  Handler handler;
  bool keepBodies;
  TempDir dir{"tarnix-https"};
  std::filesystem::path caPath;
  asio::io_context io;
  asio::ssl::context tls{asio::ssl::context::tls_server};
  tcp::acceptor acceptor{io};
  std::thread thread;
  mutable std::mutex mutex;
  std::vector<RecordedRequest> received;

  asio::awaitable<void> serve(tcp::socket socket) {
    beast::ssl_stream<beast::tcp_stream> stream(std::move(socket), tls);
    boost::system::error_code ec;
    co_await stream.async_handshake(asio::ssl::stream_base::server,
                                    asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return;
    beast::flat_buffer buffer;
    for (;;) {
      http::request_parser<http::buffer_body> parser;
      parser.body_limit(std::numeric_limits<std::uint64_t>::max());
      co_await http::async_read_header(stream, buffer, parser,
                                       asio::redirect_error(asio::use_awaitable, ec));
      if (ec) co_return;
      RecordedRequest request;
      const auto& head = parser.get();
      request.method = std::string(head.method_string());
      request.target = std::string(head.target());
      for (const auto& field : head) {
        request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
      }
      static thread_local char chunk[64 * 1024];
      while (!parser.is_done()) {
        parser.get().body().data = chunk;
        parser.get().body().size = sizeof chunk;
        co_await http::async_read(stream, buffer, parser,
                                  asio::redirect_error(asio::use_awaitable, ec));
        if (ec == http::error::need_buffer) ec = {};
        if (ec) co_return;
        std::size_t got = sizeof chunk - parser.get().body().size;
        request.bodySize += got;
        if (keepBodies) request.body.append(chunk, got);
      }
      bool keepAlive = parser.get().keep_alive();
      {
        std::lock_guard lock(mutex);
        received.push_back(request);
      }
      CannedResponse canned = handler(request);
      if (canned.delay.count() > 0) {
        asio::steady_timer timer(io, canned.delay);
        co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
      }
      if (canned.raw) {
        co_await asio::async_write(stream, asio::buffer(*canned.raw),
                                   asio::redirect_error(asio::use_awaitable, ec));
        co_await stream.async_shutdown(asio::redirect_error(asio::use_awaitable, ec));
        co_return;
      }
      http::response<http::string_body> response{static_cast<http::status>(canned.status), 11};
      for (const auto& [name, value] : canned.headers) response.insert(name, value);
      response.keep_alive(keepAlive && !canned.truncate);
      if (request.method == "HEAD") {
        response.content_length(canned.body.size());
      } else if (canned.truncate) {
        response.content_length(canned.body.size());
        response.body() = canned.body.substr(0, canned.body.size() / 2);
      } else {
        response.body() = canned.body;
        response.prepare_payload();
      }
      if (canned.truncate) {
        http::response_serializer<http::string_body> serializer(response);
        co_await http::async_write_header(stream, serializer,
                                          asio::redirect_error(asio::use_awaitable, ec));
        co_await asio::async_write(stream, asio::buffer(response.body()),
                                   asio::redirect_error(asio::use_awaitable, ec));
        beast::get_lowest_layer(stream).socket().close(ec);
        co_return;
      }
      co_await http::async_write(stream, response, asio::redirect_error(asio::use_awaitable, ec));
      if (ec || !response.keep_alive()) co_return;
    }
  }

  asio::awaitable<void> listen() {
    for (;;) {
      boost::system::error_code ec;
      tcp::socket socket =
          co_await acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
      if (ec) co_return;
      asio::co_spawn(io, serve(std::move(socket)), asio::detached);
    }
  }
};

TestHTTPSServer::TestHTTPSServer(Handler handler, bool keepBodies)
    : impl_(std::make_unique<Impl>()) {
  impl_->handler = std::move(handler);
  impl_->keepBodies = keepBodies;
  auto credentials = makeSelfSignedCertificate();
  impl_->caPath = impl_->dir / "ca.pem";
  writeFile(impl_->caPath, credentials.certificatePEM);
  impl_->tls.use_certificate_chain(asio::buffer(credentials.certificatePEM));
  impl_->tls.use_private_key(asio::buffer(credentials.keyPEM), asio::ssl::context::pem);
  tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen();
  asio::co_spawn(impl_->io, impl_->listen(), asio::detached);
  impl_->thread = std::thread([this] { impl_->io.run(); });
}

TestHTTPSServer::~TestHTTPSServer() {
  impl_->io.stop();
  impl_->thread.join();
}

std::uint16_t TestHTTPSServer::port() const {
  return impl_->acceptor.local_endpoint().port();
}

std::string TestHTTPSServer::baseURL() const {
  return "https://127.0.0.1:" + std::to_string(port());
}

const std::filesystem::path& TestHTTPSServer::caFile() const {
  return impl_->caPath;
}

std::vector<RecordedRequest> TestHTTPSServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->received;
}

std::uint16_t unusedLoopbackPort() {
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return acceptor.local_endpoint().port();
}

}  // namespace tarnix::testing
