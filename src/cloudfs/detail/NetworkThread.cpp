#include "cloudfs/detail/NetworkThread.hpp"

#include <mutex>

#include "cloudfs/detail/Transfer.hpp"

namespace tarnix::cloudfs::detail {

std::shared_ptr<NetworkThread> NetworkThread::shared() {
  static std::once_flag globalInit;
  std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  static base::Mutex mutex;
  static std::weak_ptr<NetworkThread> current TARNIX_GUARDED_BY(mutex);
  base::MutexLock lock(mutex);
  auto thread = current.lock();
  if (!thread) {
    thread = std::make_shared<NetworkThread>();
    current = thread;
  }
  return thread;
}

NetworkThread::NetworkThread() : multi_(curl_multi_init()) {
  curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxConnectionsPerHost);
  thread_ = std::thread([this] { run(); });
}

NetworkThread::~NetworkThread() {
  {
    base::MutexLock lock(mutex_);
    stopping_ = true;
  }
  curl_multi_wakeup(multi_);
  thread_.join();
  curl_multi_cleanup(multi_);
}

void NetworkThread::add(std::shared_ptr<Transfer> transfer) {
  post({CommandKind::add, std::move(transfer)});
}

void NetworkThread::cancel(std::shared_ptr<Transfer> transfer) {
  post({CommandKind::cancel, std::move(transfer)});
}

void NetworkThread::post(Command command) {
  {
    base::MutexLock lock(mutex_);
    commands_.push_back(std::move(command));
  }
  curl_multi_wakeup(multi_);
}

void NetworkThread::handle(Command& command) {
  if (command.kind == CommandKind::add) {
    CURL* easy = command.transfer->start();
    if (!easy) return;  // completed with its error already
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
      command.transfer->finish(CURLE_FAILED_INIT);
      return;
    }
    running_.emplace(easy, std::move(command.transfer));
    return;
  }
  for (auto it = running_.begin(); it != running_.end(); ++it) {
    if (it->second == command.transfer) {
      curl_multi_remove_handle(multi_, it->first);
      auto transfer = std::move(it->second);
      running_.erase(it);
      transfer->finishCancelled();
      return;
    }
  }
  // Not running (never started, or already finished): it completes by itself.
  command.transfer->finishCancelled();
}

void NetworkThread::run() {
  for (;;) {
    std::vector<Command> commands;
    bool stopping;
    {
      base::MutexLock lock(mutex_);
      commands.swap(commands_);
      stopping = stopping_;
    }
    for (auto& command : commands) handle(command);
    if (stopping) break;

    int stillRunning = 0;
    curl_multi_perform(multi_, &stillRunning);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      CURLcode code = message->data.result;
      curl_multi_remove_handle(multi_, easy);
      auto it = running_.find(easy);
      if (it == running_.end()) continue;
      auto transfer = std::move(it->second);
      running_.erase(it);
      transfer->finish(code);
    }
    curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
  }
  for (auto& [easy, transfer] : running_) {
    curl_multi_remove_handle(multi_, easy);
    transfer->finishCancelled();
  }
  running_.clear();
}

}  // namespace tarnix::cloudfs::detail
