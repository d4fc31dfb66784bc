#pragma once
// Chains of asynchronous steps.
//
// A chain is built first, as a value, from a starting step (AsyncSteps::begin(), wrap, wrap2,
// resolved, block) and operators (map, then, catchError, forEach, ...); nothing runs until it is
// executed with an input and a completion handler, which receives exactly one
// std::expected<Output, Failure>. Types are checked when the chain is built: a block whose input,
// output or failure type does not fit its place does not compile.
//
// Blocks receive a Completion. Calling it more than once has no effect after the first call, so
// the chain's handler runs at most once; a block that never calls it leaves the chain waiting
// (Future::result(timeout) gives up after a while).
//
// Threads: a step holds no locks. Results are handed on on the thread that produced them, except
// for on(queue), on(queue, after), all2 and forEach, which deliver on the queue they are given.
// Steps are reference-counted (std::shared_ptr); an executing chain keeps itself alive until its
// handler has run. Outputs and failures must be copyable.
//
// Example:
//   auto step = AsyncSteps::begin()
//                   ->then([](Nothing, Completion<int, SyncError> done) { done(42); })
//                   ->map([](int n) { return std::to_string(n); })
//                   ->on(queue);
//   step->execute([](std::expected<std::string, SyncError> result) { ... });

#include <any>
#include <atomic>
#include <chrono>
#include <concepts>
#include <exception>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ranges>
#include <string>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

#include "base/DispatchQueue.hpp"

namespace tarnix::base::AsyncSteps {

/// The input of a chain that needs none, and the output of a step that yields nothing.
struct Nothing {
  bool operator==(const Nothing&) const = default;
};

/// The failure type of a step that cannot fail. No value of it exists.
struct Never {
  Never() = delete;
  bool operator==(const Never&) const = default;
};

namespace detail {
template <class T>
inline constexpr bool kIsResultType = false;
template <class T, class E>
inline constexpr bool kIsResultType<std::expected<T, E>> = true;
template <class E>
inline constexpr bool kIsResultType<std::unexpected<E>> = true;
}  // namespace detail

/// Any error: the failure of the throwing operators (tryMap, thenTry, tryCatch) and of wrap.
/// Holds an error value of any copyable type, or a caught exception.
class AnyError {
 public:
  template <class E>
  requires(!std::same_as<std::decay_t<E>, AnyError> &&
           !std::same_as<std::decay_t<E>, std::exception_ptr> &&
           !detail::kIsResultType<std::decay_t<E>> && std::copy_constructible<E>) AnyError(E error)
      : value_(std::move(error)), description_(describe(std::any_cast<const E&>(value_))) {}

  explicit AnyError(std::exception_ptr exception) : value_(exception) {
    try {
      if (exception) std::rethrow_exception(exception);
    } catch (const std::exception& e) {
      description_ = e.what();
    } catch (...) {
      description_ = "unknown exception";
    }
  }
  /// The exception being handled (call inside a catch block).
  static AnyError currentException() { return AnyError(std::current_exception()); }

  /// The error as an E: the value when one of type E was stored, or the caught exception when
  /// it is an E; else nullptr.
  template <class E>
  const E* as() const {
    if (auto* value = std::any_cast<E>(&value_)) return value;
    if constexpr (std::is_class_v<E>) {
      if (auto* exception = std::any_cast<std::exception_ptr>(&value_); exception && *exception) {
        try {
          std::rethrow_exception(*exception);
        } catch (const E& e) {
          return &e;  // the exception object lives as long as the stored exception_ptr
        } catch (...) {
        }
      }
    }
    return nullptr;
  }
  const std::type_info& type() const { return value_.type(); }
  const std::string& description() const { return description_; }

 private:
  template <class E>
  static std::string describe(const E& error) {
    if constexpr (requires {
                    { error.description() } -> std::convertible_to<std::string>;
                  }) {
      return error.description();
    } else if constexpr (std::derived_from<E, std::exception>) {
      return error.what();
    } else if constexpr (std::convertible_to<const E&, std::string>) {
      return std::string(error);
    } else if constexpr (std::is_enum_v<E>) {
      return std::string(typeid(E).name()) + "(" + std::to_string(static_cast<long long>(error)) +
             ")";
    } else {
      return typeid(E).name();
    }
  }

