#pragma once
// The one thread that drives every transfer of the process (libcurl multi interface).

#include <curl/curl.h>

#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/Mutex.hpp"

namespace tarnix::cloudfs::detail {

class Transfer;

class NetworkThread {
 public:
  /// At most 10 connections to one host.
  static constexpr long kMaxConnectionsPerHost = 10;

  /// The process's network thread, started on first use and stopped when the last holder
  /// releases it.
  static std::shared_ptr<NetworkThread> shared();

  NetworkThread();
  /// Stops the thread; transfers still running complete as cancelled. Must not run on the
  /// network thread.
  ~NetworkThread();
  NetworkThread(const NetworkThread&) = delete;
  NetworkThread& operator=(const NetworkThread&) = delete;

  /// Any thread: starts `transfer` on the network thread.
  void add(std::shared_ptr<Transfer> transfer);
  /// Any thread: takes `transfer` off and completes it as cancelled.
  void cancel(std::shared_ptr<Transfer> transfer);

 private:
  enum class CommandKind { add, cancel };
  struct Command {
    CommandKind kind;
    std::shared_ptr<Transfer> transfer;
  };

  void run();
  void post(Command command);
  void handle(Command& command);

  CURLM* multi_ = nullptr;

  base::Mutex mutex_;
  std::vector<Command> commands_ TARNIX_GUARDED_BY(mutex_);
  bool stopping_ TARNIX_GUARDED_BY(mutex_) = false;

  // Network thread only.
  std::unordered_map<CURL*, std::shared_ptr<Transfer>> running_;

  std::thread thread_;
};

}  // namespace tarnix::cloudfs::detail
