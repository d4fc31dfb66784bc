#include "integration/CloudClientFixture.hpp"

#include "base/Uuid.hpp"
#include "cloudfs/requests/ListingRequest.hpp"
#include "cloudfs/responses/ListingResponse.hpp"

namespace tarnix::testing {

using cloudfs::TarnixURLSession;
using cloudfs::URLRequest;

std::optional<std::string> ReceivedRequest::header(const std::string& lowerCaseName) const {
  if (!headers.is_object() || !headers.contains(lowerCaseName)) return std::nullopt;
  const auto& value = headers[lowerCaseName];
  if (!value.is_string()) return std::nullopt;
  return value.get<std::string>();
}

void CloudClientTest::SetUpTestSuite() {
  auto started = EmulatorProcess::start({.seed = "demo", .faultsFile = ""});
  ASSERT_TRUE(started) << started.error();
  emulator_ = std::move(*started);
  TarnixURLSession::Configuration configuration;
  configuration.additionalCAFile = emulator_->caFile();
  configuration.downloadDirectory = emulator_->dataDir();
  urlSession_ = std::make_shared<TarnixURLSession>(
      base::Logger::null(),
      cloudfs::TarnixUserAgent("device-1", "1.0.0", "1", {"en_US", "6.1.0", "x86_64"}), "lifecycle",
      nullptr, configuration);
}

void CloudClientTest::TearDownTestSuite() {
  urlSession_.reset();
  emulator_.reset();
}

void CloudClientTest::TearDown() {
  admin(base::HTTPMethod::delete_, "/__admin/faults");
  admin(base::HTTPMethod::delete_, "/__admin/requests");
}

std::shared_ptr<fileprovider::SyncCloudClient> CloudClientTest::client(const std::string& token,
                                                                       std::string domain) {
  common::Drive drive;
  drive.identifier = base::makeUuid();
  drive.domain = domain.empty() ? emulator_->host() : std::move(domain);
  drive.userName = "alice";
  drive.authentication = common::AccountAuthentication::oauth(token, "refresh");
  return std::make_shared<fileprovider::SyncCloudClient>(
      std::make_shared<cloudfs::CloudFSSessionFactory>(urlSession_, log_.first), errorHandler_,
      log_.first, nullptr, drive);
}

std::string CloudClientTest::admin(const base::HTTPMethod& method, const std::string& path,
                                   const std::string& body) {
  URLRequest request;
  request.url = emulator_->baseURL() + path;
  request.method = method;
  request.setValue(emulator_->adminToken(), "X-Admin-Token");
  if (!body.empty()) {
    request.body = body;
    request.setValue("application/json", "Content-Type");
  }
  auto future = urlSession_->data(request, cloudfs::TarnixURLRequestOptions::none());
  if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) std::abort();
  auto result = future.get();
  EXPECT_TRUE(result.has_value()) << path;
  if (!result) return {};
  EXPECT_EQ(result->response.statusCode / 100, 2) << path << ": " << result->body;
  return result->body;
}

void CloudClientTest::addFault(const base::JSONValue& rule) {
  admin(base::HTTPMethod::post, "/__admin/faults", rule.dump());
}

std::vector<ReceivedRequest> CloudClientTest::received() {
  auto text = admin(base::HTTPMethod::get, "/__admin/requests");
  admin(base::HTTPMethod::delete_, "/__admin/requests");
  auto json = base::parseJSON(text);
  std::vector<ReceivedRequest> out;
  if (!json || !json->is_array()) {
    ADD_FAILURE() << "request log: " << text;
    return out;
  }
  for (const auto& entry : *json) {
    ReceivedRequest request;
    request.method = entry.value("method", "");
    request.path = entry.value("path", "");
    for (const auto& pair : entry.value("query", base::JSONValue::array())) {
      request.query.emplace_back(pair[0].get<std::string>(), pair[1].get<std::string>());
    }
    request.headers = entry.value("headers", base::JSONValue::object());
    request.body = entry.value("body", "");
    out.push_back(std::move(request));
  }
  return out;
}

common::SyncItem CloudClientTest::folderAt(const std::string& path) {
  auto session = client()->cfsSession();
  auto future =
      session->data(cloudfs::ListingByPathRequest(path), cloudfs::TarnixURLRequestOptions::none());
  if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) std::abort();
  auto answer = future.get();
  common::SyncItem folder;
  folder.itemIdentifier = common::SyncFolderIdentifier{base::makeUuid()};
  folder.filename = path.substr(path.rfind('/') + 1);
  if (!answer) {
    ADD_FAILURE() << path << ": " << cloudfs::describe(answer.error());
    return folder;
  }
  auto listing = cloudfs::ListingResponse::decode({answer->second, answer->first, std::nullopt});
  if (!listing) {
    ADD_FAILURE() << path << ": " << answer->first;
    return folder;
  }
  folder.cloudIdentifier = common::CloudFolderIdentifier{listing->folderID};
  folder.permission =
      common::permissionFromCfsName(listing->permission).value_or(common::SyncItemPermission::none);
  return folder;
}

common::SyncItem CloudClientTest::uploadFile(const std::string& path, const std::string& content,
                                             const common::SyncItem& parent,
                                             const std::string& token) {
  URLRequest request;
  request.url = emulator_->baseURL() + "/api/v1/fs-content" + path;
  request.method = base::HTTPMethod::post;
  request.setValue(EmulatorProcess::authorization(token), "Authorization");
  request.body = content;
  auto future = urlSession_->data(request, cloudfs::TarnixURLRequestOptions::none());
  if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) std::abort();
  auto result = future.get();
  common::SyncItem file;
  file.itemIdentifier = common::SyncFileIdentifier::make();
  file.parentItemIdentifier = *parent.itemIdentifier.folder();
  file.filename = path.substr(path.rfind('/') + 1);
  if (!result || result->response.statusCode != 200) {
    ADD_FAILURE() << "upload of " << path << " failed";
    return file;
  }
  auto json = base::parseJSON(result->body);
  if (!json || !json->is_object()) {
    ADD_FAILURE() << "upload answer: " << result->body;
    return file;
  }
  file.cloudIdentifier = common::CloudGroupIdentifier{json->value("group_id", "")};
  file.contentVersion = common::CloudEntryIdentifier{json->value("entry_id", "")};
  file.contentSize = static_cast<std::int64_t>(content.size());
  return file;
}

common::SyncItem CloudClientTest::makeFolder(const common::SyncItem& parent,
                                             const std::string& name) {
  auto sut = client();
  auto made = run<common::SyncItem>(
      [&](auto completion) { sut->createFolder(parent, name, std::move(completion)); });
  if (!made) {
    ADD_FAILURE() << "creating " << name << ": " << made.error().description();
    return {};
  }
  return *made;
}

}  // namespace tarnix::testing
