#include "base/AsyncSteps.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace tarnix::base;
using namespace tarnix::base::AsyncSteps;
using namespace std::chrono_literals;

namespace {

enum class TestError { first, second, third };
struct OtherError {
  int code = 0;
  bool operator==(const OtherError&) const = default;
};

using IntStep = std::shared_ptr<AsyncStep<Nothing, int, TestError>>;
using NeverStep = std::shared_ptr<AsyncStep<Nothing, int, Never>>;

IntStep succeeding(int value) {
  return wrap2([value](Completion<int, TestError> done) { done(value); });
}
IntStep failing(TestError error) {
  return wrap2([error](Completion<int, TestError> done) { done.fail(error); });
}

template <class Step>
auto await(const Step& step) {
  return step->future().result();
}

// Chains of the wrong types do not compile.
template <class S, class F>
concept CanThen = requires(S s, F f) {
  s->then(f);
};
template <class S, class F>
concept CanCatch = requires(S s, F f) {
  s->catchError(f);
};
template <class S, class F>
concept CanCatchMap = requires(S s, F f) {
  s->catchMap(f);
};
template <class S>
concept CanWidenFailure = requires(S s) {
  s->template setFailureType<TestError>();
};
template <class S, class F>
concept CanForEach = requires(S s, F f, std::shared_ptr<DispatchQueue> q) {
  s->forEach(q, PartialFailurePolicy::fail, f);
};

auto goodThen = [](int, Completion<std::string, TestError>) {};
auto wrongInput = [](std::string, Completion<std::string, TestError>) {};
auto wrongFailure = [](int, Completion<std::string, OtherError>) {};
auto notABlock = [](int) {};
static_assert(CanThen<IntStep, decltype(goodThen)>);
static_assert(!CanThen<IntStep, decltype(wrongInput)>);
static_assert(!CanThen<IntStep, decltype(wrongFailure)>);
static_assert(!CanThen<IntStep, decltype(notABlock)>);
auto recover = [](TestError, Completion<int, OtherError>) {};
auto recoverWrongOutput = [](TestError, Completion<std::string, OtherError>) {};
static_assert(CanCatch<IntStep, decltype(recover)>);
static_assert(!CanCatch<IntStep, decltype(recoverWrongOutput)>);
static_assert(!CanCatchMap<IntStep, std::string (*)(TestError)>);
static_assert(CanWidenFailure<NeverStep>);
static_assert(!CanWidenFailure<IntStep>);
auto perElement = [](int, Completion<int, TestError>) {};
static_assert(!CanForEach<IntStep, decltype(perElement)>);  // an int is not a sequence
static_assert(CanForEach<std::shared_ptr<AsyncStep<Nothing, std::vector<int>, TestError>>,
                         decltype(perElement)>);

}  // namespace

TEST(AsyncSteps, AChainRunsInOrderAndDeliversOnItsQueue) {
  auto queue = DispatchQueue::make("com.tarnix.AsyncStepsTest");
  std::vector<std::string> order;
  std::atomic<bool> onQueue{false};
  auto step = begin()
                  ->setFailureType<TestError>()
                  ->then([&](Nothing, Completion<int, TestError> done) {
                    order.push_back("then");
                    done(20);
                  })
                  ->map([&](int n) {
                    order.push_back("map");
                    return n + 1;
                  })
                  ->zip<std::string>([&](auto n, auto done) {  // types given, not deduced
                    order.push_back("zip");
                    done(std::to_string(n * 2));
                  })
                  ->on(queue)
                  ->onSuccess([&](const auto&) { onQueue = queue->isCurrent(); });
  EXPECT_TRUE(order.empty());  // nothing runs before execute
  auto result = await(step);
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, (std::pair<int, std::string>(21, "42")));
  EXPECT_EQ(order, (std::vector<std::string>{"then", "map", "zip"}));
  EXPECT_TRUE(onQueue);
}

