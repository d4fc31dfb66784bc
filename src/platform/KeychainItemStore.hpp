#pragma once
// Generic-password items of one access group, kept as one file per account in a folder that
// only the user can enter (0700); each file is 0600 and replaced atomically on write.
//
// Thread-safe (every call works on the file system only).

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarnix::platform {

struct KeychainError {
  enum class Code { itemNotFound, invalidAccount, ioFailure };
  Code code = Code::ioFailure;
  std::string message;
};

class KeychainItemStore {
 public:
  /// Items live in `folder` (created 0700 on first write).
  explicit KeychainItemStore(std::filesystem::path folder);

  const std::filesystem::path& folder() const { return folder_; }

  /// Creates or replaces the item of `account`. `account` is a plain file name (no "/", not
  /// starting with ".").
  std::expected<void, KeychainError> write(std::string_view account, std::string_view data) const;
  /// The item's bytes; `itemNotFound` when there is none.
  std::expected<std::string, KeychainError> read(std::string_view account) const;
  /// Deletes the item; `itemNotFound` when there was none.
  std::expected<void, KeychainError> remove(std::string_view account) const;

 private:
  std::expected<std::filesystem::path, KeychainError> itemPath(std::string_view account) const;
  std::filesystem::path folder_;
};

}  // namespace tarnix::platform