  std::any value_;
  std::string description_;
};

/// The error of Future::result(timeout) when the deadline passed first.
struct FutureTimeout {
  bool operator==(const FutureTimeout&) const = default;
  std::string description() const { return "The step did not complete in time."; }
};

/// The completion a block calls with its result. Copies share one state: the first call wins
/// and later calls do nothing. Callable from any thread.
template <class Output, class Failure>
class Completion {
 public:
  using Result = std::expected<Output, Failure>;

  explicit Completion(std::function<void(Result)> handler)
      : state_(std::make_shared<State>(std::move(handler))) {}

  void operator()(Result result) const {
    if (state_->completed.exchange(true)) return;
    auto handler = std::move(state_->handler);
    state_->handler = nullptr;
    if (handler) handler(std::move(result));
  }
  void operator()() const requires std::same_as<Output, Nothing> { (*this)(Result(Nothing{})); }
  void succeed(Output output) const { (*this)(Result(std::move(output))); }
  void fail(Failure failure) const { (*this)(Result(std::unexpect, std::move(failure))); }
  bool isCompleted() const { return state_->completed.load(); }

 private:
  struct State {
    explicit State(std::function<void(Result)> h) : handler(std::move(h)) {}
    std::atomic<bool> completed{false};
    std::function<void(Result)> handler;
  };
  std::shared_ptr<State> state_;
};

enum class PartialFailurePolicy { fail, ignore };

template <class In, class Out, class Fail>
class AsyncStep;
template <class Out, class Fail>
class Future;
template <class In, class Out, class Fail>
class OnQueue;
template <class In, class Out, class Fail>
class OnQueueAfter;
template <class In, class Out, class Fail, class NewOut>
class Map;
template <class In, class Out, class Fail, class NewOut>
class TryMap;
template <class In, class Out, class Fail, class NewFail>
class MapError;
template <class In, class Out, class Fail, class NewOut>
class Then;
template <class In, class Out, class Fail, class NewOut>
class ThenTry;
template <class In, class Out, class Fail, class Out2>
class Zip2;
template <class In, class Out, class Fail, class Out1, class Out2>
class All2;
template <class In, class Out, class Fail, class NewFail>
class Catch;
template <class In, class Out, class Fail>
class CatchMap;
template <class In, class Out, class Fail>
class TryCatch;
template <class In, class Out, class Fail>
class Finally;
template <class In, class Out, class Fail>
class OnSuccess;
template <class In, class Out, class Fail>
class OnFailure;
template <class In, class Out, class NewFail>
class SetFailureType;
template <class In, class Out, class Fail, class ElementOut>
class ForEach;

namespace detail {

/// Marks a type parameter to be read from the block's Completion parameter.
struct Deduce {};

template <class T>
struct IsExpected : std::false_type {};
template <class T, class E>
struct IsExpected<std::expected<T, E>> : std::true_type {
  using Value = T;
  using Error = E;
};

template <class T>
struct CompletionTraits {};
template <class O, class E>
struct CompletionTraits<Completion<O, E>> {
  using Output = O;
  using Failure = E;
};

template <class... A>
struct ArgList {
  using First = std::decay_t<std::tuple_element_t<0, std::tuple<A...>>>;
  using Last = std::decay_t<std::tuple_element_t<sizeof...(A) - 1, std::tuple<A...>>>;
};
template <>
struct ArgList<> {};

template <class M>
struct MemberArgs {};
template <class C, class R, class... A>
struct MemberArgs<R (C::*)(A...)> : ArgList<A...> {};
template <class C, class R, class... A>
struct MemberArgs<R (C::*)(A...) const> : ArgList<A...> {};
template <class C, class R, class... A>
struct MemberArgs<R (C::*)(A...) noexcept> : ArgList<A...> {};
template <class C, class R, class... A>
struct MemberArgs<R (C::*)(A...) const noexcept> : ArgList<A...> {};

/// The parameter types of a callable with one call operator (not a generic lambda).
template <class F, class = void>
struct CallableArgs {};
template <class F>
struct CallableArgs<F, std::void_t<decltype(&F::operator())>>
    : MemberArgs<decltype(&F::operator())> {};
template <class R, class... A>
struct CallableArgs<R (*)(A...), void> : ArgList<A...> {};

template <class F, class = void>
struct CompletionOf {};
template <class F>
struct CompletionOf<F, std::void_t<typename CallableArgs<std::decay_t<F>>::Last>>
    : CompletionTraits<typename CallableArgs<std::decay_t<F>>::Last> {};

template <class Explicit, class F>
struct ResolveOutput {
  using Output = Explicit;
};
template <class F>
struct ResolveOutput<Deduce, F> : CompletionOf<F> {};
template <class Explicit, class F>
struct ResolveFailure {
  using Failure = Explicit;
};
template <class F>
struct ResolveFailure<Deduce, F> : CompletionOf<F> {};
template <class Explicit, class F, class = void>
struct ResolveInput {
  using Input = Explicit;
};
template <class F>
struct ResolveInput<Deduce, F, std::void_t<typename CallableArgs<std::decay_t<F>>::First>> {
  using Input = typename CallableArgs<std::decay_t<F>>::First;
};

template <class Explicit, class F>
using OutputOf = typename ResolveOutput<Explicit, F>::Output;
template <class Explicit, class F>
using FailureOf = typename ResolveFailure<Explicit, F>::Failure;

/// The value of calling f(args...), with Nothing standing for void.
template <class F, class... A>
using ValueOf = std::conditional_t<std::is_void_v<std::invoke_result_t<F, A...>>, Nothing,
                                   std::invoke_result_t<F, A...>>;
template <class F, class... A>
ValueOf<F, A...> invokeValue(F& f, A&&... args) {
  if constexpr (std::is_void_v<std::invoke_result_t<F, A...>>) {
    std::invoke(f, std::forward<A>(args)...);
    return Nothing{};
  } else {
    return std::invoke(f, std::forward<A>(args)...);
  }
}

/// What tryMap yields: the value of the expected a function returns, or its plain value.
template <class R>
struct TryValue {
  using type = std::conditional_t<std::is_void_v<R>, Nothing, R>;
};
template <class T, class E>
struct TryValue<std::expected<T, E>> {
  using type = T;
};

template <class Out, class Fail, class E>
std::expected<Out, Fail> failure(E&& error) {
  return std::expected<Out, Fail>(std::unexpect, std::forward<E>(error));
}

/// A non-owning shared_ptr for a queue its owner keeps alive.
inline std::shared_ptr<DispatchQueue> unowned(DispatchQueue& queue) {
  return std::shared_ptr<DispatchQueue>(std::shared_ptr<void>(), &queue);
}

template <class F, class Value, class Out, class Fail>
concept StepBlock = std::invocable<F&, Value, Completion<Out, Fail>>;

}  // namespace detail

/// A step: takes an In, completes once with an Out or a Fail.
template <class In, class Out, class Fail>
class AsyncStep : public std::enable_shared_from_this<AsyncStep<In, Out, Fail>> {
 public:
  using Input = In;
  using Output = Out;
  using Failure = Fail;
  using Result = std::expected<Out, Fail>;
  using CompletionHandler = std::function<void(Result)>;
  using Pointer = std::shared_ptr<AsyncStep>;

