// Cloud locks: taking, renewing and releasing them.
#include <algorithm>

#include "base/Uuid.hpp"
#include "emulator/Cloud.hpp"

namespace tarnix::emulator {

namespace {
constexpr std::int64_t kMaxLockTimeout = 30LL * 24 * 3600;
constexpr const char* kLockNotFound = "File lock for user / lock token not found";
}  // namespace

std::expected<Lock, ApiError> Cloud::lock(const Actor& actor, std::int64_t fileId,
                                          const std::optional<std::string>& token,
                                          std::optional<std::int64_t> timeoutSeconds,
                                          const std::optional<std::string>& collaboration) {
  auto node = nodeById(actor.user, fileId, false);
  if (!node) return std::unexpected(node.error());
  if (auto ok = require(actor.user, fileId, Permission::editor); !ok) {
    return std::unexpected(ok.error());
  }
  auto existing = store_.lock(fileId, now());
  if (existing && existing->userId != actor.user.id) {
    auto owner = store_.userById(existing->userId).value_or(User{});
    base::JSONValue body = {{"lock_owner",
                             {{"id", owner.id},
                              {"first_name", owner.firstName},
                              {"last_name", owner.lastName},
                              {"email", owner.email}}},
                            {"can_unlock", actor.user.admin},
                            {"lock_date", existing->createdMs},
                            {"lock_expiry_date", existing->expiresMs}};
    return std::unexpected(ApiError{409, "File is already locked", std::nullopt, {}, body});
  }
  // A renewal names the lock by its token: another token (an older lock of this user, or
  // one taken elsewhere) is not this lock. A token of a lock that ran out takes a new lock.
  if (existing && token && *token != existing->token) {
    return std::unexpected(ApiError{404, kLockNotFound});
  }
  std::int64_t timeout =
      std::clamp<std::int64_t>(timeoutSeconds.value_or(kDefaultLockTimeout), 1, kMaxLockTimeout);
  if (const auto cap = maximumLockSeconds(); cap > 0) timeout = std::min(timeout, cap);
  Lock lock;
  lock.nodeId = fileId;
  lock.userId = actor.user.id;
  // A renewal keeps the token and the creation date the holder already has.
  lock.token = existing ? existing->token : base::makeUuid();
  lock.createdMs = existing ? existing->createdMs : now();
  lock.expiresMs = now() + timeout * 1000;
  lock.collaboration = collaboration;
  Transaction tx(store_.db());
  store_.putLock(lock);
  store_.touchFolder(*node->parentId, now());
  if (!existing) {
    Event e;
    e.action = "LOCK_FILE";
    e.targetPath = store_.pathOf(fileId);
    e.groupId = std::to_string(fileId);
    emit(actor, e);
  }
  tx.commit();
  return lock;
}

std::expected<void, ApiError> Cloud::unlock(const Actor& actor, std::int64_t fileId,
                                            const std::optional<std::string>& token) {
  auto node = nodeById(actor.user, fileId, false);
  if (!node) return std::unexpected(node.error());
  auto existing = store_.lock(fileId, now());
  if (!existing) return std::unexpected(ApiError{404, kLockNotFound});
  if (existing->userId != actor.user.id) {
    if (!actor.user.admin) return std::unexpected(ApiError{403, "Permission denied"});
  } else if (token && *token != existing->token) {
    return std::unexpected(ApiError{404, kLockNotFound});
  }
  Transaction tx(store_.db());
  store_.removeLock(fileId);
  store_.touchFolder(*node->parentId, now());
  Event e;
  e.action = "UNLOCK_FILE";
  e.targetPath = store_.pathOf(fileId);
  e.groupId = std::to_string(fileId);
  emit(actor, e);
  tx.commit();
  return {};
}

}  // namespace tarnix::emulator
