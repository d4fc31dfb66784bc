// The event feeds, the precheck, service discovery, the real-time socket and link requests.
#include <optional>
#include <utility>  // before Asio, which uses std::exchange

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "emulator/EmulatorFixture.hpp"

namespace tarnix::emulator::testing {
namespace {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;

class EventTest : public EmulatorTest {
 protected:
  std::int64_t currentRevision() {
    auto r = alice.postJSON("/v5/iffl/precheck", {{"root_paths", {"/Shared"}}},
                            {"Tarnix-Client-Revision: TXC/167236"}, true);
    return r.json()["global_revision_id"].get<std::int64_t>();
  }
};

TEST_F(EventTest, ChangesAppearInTheSyncFeedInRevisionOrder) {
  std::int64_t start = currentRevision();
  makeFolder("feed");
  auto file = upload("/Shared/feed/f.txt", "feed", {"Tarnix-Client-Id: device-1"});
  auto moved = alice.postJSON("/api/v1/fs/ids/file/" + file["group_id"].get<std::string>(),
                              {{"action", "move"}, {"name", "g.txt"}});
  ASSERT_EQ(moved.status, 200);
  upload("/Private/Drafts/elsewhere.txt", "not under /Shared/feed");

  base::JSONValue request = {{"folders", {"/Shared/feed"}},
                             {"revision", start},
                             {"head_revision", start},
                             {"event_batch", 2},
                             {"batch_id", 1},
                             {"force", false}};
  auto first =
      alice.postJSON("/v5/get_events", request, {"Tarnix-Client-Revision: TXC/167236"}, true);
  ASSERT_EQ(first.status, 200) << first.body;
  auto events = first.json()["events"];
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(first.json()["more_events"], true);
  EXPECT_EQ(events[0]["action"], "ADD_FOLDER");
  EXPECT_EQ(events[0]["targetFilePath"], "/Shared/feed");
  EXPECT_EQ(events[1]["action"], "ADD_FILE");
  EXPECT_EQ(events[1]["targetGroupID"], file["group_id"]);
  EXPECT_EQ(events[1]["targetEntryID"], file["entry_id"]);
  EXPECT_EQ(events[1]["targetFileSize"], 4);
  EXPECT_EQ(events[1]["syncClientId"], "device-1");
  EXPECT_LT(events[0]["revision"].get<std::int64_t>(), events[1]["revision"].get<std::int64_t>());

  request["revision"] = events[1]["revision"];
  auto rest = alice.postJSON("/v5/get_events", request, {}, true).json();
  ASSERT_EQ(rest["events"].size(), 1u);
  EXPECT_EQ(rest["events"][0]["action"], "MOVE_FILE");
  EXPECT_EQ(rest["events"][0]["sourceFilePath"], "/Shared/feed/f.txt");
  EXPECT_EQ(rest["events"][0]["targetFilePath"], "/Shared/feed/g.txt");
  EXPECT_EQ(rest["more_events"], false);

  // The sync back end answers only on its own host name.
  EXPECT_EQ(alice.postJSON("/v5/get_events", request).status, 404);
}

TEST_F(EventTest, PublicEventsByIdRangeAndPrecheck) {
  std::int64_t start = currentRevision();
  makeFolder("range-a");
  makeFolder("range-b");
  makeFolder("range-c");
  // Ids start+1 .. start+3; ask for [start+2, start+3] as the socket client does.
  auto r = alice.postJSON("/rest/public/1.0/events/getEvents", {{"minEventId", start + 2},
                                                                {"maxEventId", start + 4},
                                                                {"maxBatchSize", 2},
                                                                {"workgroupId", "w"}});
  ASSERT_EQ(r.status, 200) << r.body;
  auto data = r.json()["data"];
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0]["eventId"], start + 2);
  EXPECT_EQ(data[0]["action"], "ADD_FOLDER");
  EXPECT_EQ(data[0]["targetFilePath"], "/Shared/range-b");
  EXPECT_EQ(data[1]["targetFilePath"], "/Shared/range-c");

  auto precheck =
      alice.postJSON("/v5/iffl/precheck", {{"root_paths", {"/Shared", "/Private"}}}, {}, true)
          .json();
  EXPECT_EQ(precheck["iffl_candidate"], true);
  EXPECT_EQ(precheck["global_revision_id"], start + 3);
  auto unknown = alice.postJSON("/v5/iffl/precheck", {{"root_paths", {"/Gone"}}}, {}, true).json();
  EXPECT_EQ(unknown["iffl_candidate"], false);
}