  virtual ~AsyncStep() = default;

  /// Runs the chain with `input`; `handler` receives its one result.
  void execute(In input, CompletionHandler handler) { run(std::move(input), std::move(handler)); }
  void execute(CompletionHandler handler) requires std::same_as<In, Nothing> {
    run(Nothing{}, std::move(handler));
  }

  /// Delivers the result asynchronously on `queue`.
  auto on(std::shared_ptr<DispatchQueue> queue) {
    return std::make_shared<OnQueue<In, Out, Fail>>(self(), std::move(queue));
  }
  auto on(DispatchQueue& queue) { return on(detail::unowned(queue)); }
  /// Delivers the result on `queue` `delay` after the upstream completed.
  template <class Rep, class Period>
  auto on(std::shared_ptr<DispatchQueue> queue, std::chrono::duration<Rep, Period> delay) {
    return std::make_shared<OnQueueAfter<In, Out, Fail>>(
        self(), std::move(queue), std::chrono::ceil<DispatchQueue::Clock::duration>(delay));
  }
  template <class Rep, class Period>
  auto on(DispatchQueue& queue, std::chrono::duration<Rep, Period> delay) {
    return on(detail::unowned(queue), delay);
  }

  /// Transforms a success; failures pass.
  template <class F>
  requires std::invocable<F&, Out>
  auto map(F mapFunction) {
    using NewOut = detail::ValueOf<F&, Out>;
    return std::make_shared<Map<In, Out, Fail, NewOut>>(self(), std::move(mapFunction));
  }

