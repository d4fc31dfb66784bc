#pragma once
// Files and folders readable by the user alone. Everything the system writes in its container
// (preferences, credentials, databases, logs, downloads, replicas, locks, sockets) holds or
// reveals the user's data, so it is made 0600 (files) and 0700 (folders) whatever the umask of
// the process that makes it.

#include <sys/types.h>

#include <filesystem>
#include <system_error>

namespace tarnix::base {

inline constexpr mode_t kPrivateFileMode = 0600;
inline constexpr mode_t kPrivateFolderMode = 0700;

/// Makes `folder` and its missing parents 0700; folders that exist already are left as they are.
/// An empty path is `invalid_argument`, as for `std::filesystem::create_directories`.
std::error_code createPrivateDirectories(const std::filesystem::path& folder);

/// `open(2)` of `file` with `flags` (O_CLOEXEC and O_CREAT are added); a file the call creates
/// is 0600 exactly. The descriptor, or -1 with `errno` set.
int openPrivateFile(const std::filesystem::path& file, int flags);

/// Creates `file` empty and 0600 unless it exists, for files another library opens by name
/// afterwards (SQLite gives its journal and WAL files the mode of the database file).
std::error_code ensurePrivateFile(const std::filesystem::path& file);

/// Makes an existing file or folder private (0600 or 0700), e.g. one written by a library that
/// follows the umask.
std::error_code makePrivate(const std::filesystem::path& path);

}  // namespace tarnix::base
