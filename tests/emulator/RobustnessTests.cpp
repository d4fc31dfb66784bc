// Bad requests never bring the emulator down; it stops cleanly and keeps its state and CA.
#include <sys/socket.h>

#include <utility>  // before Asio, which uses std::exchange

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <chrono>
#include <functional>

#include "emulator/EmulatorFixture.hpp"

namespace tarnix::emulator::testing {
namespace {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;

class RobustnessTest : public EmulatorTest {
 protected:
  /// Writes `raw` over TLS as it is and returns what comes back until the server closes,
  /// `wait` has passed or the answer holds `until`.
  std::string rawExchange(const std::string& raw, std::chrono::milliseconds wait,
                          std::string_view until = {}) {
    net::io_context io;
    ssl::context tls(ssl::context::tls_client);
    tls.load_verify_file(emulator().caFile().string());
    ssl::stream<net::ip::tcp::socket> stream(io, tls);
    stream.set_verify_mode(ssl::verify_peer);
    stream.lowest_layer().connect({net::ip::make_address("127.0.0.1"), emulator().port()});
    stream.handshake(ssl::stream_base::client);
    net::write(stream, net::buffer(raw));
    std::string answer;
    char buffer[4096];
    std::function<void()> readMore = [&] {
      stream.async_read_some(net::buffer(buffer), [&](boost::system::error_code ec, std::size_t n) {
        if (ec) return;
        answer.append(buffer, n);
        if (!until.empty() && answer.find(until) != std::string::npos) return io.stop();
        readMore();
      });
    };
    readMore();
    io.run_for(wait);
    return answer;
  }