  /// As map; the function may throw or return a std::expected, whose error becomes the failure.
  template <class F>
  requires std::invocable<F&, Out>
  auto tryMap(F mapFunction) {
    using NewOut = typename detail::TryValue<std::invoke_result_t<F&, Out>>::type;
    return std::make_shared<TryMap<In, Out, Fail, NewOut>>(self(), std::move(mapFunction));
  }

  /// Transforms a failure; successes pass.
  template <class F>
  requires std::invocable<F&, Fail> &&
      (!std::is_void_v<std::invoke_result_t<F&, Fail>>)auto mapError(F mapFunction) {
    using NewFail = std::invoke_result_t<F&, Fail>;
    return std::make_shared<MapError<In, Out, Fail, NewFail>>(self(), std::move(mapFunction));
  }

  /// On success runs block(output, completion); its result is the chain's. Failures pass
  /// without running the block. The block fails with this step's failure type.
  template <class NewOut = detail::Deduce, class F>
  requires detail::StepBlock<F, Out, detail::OutputOf<NewOut, F>, Fail>
  auto then(F block) {
    using O = detail::OutputOf<NewOut, F>;
    return std::make_shared<Then<In, Out, Fail, O>>(self(), std::move(block));
  }

  /// As then; the block fails with AnyError and may throw.
  template <class NewOut = detail::Deduce, class F>
  requires detail::StepBlock<F, Out, detail::OutputOf<NewOut, F>, AnyError>
  auto thenTry(F block) {
    using O = detail::OutputOf<NewOut, F>;
    return std::make_shared<ThenTry<In, Out, Fail, O>>(self(), std::move(block));
  }

  /// On success runs block(output, completion) and yields (output, block output).
  template <class Out2 = detail::Deduce, class F>
  requires detail::StepBlock<F, Out, detail::OutputOf<Out2, F>, Fail>
  auto zip(F block) {
    using O = detail::OutputOf<Out2, F>;
    return std::make_shared<Zip2<In, Out, Fail, O>>(self(), std::move(block));
  }

  /// On success starts both blocks with the output at once and, when both have completed,
  /// yields the pair on `queue`. A failure of either fails the step (the first block's
  /// failure when both fail).
  template <class Out1 = detail::Deduce, class Out2 = detail::Deduce, class F1, class F2>
  requires detail::StepBlock<F1, Out, detail::OutputOf<Out1, F1>, Fail> &&
      detail::StepBlock<F2, Out, detail::OutputOf<Out2, F2>, Fail>
  auto all2(std::shared_ptr<DispatchQueue> queue, F1 block1, F2 block2) {
    using O1 = detail::OutputOf<Out1, F1>;
    using O2 = detail::OutputOf<Out2, F2>;
    return std::make_shared<All2<In, Out, Fail, O1, O2>>(self(), std::move(queue),
                                                         std::move(block1), std::move(block2));
  }
  template <class Out1 = detail::Deduce, class Out2 = detail::Deduce, class F1, class F2>
  requires detail::StepBlock<F1, Out, detail::OutputOf<Out1, F1>, Fail> &&
      detail::StepBlock<F2, Out, detail::OutputOf<Out2, F2>, Fail>
  auto all2(DispatchQueue& queue, F1 block1, F2 block2) {
    return all2<Out1, Out2>(detail::unowned(queue), std::move(block1), std::move(block2));
  }

  /// On failure runs block(failure, completion), whose result replaces the failure (possibly
  /// with another failure type). Successes pass.
  template <class NewFail = detail::Deduce, class F>
  requires detail::StepBlock<F, Fail, Out, detail::FailureOf<NewFail, F>>
  auto catchError(F block) {
    using E = detail::FailureOf<NewFail, F>;
    return std::make_shared<Catch<In, Out, Fail, E>>(self(), std::move(block));
  }

  /// On failure turns the failure into an output; the step no longer fails.
  template <class F>
  requires std::invocable<F&, Fail> && std::convertible_to<std::invoke_result_t<F&, Fail>, Out>
  auto catchMap(F block) {
    return std::make_shared<CatchMap<In, Out, Fail>>(self(), std::move(block));
  }

