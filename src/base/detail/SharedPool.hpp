#pragma once
// The process-wide thread pool behind dispatch queues and the system clock's timers.

#include <chrono>
#include <functional>

namespace boost::asio {
class thread_pool;
}

namespace tarnix::base::detail {

/// The pool; never destroyed (blocks may still be queued while statics are torn down at exit).
boost::asio::thread_pool& sharedPool();
/// Runs `block` on a thread of the pool once `delay` has passed.
void runOnPoolAfter(std::chrono::steady_clock::duration delay, std::function<void()> block);

}  // namespace tarnix::base::detail
