#pragma once
// Why taking, renewing or releasing a cloud lock failed, with the texts the user sees.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/ItemLocks.hpp"
#include "platform/fileprovider/Error.hpp"

namespace tarnix::common {

inline constexpr std::string_view kLockingErrorDomain = "com.tarnix.LockingError";

struct LockingError {
  enum class Code : std::int64_t {
    alreadyLocked,
    lockingDenied,
    unlockingDenied,
    fileNotFound,
    lockNotFound,
    invalidFilePath,
    authenticationRequired,
    throttledByServer,
    connectionError,
    invalidServerResponse,
    internalError,
  };

  Code code = Code::internalError;
  /// The holder (alreadyLocked only).
  CloudLockInfo lockInfo;

  static LockingError alreadyLocked(CloudLockInfo with) {
    return {Code::alreadyLocked, std::move(with)};
  }
  LockingError() = default;
  LockingError(Code code, CloudLockInfo info = {}) : code(code), lockInfo(std::move(info)) {}

  /// "File is already locked by <first> <last>", "You don't have the permission to lock the
  /// file.", ...
  std::string description() const;
  std::string recoverySuggestion() const;
  /// The case name ("alreadyLocked", ...), for logs.
  std::string_view name() const;
  /// The error as the framework and the desktop application see it: this domain, the case's
  /// number, the description and the recovery suggestion.
  platform::fileprovider::Error platformError() const;
  bool operator==(const LockingError&) const = default;
};

}  // namespace tarnix::common
