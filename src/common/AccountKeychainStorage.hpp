#pragma once
// The credentials of each account, kept by the desktop application in the shared keychain
// access group (on Linux: KeychainItemStore), with a per-process cache keyed by the account's
// authentication timestamp.
//
// Thread-safe: every call runs on the serial queue "com.tarnix.AccountKeychainStorage".
// Log lines name the account and the failure, never the credentials.

#include <expected>
#include <map>
#include <memory>
#include <string>

#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "common/AccountAuthentication.hpp"
#include "platform/KeychainItemStore.hpp"

namespace tarnix::common {

struct AccountKeychainError {
  /// One of the texts that were logged ("Missing entry in keychain", ...).
  std::string message;
};

class AccountKeychainStorage {
 public:
  static constexpr const char* accessGroup = "QWXRT842LM.com.tarnix.DesktopApp";

  AccountKeychainStorage(std::shared_ptr<platform::KeychainItemStore> store, base::Logger logger);

  /// Creates or replaces the item of `account` and caches it with `timestamp`.
  std::expected<void, AccountKeychainError> setAuthentication(
      const AccountAuthentication& authentication, const std::string& timestamp,
      const std::string& account);
  /// Replaces the existing item of `account`; fails when there is none.
  std::expected<void, AccountKeychainError> updateAuthentication(
      const AccountAuthentication& authentication, const std::string& timestamp,
      const std::string& account);
  /// The cached credentials when cached with exactly `timestamp`, else the item's.
  std::expected<AccountAuthentication, AccountKeychainError> readAuthentication(
      const std::string& account, const std::string& timestamp);
  std::expected<void, AccountKeychainError> removeAuthentication(const std::string& account);

 private:
  struct CacheEntry {
    AccountAuthentication authentication;
    std::string timestamp;
  };
  std::expected<void, AccountKeychainError> write(const AccountAuthentication& authentication,
                                                  const std::string& timestamp,
                                                  const std::string& account,
                                                  const char* failureMessage, bool mustExist);
  AccountKeychainError logged(const char* message, const std::string& account,
                              const std::string& reason) const;

  std::shared_ptr<platform::KeychainItemStore> store_;
  base::Logger logger_;
  base::DispatchQueue serialQueue_{"com.tarnix.AccountKeychainStorage"};
  std::map<std::string, CacheEntry> cache_;  // on serialQueue_
};

}  // namespace tarnix::common
