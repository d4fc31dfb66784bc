#pragma once
// What opening or reading the host's contents fails with. The FUSE bridge answers each with an
// errno from one table (errnoForReplicaError, beside errnoForError in ExtensionCalls.cpp).

#include <optional>
#include <string>
#include <system_error>

#include "base/Logger.hpp"
#include "host/ExtensionCalls.hpp"

namespace tarnix::host {

struct ReplicaError {
  enum class Kind {
    /// The store does not know the item.
    noSuchItem,
    /// The item is a folder.
    isFolder,
    /// The item does not allow reading.
    notReadable,
    /// The item does not allow writing.
    notWritable,
    /// The extension's call failed or did not answer in time (`call`).
    extension,
    /// The replica store failed.
    store,
    /// A file of the replica could not be made, written or moved (`code`).
    fileSystem,
    /// A whole download's size is not the item's, also after asking for the item again.
    sizeMismatch,
    /// A range fetch ended without the bytes the read needs.
    rangeNotDelivered,
  };

  Kind kind = Kind::store;
  /// What failed, for the log.
  std::string detail;
  std::optional<CallError> call;
  std::error_code code;

  static ReplicaError of(Kind kind, std::string detail = {}) {
    ReplicaError error;
    error.kind = kind;
    error.detail = std::move(detail);
    return error;
  }
  static ReplicaError extension(CallError call) {
    auto error = of(Kind::extension, call.description());
    error.call = std::move(call);
    return error;
  }
  static ReplicaError fileSystem(std::error_code code, std::string what) {
    auto error = of(Kind::fileSystem, std::move(what) + ": " + code.message());
    error.code = code;
    return error;
  }
  /// The failed system call's errno.
  static ReplicaError fromErrno(int value, std::string what) {
    return fileSystem(std::error_code(value, std::generic_category()), std::move(what));
  }

  std::string description() const;
};

/// The errno the host answers for `error`. An error the table does not know is logged with
/// `logger` and answers EIO.
int errnoForReplicaError(const ReplicaError& error, const base::Logger& logger);

}  // namespace tarnix::host
