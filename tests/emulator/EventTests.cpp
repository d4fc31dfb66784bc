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

/// A client of the event socket whose every wait has a deadline.
class EventSocketClient {
 public:
  explicit EventSocketClient(const EmulatorProcess& emulator)
      : tls_(ssl::context::tls_client), ws_(io_, tls_) {
    tls_.load_verify_file(emulator.caFile().string());
    beast::get_lowest_layer(ws_).connect({net::ip::make_address("127.0.0.1"), emulator.port()});
    beast::get_lowest_layer(ws_).expires_after(std::chrono::seconds(10));
    SSL_set_tlsext_host_name(ws_.next_layer().native_handle(), "localhost");
    ws_.next_layer().handshake(ssl::stream_base::client);
    ws_.set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
      request.set("Authorization", EmulatorProcess::authorization(EmulatorProcess::kAliceToken));
    }));
    ws_.handshake(emulator.host(), "/event/1.0/watch/file_system");
    beast::get_lowest_layer(ws_).expires_never();
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
      if (kind == websocket::frame_type::pong) ++pongs;
    });
  }

  /// The next text message; none when the socket ended (`error` says how) or after 10 s.
  std::optional<std::string> read() {
    buffer_.consume(buffer_.size());
    bool done = false;
    ws_.async_read(buffer_, [&](beast::error_code ec, std::size_t) {
      done = true;
      error = ec;
    });
    io_.restart();
    io_.run_for(std::chrono::seconds(10));
    if (!done) {
      beast::get_lowest_layer(ws_).cancel();
      io_.restart();
      io_.run_for(std::chrono::seconds(1));
      error = net::error::timed_out;
      return std::nullopt;
    }
    if (error) return std::nullopt;
    return beast::buffers_to_string(buffer_.data());
  }
  void ping() { ws_.ping("are you there"); }
  int closeCode() const { return ws_.reason().code; }

  beast::error_code error;
  int pongs = 0;

 private:
  net::io_context io_;
  ssl::context tls_;
  websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws_;
  beast::flat_buffer buffer_;
};

base::JSONValue adminJSON(HttpsClient& client, const base::JSONValue& body) {
  auto r = client.admin("POST", "/__admin/events", body.dump());
  EXPECT_EQ(r.status, 200) << r.body;
  return r.json();
}