TEST(AsyncSteps, OperatorsOnSuccessAndOnFailure) {
  struct Case {
    const char* name;
    IntStep step;
    std::expected<int, TestError> expected;
  };
  std::atomic<int> ran{0};
  auto countingThen = [&](int n, Completion<int, TestError> done) {
    ++ran;
    done(n * 10);
  };
  Case cases[] = {
      {"then on success", succeeding(2)->then(countingThen), 20},
      {"then after failure", failing(TestError::first)->then(countingThen),
       std::unexpected(TestError::first)},
      {"map passes failures", failing(TestError::second)->map([](int n) { return n + 1; }),
       std::unexpected(TestError::second)},
      {"mapError", failing(TestError::first)->mapError([](TestError) { return TestError::third; }),
       std::unexpected(TestError::third)},
      {"mapError passes successes",
       succeeding(3)->mapError([](TestError) { return TestError::third; }), 3},
      {"catch recovers",
       failing(TestError::first)->catchError([](TestError, Completion<int, TestError> done) {
         done(7);
       }),
       7},
      {"catch fails again",
       failing(TestError::first)->catchError([](TestError, Completion<int, TestError> done) {
         done.fail(TestError::second);
       }),
       std::unexpected(TestError::second)},
      {"catchMap",
       failing(TestError::first)
           ->catchMap([](TestError e) { return static_cast<int>(e) + 100; })
           ->setFailureType<TestError>(),
       100},
      {"zip fails on the block's failure",
       succeeding(1)
           ->zip([](int, Completion<int, TestError> done) { done.fail(TestError::third); })
           ->map([](std::pair<int, int> p) { return p.first; }),
       std::unexpected(TestError::third)},
      {"block with input", resolved<TestError>(5)->then([](int n, Completion<int, TestError> done) {
         block([](int x, Completion<int, TestError> inner) { inner(x + 1); })->execute(n, done);
       }),
       6},
  };
  for (auto& c : cases) {
    EXPECT_EQ(await(c.step), c.expected) << c.name;
  }
  EXPECT_EQ(ran.load(), 1);  // only the successful upstream ran the block
}

TEST(AsyncSteps, FinallyAlwaysRunsAndObserversSeeTheirCase) {
  for (bool fails : {false, true}) {
    int finallyRuns = 0, successes = 0, failures = 0;
    auto step = (fails ? failing(TestError::first) : succeeding(1))
                    ->finally([&] { ++finallyRuns; })
                    ->onSuccess([&](int) { ++successes; })
                    ->onFailure([&](TestError) { ++failures; });
    EXPECT_EQ(await(step).has_value(), !fails);
    EXPECT_EQ(finallyRuns, 1);
    EXPECT_EQ(successes, fails ? 0 : 1);
    EXPECT_EQ(failures, fails ? 1 : 0);
  }
}

TEST(AsyncSteps, ThrowingVariantsTurnErrorsIntoAnyError) {
  auto thrown = succeeding(1)->tryMap([](int) -> int { throw std::runtime_error("bad input"); });
  auto result = await(thrown);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().description(), "bad input");
  ASSERT_TRUE(result.error().as<std::runtime_error>());

  auto returned = succeeding(1)->tryMap(
      [](int) -> std::expected<std::string, OtherError> { return std::unexpected(OtherError{3}); });
  auto r2 = await(returned);
  ASSERT_FALSE(r2);
  ASSERT_TRUE(r2.error().as<OtherError>());
  EXPECT_EQ(r2.error().as<OtherError>()->code, 3);

  auto upstreamFailure = await(failing(TestError::second)->tryMap([](int n) { return n; }));
  ASSERT_FALSE(upstreamFailure);
  EXPECT_EQ(*upstreamFailure.error().as<TestError>(), TestError::second);

  auto thenThrows = await(succeeding(1)->thenTry(
      [](int, Completion<int, AnyError>) { throw std::logic_error("broken"); }));
  ASSERT_FALSE(thenThrows);
  EXPECT_EQ(thenThrows.error().description(), "broken");

  auto recovered =
      await(failing(TestError::first)->tryCatch([](TestError, Completion<int, AnyError> done) {
        done(9);
      }));
  EXPECT_EQ(recovered, 9);
  auto catchThrows =
      await(failing(TestError::first)->tryCatch([](TestError, Completion<int, AnyError>) {
        throw std::runtime_error("again");
      }));
  ASSERT_FALSE(catchThrows);
  EXPECT_EQ(catchThrows.error().description(), "again");

  auto wrapped = await(wrap([](Completion<int, AnyError> done) { done.fail(OtherError{4}); }));
  ASSERT_FALSE(wrapped);
  EXPECT_EQ(wrapped.error().as<OtherError>()->code, 4);
}

TEST(AsyncSteps, AHandlerRunsOnceEvenWhenABlockCompletesTwice) {
  auto queue = DispatchQueue::make("com.tarnix.AsyncStepsTest");
  auto twice = [](int n, Completion<int, TestError> done) {
    done(n);
    done(n + 1);
    done.fail(TestError::first);
  };
  std::vector<IntStep> steps = {
      succeeding(1)->then(twice),
      wrap2([](Completion<int, TestError> done) {
        done(1);
        std::thread([done] { done(2); }).join();
      }),
      succeeding(1)->all2(queue, twice, twice)->map([](std::pair<int, int> p) {
        return p.first + p.second;
      }),
      resolved<TestError>(std::vector<int>{1, 2})
          ->forEach(queue, PartialFailurePolicy::fail, twice)
          ->map([](std::vector<int> v) { return static_cast<int>(v.size()); }),
  };
  for (auto& step : steps) {
    std::atomic<int> calls{0};
    DispatchGroup finished;
    finished.enter();
    step->execute([&](std::expected<int, TestError>) {
      ++calls;
      finished.leave();
    });
    finished.wait();
    queue->drain();
    EXPECT_EQ(calls.load(), 1);
  }
}