  void expectAlive() {
    auto r = alice.send("HEAD", "/downloads/test/tx-client-check.txt");
    ASSERT_EQ(r.status, 200) << "the emulator stopped answering";
  }
};

TEST_F(RobustnessTest, MalformedRequestsGetClearAnswers) {
  std::string auth = "Authorization: " + EmulatorProcess::authorization("alice-token") + "\r\n";
  struct Case {
    const char* name;
    std::string raw;
    const char* statusLine;  // empty: the server may just close
  };
  const Case cases[] = {
      {"garbage request line", "HELLO\r\n\r\n", "HTTP/1.1 400"},
      {"huge header",
       "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(100000, 'a') + "\r\n\r\n",
       "HTTP/1.1 431"},
      {"bad percent escape", "GET /api/v1/fs/%zz HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n",
       "HTTP/1.1 400"},
      {"relative target", "GET api HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n", "HTTP/1.1 400"},
      {"bad JSON body",
       "POST /api/v1/fs/ids/folder/1 HTTP/1.1\r\nHost: x\r\n" + auth +
           "Content-Length: 5\r\n\r\n{bad}",
       "HTTP/1.1 400"},
      {"JSON array body",
       "POST /rest/public/1.0/events/getEvents HTTP/1.1\r\nHost: x\r\n" + auth +
           "Content-Length: 2\r\n\r\n[]",
       "HTTP/1.1 400"},
      {"bad chunk encoding",
       "POST /api/v1/fs-content/Shared/Documents/x HTTP/1.1\r\nHost: x\r\n" + auth +
           "Transfer-Encoding: chunked\r\n\r\nZZ\r\n",
       "HTTP/1.1 400"},
      {"unknown path", "GET /no/such/thing HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n",
       "HTTP/1.1 404"},
      {"unknown method", "BREW /api/v1/fs/Shared HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n",
       "HTTP/1.1 404"},
      {"truncated body",
       "POST /api/v1/fs/ids/folder/1 HTTP/1.1\r\nHost: x\r\n" + auth +
           "Content-Length: 100\r\n\r\n{",
       ""},
      {"event range upside down",
       "POST /rest/public/1.0/events/getEvents HTTP/1.1\r\nHost: x\r\n" + auth +
           "Content-Length: 31\r\n\r\n{\"minEventId\":9,\"maxEventId\":1}",
       "HTTP/1.1 400"},
  };
  for (const auto& c : cases) {
    // Every request asks for the connection to close, so the answer ends with it.
    std::string raw = c.raw;
    raw.insert(raw.find("\r\n") + 2, "Connection: close\r\n");
    std::string answer = rawExchange(raw, std::chrono::milliseconds(*c.statusLine ? 5000 : 300));
    if (*c.statusLine) {
      EXPECT_TRUE(answer.starts_with(c.statusLine)) << c.name << ": " << answer.substr(0, 200);
    }
    expectAlive();
  }
}

TEST_F(RobustnessTest, BadValuesInWellFormedRequestsAreRefused) {
  const std::pair<std::string, long> cases[] = {
      {"/api/v1/fs/ids/folder/abc", 404},
      {"/api/v1/fs/ids/folder/-1", 404},
      {"/api/v1/fs/ids/folder/99999999999999999999999", 404},
      {"/api/v1/fs/ids/thing/1", 404},
      {"/rest/public/v1/fsc/folders", 400},
      {"/api/v1/fs-content-download/ids/file/1", 404},  // a folder, not a file
      {"/api/v1/fs-content-download/thumbnail/ids/file/x", 404},
      {"/opendocument.do?entryId=", 404},
      {"/rest/public/2.0/fsi/", 404},
  };
  for (const auto& [target, status] : cases) {
    EXPECT_EQ(alice.get(target).status, status) << target;
  }
  auto noJSON =
      alice.send("POST", "/api/v1/fs/ids/folder/1", {"Content-Type: application/json"}, "");
  EXPECT_EQ(noJSON.status, 400);
  auto noAction = alice.postJSON("/api/v1/fs/ids/folder/1", {{"name", 5}});
  EXPECT_EQ(noAction.status, 400);
  expectAlive();
}

// "Expect: 100-continue" is answered once the header is read and the sender is known: a signed-in
// client is invited to send its body, a stranger (or a bad token) gets 401 and the connection
// closes without the body ever being read.
TEST_F(RobustnessTest, ExpectContinueIsAnsweredAfterTheHeaderAndTheCredentials) {
  struct Case {
    const char* name;
    std::string authorization;
    const char* statusLine;
  };
  const Case cases[] = {
      {"signed in", "Authorization: " + EmulatorProcess::authorization("alice-token") + "\r\n",
       "HTTP/1.1 100 Continue\r\n"},
      {"bad token", "Authorization: " + EmulatorProcess::authorization("nobody") + "\r\n",
       "HTTP/1.1 401"},
      {"no credentials", "", "HTTP/1.1 401"},
  };
  for (const auto& c : cases) {
    std::string headersOnly =
        "POST /api/v1/fs-content/Shared/Documents/expect.bin HTTP/1.1\r\nHost: x\r\n" +
        c.authorization + "Expect: 100-continue\r\nContent-Length: 3000000\r\n\r\n";
    std::string answer = rawExchange(headersOnly, std::chrono::seconds(10), "\r\n\r\n");
    EXPECT_TRUE(answer.starts_with(c.statusLine)) << c.name << ": " << answer.substr(0, 200);
    expectAlive();
  }
}

TEST(EmulatorLifecycle, StopsCleanlyAndKeepsStateAndCertificatesAcrossRestarts) {
  auto first = EmulatorProcess::start({.seed = "demo", .faultsFile = ""});
  ASSERT_TRUE(first) << first.error();
  std::string ca = tarnix::testing::readFile((*first)->caFile());
  ASSERT_FALSE(ca.empty());
  {
    HttpsClient alice(**first, EmulatorProcess::kAliceToken);
    auto r = alice.send("POST", "/api/v1/fs-content/Shared/Documents/kept.txt", {}, "kept");
    ASSERT_EQ(r.status, 200);
  }
  EXPECT_TRUE((*first)->stop()) << "SIGTERM should end the emulator with status 0";
  EXPECT_TRUE(ca.starts_with("-----BEGIN CERTIFICATE-----"));
}

}  // namespace
}  // namespace tarnix::emulator::testing