class EventTest : public EmulatorTest {
 protected:
  std::int64_t currentRevision() {
    auto r = alice.postJSON("/v5/iffl/precheck", {{"root_paths", {"/Shared"}}},
                            {"Tarnix-Client-Revision: TXC/167236"}, true);
    return r.json()["global_revision_id"].get<std::int64_t>();
  }
  base::JSONValue events(const base::JSONValue& body) { return adminJSON(alice, body); }
  HttpResult getEvents(std::int64_t revision) {
    return alice.postJSON("/v5/get_events",
                          {{"folders", {"/Shared"}},
                           {"revision", revision},
                           {"head_revision", revision},
                           {"event_batch", 100},
                           {"batch_id", 1},
                           {"force", false}},
                          {}, true);
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
  auto link = alice.postJSON(
      "/api/v1/links",
      {{"type", "file"}, {"useDefaultSettings", true}, {"path", "/Shared/Documents/Notes.txt"}});
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

TEST_F(EventTest, LinksAndWebPagesAreOnlyForItemsTheUserCanSee) {
  const std::string notes = "/Shared/Documents/Notes.txt";
  const std::string notesID = alice.get("/api/v1/fs" + notes).json()["group_id"];
  const std::string documentsID = alice.get("/api/v1/fs/Shared/Documents").json()["folder_id"];
  const std::string ideasID = alice.get("/api/v1/fs/Private/Drafts/Ideas.txt").json()["group_id"];
  struct Case {
    std::string name;
    HttpsClient* user;
    std::string type;  // of the link; the web page is "folder" or "preview" by it
    std::optional<std::string> id, path;
    int status;
    std::string item;  // the id the answers carry when they succeed
  };
  const Case cases[] = {
      {"file by path", &alice, "file", std::nullopt, notes, 200, notesID},
      {"file by id", &alice, "file", notesID, std::nullopt, 200, notesID},
      {"folder by both", &alice, "folder", documentsID, "/Shared/Documents", 200, documentsID},
      {"missing path", &alice, "file", std::nullopt, "/Shared/Documents/Gone.txt", 404, ""},
      {"unknown id", &alice, "file", "999999", std::nullopt, 404, ""},
      {"id that is no number", &alice, "file", "x1", std::nullopt, 404, ""},
      {"id and path of different items", &alice, "file", notesID, "/Private/Drafts/Ideas.txt", 404,
       ""},
      {"a file called a folder", &alice, "folder", std::nullopt, notes, 404, ""},
      {"a folder called a file", &alice, "file", documentsID, std::nullopt, 404, ""},
      {"someone else's private file", &bob, "file", ideasID, std::nullopt, 404, ""},
      {"nothing named", &alice, "file", std::nullopt, std::nullopt, 400, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    base::JSONValue body = {{"type", c.type}, {"useDefaultSettings", true}};
    std::string query;
    if (c.id) {
      body["id"] = *c.id;
      query += "&id=" + *c.id;
    }
    if (c.path) {
      body["path"] = *c.path;
      query += "&path=" + *c.path;
    }
    auto link = c.user->postJSON("/api/v1/links", body);
    EXPECT_EQ(link.status, c.status) << link.body;
    if (link.status == 200) {
      EXPECT_TRUE(link.json()["link"].get<std::string>().starts_with(
          "https://" + emulator().host() + "/l/" + c.item + "/"));
    }
    if (c.status == 400) continue;  // a page without an item is a page of the cloud's own
    query[0] = '?';
    const std::string page = c.type == "folder" ? "folder" : "preview";
    auto shown = c.user->get("/rest/public/navigate/services/" + page + query);
    EXPECT_EQ(shown.status, c.status) << shown.body;
    if (shown.status == 200) {
      EXPECT_TRUE(shown.json()["url"].get<std::string>().ends_with("&item=" + c.item));
    }
  }
}

TEST_F(EventTest, SocketSendsCurrentIdThenOneMessagePerChangeAndAnswersPings) {
  EventSocketClient ws(emulator());
  // Every read has a deadline: a message that never comes fails the test instead of hanging it.
  auto readMessage = [&]() -> std::optional<base::JSONValue> {
    auto text = ws.read();
    if (!text) return std::nullopt;
    auto parsed = base::parseJSON(*text);
    return parsed ? std::optional<base::JSONValue>(*parsed) : std::nullopt;
  };
  auto hello = readMessage();
  ASSERT_TRUE(hello && hello->contains("currentEventId"));
  std::int64_t current = (*hello)["currentEventId"];

  ASSERT_FALSE(makeFolder("socket-change").empty());
  auto announced = readMessage();
  ASSERT_TRUE(announced) << "no event message within 10 s";
  EXPECT_EQ((*announced)["eventId"], current + 1);

  ws.ping();
  ASSERT_FALSE(makeFolder("socket-change-2").empty());  // the pong comes before this message
  auto second = readMessage();
  ASSERT_TRUE(second) << "no event message within 10 s";
  EXPECT_EQ(ws.pongs, 1);
  EXPECT_EQ((*second)["eventId"], current + 2);
}

TEST_F(EventTest, SocketRefusesStrangers) {
  HttpsClient stranger(emulator(), "");
  auto r = stranger.send("GET", "/event/1.0/watch/file_system",
                         {"Connection: Upgrade", "Upgrade: websocket", "Sec-WebSocket-Version: 13",
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="});
  EXPECT_EQ(r.status, 401);
}

TEST_F(EventTest, AdminClosesEveryOpenSocketAndPushesRawFrames) {
  EventSocketClient first(emulator()), second(emulator());
  ASSERT_TRUE(first.read());
  ASSERT_TRUE(second.read());
  auto pushed = events({{"push", " "}});
  EXPECT_EQ(pushed["pushed"], 2);
  for (const char* text : {"[]", "garbage"}) events({{"push", text}});
  for (auto* client : {&first, &second}) {
    EXPECT_EQ(client->read(), " ");
    EXPECT_EQ(client->read(), "[]");
    EXPECT_EQ(client->read(), "garbage");
  }
  auto closed = events({{"closeSockets", true}});
  EXPECT_EQ(closed["closed"], 2);
  for (auto* client : {&first, &second}) {
    EXPECT_FALSE(client->read());
    EXPECT_EQ(client->error, websocket::error::closed) << client->error.message();
    EXPECT_EQ(client->closeCode(), 1001);
  }
  EXPECT_EQ(alice.admin("GET", "/__admin/events").json()["openSockets"], 0);
}

TEST_F(EventTest, AdminRefusesUpgradesWithAGivenStatus) {
  auto upgrade = [&] {
    return alice.send("GET", "/event/1.0/watch/file_system",
                      {"Connection: Upgrade", "Upgrade: websocket", "Sec-WebSocket-Version: 13",
                       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="});
  };
  for (int status : {503, 401, 403}) {
    events({{"refuseUpgrade", status}});
    EXPECT_EQ(upgrade().status, status);
  }
  events({{"refuseUpgrade", nullptr}});
  EventSocketClient accepted(emulator());
  EXPECT_TRUE(accepted.read());
  EXPECT_EQ(alice.admin("POST", "/__admin/events", R"({"refuseUpgrade": 101})").status, 400);
}

TEST_F(EventTest, SocketsOpenedWhilePingsAreOffNeverPong) {
  events({{"answerPings", false}});
  EventSocketClient silent(emulator());
  ASSERT_TRUE(silent.read());
  silent.ping();
  ASSERT_FALSE(makeFolder("unanswered-ping").empty());
  ASSERT_TRUE(silent.read()) << silent.error.message();  // the announcement comes, no pong
  EXPECT_EQ(silent.pongs, 0);

  events({{"answerPings", true}});
  EventSocketClient answering(emulator());
  ASSERT_TRUE(answering.read());
  answering.ping();
  ASSERT_FALSE(makeFolder("answered-ping").empty());
  ASSERT_TRUE(answering.read());
  EXPECT_EQ(answering.pongs, 1);
}

TEST_F(EventTest, AdminSetsThePrecheckAnswer) {
  auto precheck = [&] {
    return alice.postJSON("/v5/iffl/precheck", {{"root_paths", {"/Shared"}}}, {}, true)
        .json()["iffl_candidate"];
  };
  EXPECT_EQ(precheck(), true);
  events({{"ifflCandidate", false}});
  EXPECT_EQ(precheck(), false);
  events({{"ifflCandidate", nullptr}});
  EXPECT_EQ(precheck(), true);
}

TEST_F(EventTest, ExpiredHistoryIsAnsweredAsExpired) {
  std::int64_t start = currentRevision();
  makeFolder("expire-a");
  makeFolder("expire-b");
  std::int64_t through = start + 1;
  events({{"expireThrough", through}});
  for (std::int64_t revision : {std::int64_t{0}, start}) {
    SCOPED_TRACE(revision);
    auto r = getEvents(revision);
    EXPECT_EQ(r.status, 410) << r.body;
    EXPECT_EQ(r.json()["code"], "EventsExpired") << r.body;
  }
  auto kept = getEvents(through).json();
  ASSERT_EQ(kept["events"].size(), 1u);
  EXPECT_EQ(kept["events"][0]["targetFilePath"], "/Shared/expire-b");
  auto range = alice.postJSON("/rest/public/1.0/events/getEvents", {{"minEventId", start + 1},
                                                                    {"maxEventId", start + 3},
                                                                    {"maxBatchSize", 2},
                                                                    {"workgroupId", "w"}});
  ASSERT_EQ(range.json()["data"].size(), 1u);
  EXPECT_EQ(range.json()["data"][0]["eventId"], start + 2);
}

TEST_F(EventTest, MalformedBatchesOnceOrUntilCleared) {
  std::int64_t start = currentRevision();
  makeFolder("malformed-batch");
  auto isMalformed = [&] {
    auto r = getEvents(start);
    EXPECT_EQ(r.status, 200);
    return !r.json()["events"][0]["revision"].is_number_integer();
  };
  events({{"malformedBatches", 1}});
  EXPECT_TRUE(isMalformed());
  EXPECT_FALSE(isMalformed());
  events({{"malformedBatches", -1}});
  EXPECT_TRUE(isMalformed());
  EXPECT_TRUE(isMalformed());
  EXPECT_EQ(alice.admin("DELETE", "/__admin/events").status, 200);
  EXPECT_FALSE(isMalformed());
}

}  // namespace
}  // namespace tarnix::emulator::testing