TEST_F(EventTest, ServiceDiscoveryHeartBeatAndLinks) {
  auto discovery = alice.get("/rest/public/1.0/servicediscovery").json();
  EXPECT_GT(discovery["refreshInterval"].get<int>(), 0);
  EXPECT_EQ(discovery["events"]["url"], emulator().host());
  auto beat =
      alice.send("HEAD", "/downloads/test/tx-client-check.txt",
                 {"Pragma: no-cache", "Cache-Control: no-cache, no-store, must-revalidate"});
  EXPECT_EQ(beat.status, 200);
  auto link = alice.postJSON("/api/v1/links", {{"type", "file"}, {"useDefaultSettings", true}});
  EXPECT_EQ(link.status, 200);
  EXPECT_TRUE(link.json()["link"].get<std::string>().starts_with("https://"));
  EXPECT_EQ(alice.postJSON("/api/v1/links", {{"type", "nonsense"}}).status, 400);
  for (const char* path :
       {"/rest/public/navigate/services/share", "/rest/public/navigate/services/folder",
        "/rest/public/navigate/services/preview", "/rest/public/navigate/services"}) {
    EXPECT_TRUE(alice.get(path).json().contains("url")) << path;
  }
  auto desktop = alice.send("POST", "/rest/public/navigate/services/share/desktop",
                            {"Content-Type: application/x-www-form-urlencoded; charset=utf-8"},
                            "path=%2FShared");
  EXPECT_EQ(desktop.status, 200);
}

TEST_F(EventTest, SocketSendsCurrentIdThenOneMessagePerChangeAndAnswersPings) {
  net::io_context io;
  ssl::context tls(ssl::context::tls_client);
  tls.load_verify_file(emulator().caFile().string());
  websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws(io, tls);
  beast::get_lowest_layer(ws).connect({net::ip::make_address("127.0.0.1"), emulator().port()});
  beast::get_lowest_layer(ws).expires_after(std::chrono::seconds(10));
  SSL_set_tlsext_host_name(ws.next_layer().native_handle(), "localhost");
  ws.next_layer().handshake(ssl::stream_base::client);
  ws.set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
    request.set("Authorization", EmulatorProcess::authorization(EmulatorProcess::kAliceToken));
  }));
  ws.handshake(emulator().host(), "/event/1.0/watch/file_system");
  // Every read has a deadline: a message that never comes fails the test instead of hanging it.
  beast::flat_buffer buffer;
  auto readMessage = [&]() -> std::optional<base::JSONValue> {
    buffer.consume(buffer.size());
    bool done = false;
    beast::error_code error;
    ws.async_read(buffer, [&](beast::error_code ec, std::size_t) {
      done = true;
      error = ec;
    });
    io.restart();
    io.run_for(std::chrono::seconds(10));
    if (!done) {
      beast::get_lowest_layer(ws).cancel();
      io.restart();
      io.run_for(std::chrono::seconds(1));
      return std::nullopt;
    }
    if (error) return std::nullopt;
    auto parsed = base::parseJSON(beast::buffers_to_string(buffer.data()));
    return parsed ? std::optional<base::JSONValue>(*parsed) : std::nullopt;
  };
  auto hello = readMessage();
  ASSERT_TRUE(hello && hello->contains("currentEventId"));
  std::int64_t current = (*hello)["currentEventId"];

  ASSERT_FALSE(makeFolder("socket-change").empty());
  auto announced = readMessage();
  ASSERT_TRUE(announced) << "no event message within 10 s";
  EXPECT_EQ((*announced)["eventId"], current + 1);

  bool ponged = false;
  ws.control_callback([&](websocket::frame_type kind, beast::string_view) {
    if (kind == websocket::frame_type::pong) ponged = true;
  });
  ws.ping("are you there");
  ASSERT_FALSE(makeFolder("socket-change-2").empty());  // the pong comes before this message
  auto second = readMessage();
  ASSERT_TRUE(second) << "no event message within 10 s";
  EXPECT_TRUE(ponged);
  EXPECT_EQ((*second)["eventId"], current + 2);
  beast::error_code ignored;
  ws.close(websocket::close_code::normal, ignored);
}

TEST_F(EventTest, SocketRefusesStrangers) {
  HttpsClient stranger(emulator(), "");
  auto r = stranger.send("GET", "/event/1.0/watch/file_system",
                         {"Connection: Upgrade", "Upgrade: websocket", "Sec-WebSocket-Version: 13",
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="});
  EXPECT_EQ(r.status, 401);
}

}  // namespace
}  // namespace tarnix::emulator::testing