TEST(AsyncSteps, FutureTimesOutWhenABlockNeverCompletes) {
  std::shared_ptr<void> keep;
  auto never = wrap2([&keep](Completion<int, TestError> done) {
    keep = std::make_shared<Completion<int, TestError>>(done);  // held, never called
  });
  auto future = never->future();
  auto result = future.result(50ms);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().index(), 0u);  // FutureTimeout
  EXPECT_FALSE(future.isReady());

  auto failed = failing(TestError::third)->future().result(5s);
  ASSERT_FALSE(failed);
  EXPECT_EQ(std::get<TestError>(failed.error()), TestError::third);
  EXPECT_EQ(succeeding(4)->future().result(5s), 4);
}

TEST(AsyncSteps, ForEachKeepsElementOrderAndAppliesItsPolicy) {
  auto queue = DispatchQueue::make("com.tarnix.AsyncStepsTest");
  auto worker = DispatchQueue::make("com.tarnix.AsyncStepsWorker");
  std::atomic<bool> startedOnQueue{true};
  // Element n completes after (5 - n) ms from another queue, so later elements finish first;
  // negative elements fail with their own error.
  auto body = [&](int n, Completion<std::string, OtherError> done) {
    if (!queue->isCurrent()) startedOnQueue = false;
    worker->asyncAfter(std::chrono::milliseconds(5 - std::abs(n)), [n, done] {
      if (n < 0) return done.fail(OtherError{n});
      done("e" + std::to_string(n));
    });
  };
  struct Case {
    std::vector<int> elements;
    PartialFailurePolicy policy;
    std::expected<std::vector<std::string>, OtherError> expected;
  } cases[] = {
      {{}, PartialFailurePolicy::fail, std::vector<std::string>{}},
      {{1, 2, 3, 4}, PartialFailurePolicy::fail, std::vector<std::string>{"e1", "e2", "e3", "e4"}},
      {{1, -2, 3}, PartialFailurePolicy::ignore, std::vector<std::string>{"e1", "e3"}},
      {{1, -2, 3, -4}, PartialFailurePolicy::fail, std::unexpected(OtherError{-2})},
      {{-1, -2}, PartialFailurePolicy::ignore, std::vector<std::string>{}},
  };
  for (const auto& c : cases) {
    auto step = forEach(c.elements, queue, c.policy, body);
    EXPECT_EQ(step->future().result(), c.expected);
  }
  EXPECT_TRUE(startedOnQueue);
}

TEST(AsyncSteps, All2RunsBothBlocksAtOnceAndDeliversThePairOnItsQueue) {
  auto queue = DispatchQueue::make("com.tarnix.AsyncStepsTest");
  // The first block completes only after the second has started: they run at the same time.
  auto secondStarted = std::make_shared<std::atomic<bool>>(false);
  std::vector<std::thread> threads;
  auto first = [secondStarted, &threads](int n, Completion<int, TestError> done) {
    threads.emplace_back([secondStarted, n, done] {
      while (!*secondStarted) std::this_thread::yield();
      done(n + 1);
    });
  };
  auto second = [secondStarted](int n, Completion<std::string, TestError> done) {
    *secondStarted = true;
    done(std::to_string(n));
  };
  std::atomic<bool> deliveredOnQueue{false};
  auto step = succeeding(1)->all2(queue, first, second)->onSuccess([&](const auto&) {
    deliveredOnQueue = queue->isCurrent();
  });
  EXPECT_EQ(await(step), (std::pair<int, std::string>(2, "1")));
  EXPECT_TRUE(deliveredOnQueue);
  for (auto& t : threads) t.join();

  auto failingSecond = [](int, Completion<std::string, TestError> done) {
    done.fail(TestError::second);
  };
  auto failed = await(succeeding(1)->all2(queue, second, failingSecond));
  EXPECT_EQ(failed, std::unexpected(TestError::second));
}

TEST(AsyncSteps, OnQueueAfterDeliversNoEarlierThanTheDelay) {
  auto queue = DispatchQueue::make("com.tarnix.AsyncStepsTest");
  auto start = std::chrono::steady_clock::now();
  auto result = await(succeeding(1)->on(queue, 30ms));
  EXPECT_EQ(result, 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}
