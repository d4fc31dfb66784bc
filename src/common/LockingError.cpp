#include "common/LockingError.hpp"

namespace tarnix::common {

namespace {
constexpr const char* kRefreshLocks = "Please re-enter the folder to refresh the locks.";
constexpr const char* kTryAgain = "Please try again or contact Tarnix support.";
constexpr const char* kInternal = "Internal error.";

std::string ownerName(const CloudLockInfo& info) {
  std::string name = info.firstName;
  if (!info.lastName.empty()) name += (name.empty() ? "" : " ") + info.lastName;
  if (name.empty() && info.email) name = *info.email;
  return name;
}
}  // namespace

std::string LockingError::description() const {
  switch (code) {
    case Code::alreadyLocked:
      return "File is already locked by " + ownerName(lockInfo);
    case Code::lockingDenied:
      return "You don't have the permission to lock the file.";
    case Code::unlockingDenied:
      return "You don't have the permission to unlock the file.";
    case Code::fileNotFound:
      return "The file doesn't exist.";
    case Code::lockNotFound:
      return "The file is not locked.";
    case Code::authenticationRequired:
      return "You are not authenticated.";
    case Code::throttledByServer:
      return "Throttled by server.";
    case Code::connectionError:
      return "Cannot connect to cloud.";
    case Code::invalidFilePath:
    case Code::invalidServerResponse:
    case Code::internalError:
      return kInternal;
  }
  return kInternal;
}

std::string LockingError::recoverySuggestion() const {
  switch (code) {
    case Code::alreadyLocked:
    case Code::lockNotFound:
      return kRefreshLocks;
    case Code::lockingDenied:
      return "Only users with Editor permission can lock files.";
    case Code::unlockingDenied:
      return "Please contact lock owner, folder owner or administrator to remove the lock.";
    case Code::fileNotFound:
      return "Make sure the file you want to lock is still on cloud.";
    case Code::authenticationRequired:
      return "Please reconnect you drive to reauthenticate.";
    case Code::throttledByServer:
      return "Please try again later.";
    case Code::connectionError:
      return "Please make sure you are connected to the Internet.";
    case Code::invalidFilePath:
    case Code::invalidServerResponse:
    case Code::internalError:
      return kTryAgain;
  }
  return kTryAgain;
}

std::string_view LockingError::name() const {
  switch (code) {
    case Code::alreadyLocked:
      return "alreadyLocked";
    case Code::lockingDenied:
      return "lockingDenied";
    case Code::unlockingDenied:
      return "unlockingDenied";
    case Code::fileNotFound:
      return "fileNotFound";
    case Code::lockNotFound:
      return "lockNotFound";
    case Code::invalidFilePath:
      return "invalidFilePath";
    case Code::authenticationRequired:
      return "authenticationRequired";
    case Code::throttledByServer:
      return "throttledByServer";
    case Code::connectionError:
      return "connectionError";
    case Code::invalidServerResponse:
      return "invalidServerResponse";
    case Code::internalError:
      return "internalError";
  }
  return "internalError";
}

platform::fileprovider::Error LockingError::platformError() const {
  using Error = platform::fileprovider::Error;
  Error::UserInfo info;
  info[std::string(Error::kLocalizedDescriptionKey)] = description();
  info[std::string(Error::kLocalizedRecoverySuggestionKey)] = recoverySuggestion();
  return Error(std::string(kLockingErrorDomain), static_cast<std::int64_t>(code), std::move(info));
}

}  // namespace tarnix::common