  /// As catchError with an AnyError completion; the block may throw.
  template <class F>
  requires detail::StepBlock<F, Fail, Out, AnyError>
  auto tryCatch(F block) {
    return std::make_shared<TryCatch<In, Out, Fail>>(self(), std::move(block));
  }

  /// Runs block() after the upstream completed, whatever the result, then passes the result.
  template <class F>
  requires std::invocable<F&>
  auto finally(F block) {
    return std::make_shared<Finally<In, Out, Fail>>(self(), std::move(block));
  }

  /// Runs block(output) on success, then passes the result.
  template <class F>
  requires std::invocable<F&, const Out&>
  auto onSuccess(F block) {
    return std::make_shared<OnSuccess<In, Out, Fail>>(self(), std::move(block));
  }

  /// Runs block(failure) on failure, then passes the result.
  template <class F>
  requires std::invocable<F&, const Fail&>
  auto onFailure(F block) {
    return std::make_shared<OnFailure<In, Out, Fail>>(self(), std::move(block));
  }

  /// Widens a step that never fails to the failure type NewFail.
  template <class NewFail>
  requires std::same_as<Fail, Never>
  auto setFailureType() { return std::make_shared<SetFailureType<In, Out, NewFail>>(self()); }

  /// Runs block(element, completion) for every element of the output sequence, each started
  /// on `queue`, and yields the outputs in element order. With `fail` the first failed
  /// element (in element order) fails the step; with `ignore` failed elements are left out.
  template <class ElementOut = detail::Deduce, class F>
  requires std::ranges::input_range<Out> &&
      detail::StepBlock<F, std::ranges::range_value_t<Out>, detail::OutputOf<ElementOut, F>, Fail>
  auto forEach(std::shared_ptr<DispatchQueue> queue, PartialFailurePolicy onPartialFailure,
               F block) {
    using O = detail::OutputOf<ElementOut, F>;
    return std::make_shared<ForEach<In, Out, Fail, O>>(self(), std::move(queue), onPartialFailure,
                                                       std::move(block));
  }
  template <class ElementOut = detail::Deduce, class F>
  requires std::ranges::input_range<Out> &&
      detail::StepBlock<F, std::ranges::range_value_t<Out>, detail::OutputOf<ElementOut, F>, Fail>
  auto forEach(DispatchQueue& queue, PartialFailurePolicy onPartialFailure, F block) {
    return forEach<ElementOut>(detail::unowned(queue), onPartialFailure, std::move(block));
  }

  /// Starts the chain now; the future gives its result.
  Future<Out, Fail> future(In input) { return Future<Out, Fail>(self(), std::move(input)); }
  Future<Out, Fail> future() requires std::same_as<In, Nothing> { return future(Nothing{}); }

 protected:
  /// Executes the step: calls `handler` once with the result.
  virtual void run(In input, CompletionHandler handler) = 0;

  std::shared_ptr<AsyncStep> self() { return this->shared_from_this(); }
};

/// The waiting side of a started chain. Copies share the result. `result()` may be called from
/// any thread but the one the chain needs to complete (it would wait forever).
template <class Out, class Fail>
class Future {
 public:
  using Result = std::expected<Out, Fail>;
  using TimedResult = std::expected<Out, std::variant<FutureTimeout, Fail>>;

  template <class In>
  Future(std::shared_ptr<AsyncStep<In, Out, Fail>> upstream, In input)
      : state_(std::make_shared<State>()) {
    state_->waiter.enter();
    upstream->execute(std::move(input), [state = state_](Result result) {
      {
        std::lock_guard lock(state->mutex);
        if (state->value) return;
        state->value = std::move(result);
      }
      state->waiter.leave();
    });
  }

  /// Waits for the result.
  Result result() const {
    state_->waiter.wait();
    std::lock_guard lock(state_->mutex);
    return *state_->value;
  }

  /// Waits at most `timeout`; fails with FutureTimeout when the result is not known by then.
  TimedResult result(DispatchQueue::Clock::duration timeout) const {
    if (!state_->waiter.waitFor(timeout)) {
      return TimedResult(std::unexpect, FutureTimeout{});
    }
    std::lock_guard lock(state_->mutex);
    const Result& value = *state_->value;
    if (value) return TimedResult(*value);
    return TimedResult(std::unexpect, std::in_place_index<1>, value.error());
  }

