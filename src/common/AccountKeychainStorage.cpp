#include "common/AccountKeychainStorage.hpp"

namespace tarnix::common {

AccountKeychainStorage::AccountKeychainStorage(std::shared_ptr<platform::KeychainItemStore> store,
                                               base::Logger logger)
    : store_(std::move(store)), logger_(std::move(logger)) {}

AccountKeychainError AccountKeychainStorage::logged(const char* message, const std::string& account,
                                                    const std::string& reason) const {
  logger_.error(message, base::LoggerMetadata{{"accountID", account}, {"error", reason}});
  return AccountKeychainError{message};
}

std::expected<void, AccountKeychainError> AccountKeychainStorage::write(
    const AccountAuthentication& authentication, const std::string& timestamp,
    const std::string& account, const char* failureMessage, bool mustExist) {
  return serialQueue_.sync([&]() -> std::expected<void, AccountKeychainError> {
    if (mustExist) {
      if (auto existing = store_->read(account); !existing) {
        return std::unexpected(logged(failureMessage, account, existing.error().message));
      }
    }
    if (auto written = store_->write(account, authentication.jsonText()); !written) {
      return std::unexpected(logged(failureMessage, account, written.error().message));
    }
    cache_.insert_or_assign(account, CacheEntry{authentication, timestamp});
    return {};
  });
}

std::expected<void, AccountKeychainError> AccountKeychainStorage::setAuthentication(
    const AccountAuthentication& authentication, const std::string& timestamp,
    const std::string& account) {
  return write(authentication, timestamp, account, "Writing account authentication failed", false);
}

std::expected<void, AccountKeychainError> AccountKeychainStorage::updateAuthentication(
    const AccountAuthentication& authentication, const std::string& timestamp,
    const std::string& account) {
  return write(authentication, timestamp, account, "Updating account authentication failed", true);
}

std::expected<AccountAuthentication, AccountKeychainError>
AccountKeychainStorage::readAuthentication(const std::string& account,
                                           const std::string& timestamp) {
  return serialQueue_.sync([&]() -> std::expected<AccountAuthentication, AccountKeychainError> {
    if (auto it = cache_.find(account); it != cache_.end() && it->second.timestamp == timestamp) {
      return it->second.authentication;
    }
    auto data = store_->read(account);
    if (!data) {
      if (data.error().code == platform::KeychainError::Code::itemNotFound) {
        return std::unexpected(logged("Missing entry in keychain", account, data.error().message));
      }
      return std::unexpected(
          logged("Reading account authentication failed", account, data.error().message));
    }
    auto authentication = AccountAuthentication::fromJSONText(*data);
    if (!authentication) {
      return std::unexpected(
          logged("Parsing keychain item failed", account, authentication.error().message));
    }
    cache_.insert_or_assign(account, CacheEntry{*authentication, timestamp});
    return *authentication;
  });
}

std::expected<void, AccountKeychainError> AccountKeychainStorage::removeAuthentication(
    const std::string& account) {
  return serialQueue_.sync([&]() -> std::expected<void, AccountKeychainError> {
    cache_.erase(account);
    if (auto removed = store_->remove(account); !removed) {
      return std::unexpected(
          logged("Removing account authentication failed", account, removed.error().message));
    }
    return {};
  });
}

}  // namespace tarnix::common