  bool isReady() const {
    std::lock_guard lock(state_->mutex);
    return state_->value.has_value();
  }

 private:
  struct State {
    DispatchGroup waiter;
    std::mutex mutex;
    std::optional<Result> value;
  };
  std::shared_ptr<State> state_;
};

// ---- Starting steps ----------------------------------------------------------------------------

/// Input nothing, output nothing, never fails: the usual head of a chain.
class Begin final : public AsyncStep<Nothing, Nothing, Never> {
 protected:
  void run(Nothing, CompletionHandler handler) override { handler(Nothing{}); }
};

/// Runs a block that takes a completion.
template <class Out, class Fail>
class Wrap final : public AsyncStep<Nothing, Out, Fail> {
 public:
  using Block = std::function<void(Completion<Out, Fail>)>;
  explicit Wrap(Block block) : block_(std::move(block)) {}

 protected:
  void run(Nothing, typename Wrap::CompletionHandler handler) override {
    block_(Completion<Out, Fail>(std::move(handler)));
  }

 private:
  Block block_;
};

/// Completes at once with a value.
template <class Out, class Fail>
class Resolved final : public AsyncStep<Nothing, Out, Fail> {
 public:
  explicit Resolved(Out value) : value_(std::move(value)) {}

 protected:
  void run(Nothing, typename Resolved::CompletionHandler handler) override { handler(value_); }

 private:
  Out value_;
};

/// Runs a block with the input and a completion.
template <class In, class Out, class Fail>
class Block final : public AsyncStep<In, Out, Fail> {
 public:
  using Function = std::function<void(In, Completion<Out, Fail>)>;
  explicit Block(Function block) : block_(std::move(block)) {}

 protected:
  void run(In input, typename Block::CompletionHandler handler) override {
    block_(std::move(input), Completion<Out, Fail>(std::move(handler)));
  }

 private:
  Function block_;
};

inline std::shared_ptr<Begin> begin() {
  return std::make_shared<Begin>();
}

/// A step from a block that completes with any error: block(Completion<Out, AnyError>).
template <class Out = detail::Deduce, class F>
requires std::invocable<F&, Completion<detail::OutputOf<Out, F>, AnyError>>
auto wrap(F block) {
  return std::make_shared<Wrap<detail::OutputOf<Out, F>, AnyError>>(std::move(block));
}

/// A step from a block that completes with a given error type: block(Completion<Out, Fail>).
template <class Out = detail::Deduce, class Fail = detail::Deduce, class F>
requires std::invocable<F&, Completion<detail::OutputOf<Out, F>, detail::FailureOf<Fail, F>>>
auto wrap2(F block) {
  return std::make_shared<Wrap<detail::OutputOf<Out, F>, detail::FailureOf<Fail, F>>>(
      std::move(block));
}

/// A step that completes at once with `value`.
template <class Fail = Never, class Out>
auto resolved(Out value) {
  return std::make_shared<Resolved<Out, Fail>>(std::move(value));
}

/// A step from block(input, completion).
template <class In = detail::Deduce, class Out = detail::Deduce, class Fail = detail::Deduce,
          class F>
requires detail::StepBlock<F, typename detail::ResolveInput<In, F>::Input, detail::OutputOf<Out, F>,
                           detail::FailureOf<Fail, F>>
auto block(F function) {
  return std::make_shared<Block<typename detail::ResolveInput<In, F>::Input,
                                detail::OutputOf<Out, F>, detail::FailureOf<Fail, F>>>(
      std::move(function));
}

/// forEach over a given sequence.
template <class ElementOut = detail::Deduce, class Sequence, class F>
requires std::ranges::input_range<Sequence>
auto forEach(Sequence sequence, std::shared_ptr<DispatchQueue> serialQueue,
             PartialFailurePolicy onPartialFailure, F block) {
  using Fail = typename detail::CompletionOf<F>::Failure;
  return resolved<Fail>(std::move(sequence))
      ->template forEach<ElementOut>(std::move(serialQueue), onPartialFailure, std::move(block));
}

}  // namespace tarnix::base::AsyncSteps

#include "base/detail/AsyncStepsOperators.hpp"  // IWYU pragma: export

namespace tarnix::base {
using AsyncSteps::AsyncStep;
}  // namespace tarnix::base
