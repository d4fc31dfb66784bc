#pragma once
// The operator steps of AsyncSteps.hpp (map, then, catchError, forEach, ...). Include
// "base/AsyncSteps.hpp" rather than this file.

#include "base/AsyncSteps.hpp"

namespace tarnix::base::AsyncSteps {

// ---- Operators ---------------------------------------------------------------------------------

/// Holds the upstream step of an operator.
template <class In, class Out, class Fail, class NewOut, class NewFail>
class Operator : public AsyncStep<In, NewOut, NewFail> {
 public:
  using Upstream = std::shared_ptr<AsyncStep<In, Out, Fail>>;
  using UpstreamResult = std::expected<Out, Fail>;
  explicit Operator(Upstream upstream) : upstream_(std::move(upstream)) {}
  const Upstream& upstream() const { return upstream_; }

 protected:
  Upstream upstream_;
};

template <class In, class Out, class Fail>
class OnQueue final : public Operator<In, Out, Fail, Out, Fail> {
 public:
  OnQueue(typename OnQueue::Upstream upstream, std::shared_ptr<DispatchQueue> queue)
      : OnQueue::Operator(std::move(upstream)), queue_(std::move(queue)) {}

 protected:
  void run(In input, typename OnQueue::CompletionHandler handler) override {
    this->upstream_->execute(std::move(input), [queue = queue_, handler](auto result) {
      queue->async([handler, result = std::move(result)]() mutable { handler(std::move(result)); });
    });
  }

 private:
  std::shared_ptr<DispatchQueue> queue_;
};

template <class In, class Out, class Fail>
class OnQueueAfter final : public Operator<In, Out, Fail, Out, Fail> {
 public:
  OnQueueAfter(typename OnQueueAfter::Upstream upstream, std::shared_ptr<DispatchQueue> queue,
               DispatchQueue::Clock::duration delay)
      : OnQueueAfter::Operator(std::move(upstream)), queue_(std::move(queue)), delay_(delay) {}

 protected:
  void run(In input, typename OnQueueAfter::CompletionHandler handler) override {
    this->upstream_->execute(
        std::move(input), [queue = queue_, delay = delay_, handler](auto result) {
          queue->asyncAfter(delay, [handler, result = std::move(result)]() mutable {
            handler(std::move(result));
          });
        });
  }

 private:
  std::shared_ptr<DispatchQueue> queue_;
  DispatchQueue::Clock::duration delay_;
};

template <class In, class Out, class Fail, class NewOut>
class Map final : public Operator<In, Out, Fail, NewOut, Fail> {
 public:
  template <class F>
  Map(typename Map::Upstream upstream, F mapFunction)
      : Map::Operator(std::move(upstream)),
        mapFunction_([f = std::move(mapFunction)](Out value) mutable {
          return detail::invokeValue(f, std::move(value));
        }) {}

 protected:
  void run(In input, typename Map::CompletionHandler handler) override {
    this->upstream_->execute(std::move(input), [f = mapFunction_, handler](auto result) mutable {
      if (!result) return handler(detail::failure<NewOut, Fail>(std::move(result.error())));
      handler(f(std::move(*result)));
    });
  }

 private:
  std::function<NewOut(Out)> mapFunction_;
};

template <class In, class Out, class Fail, class NewOut>
class TryMap final : public Operator<In, Out, Fail, NewOut, AnyError> {
 public:
  template <class F>
  TryMap(typename TryMap::Upstream upstream, F mapFunction)
      : TryMap::Operator(std::move(upstream)),
        mapFunction_(
            [f = std::move(mapFunction)](Out value) mutable -> std::expected<NewOut, AnyError> {
              try {
                using R = std::invoke_result_t<F&, Out>;
                if constexpr (detail::IsExpected<R>::value) {
                  auto r = std::invoke(f, std::move(value));
                  if (!r) return detail::failure<NewOut, AnyError>(AnyError(std::move(r.error())));
                  if constexpr (std::is_void_v<typename detail::IsExpected<R>::Value>) {
                    return Nothing{};
                  } else {
                    return std::move(*r);
                  }
                } else {
                  return detail::invokeValue(f, std::move(value));
                }
              } catch (...) {
                return detail::failure<NewOut, AnyError>(AnyError::currentException());
              }
            }) {}

 protected:
  void run(In input, typename TryMap::CompletionHandler handler) override {
    this->upstream_->execute(std::move(input), [f = mapFunction_, handler](auto result) mutable {
      if (!result)
        return handler(detail::failure<NewOut, AnyError>(AnyError(std::move(result.error()))));
      handler(f(std::move(*result)));
    });
  }

 private:
  std::function<std::expected<NewOut, AnyError>(Out)> mapFunction_;
};

template <class In, class Out, class Fail, class NewFail>
class MapError final : public Operator<In, Out, Fail, Out, NewFail> {
 public:
  MapError(typename MapError::Upstream upstream, std::function<NewFail(Fail)> mapFunction)
      : MapError::Operator(std::move(upstream)), mapFunction_(std::move(mapFunction)) {}

 protected:
  void run(In input, typename MapError::CompletionHandler handler) override {
    this->upstream_->execute(std::move(input), [f = mapFunction_, handler](auto result) {
      if (result) return handler(std::move(*result));
      handler(detail::failure<Out, NewFail>(f(std::move(result.error()))));
    });
  }

 private:
  std::function<NewFail(Fail)> mapFunction_;
};

template <class In, class Out, class Fail, class NewOut>
class Then final : public Operator<In, Out, Fail, NewOut, Fail> {
 public:
  using Function = std::function<void(Out, Completion<NewOut, Fail>)>;
  Then(typename Then::Upstream upstream, Function block)
      : Then::Operator(std::move(upstream)), block_(std::move(block)) {}

 protected:
  void run(In input, typename Then::CompletionHandler handler) override {
    this->upstream_->execute(std::move(input), [block = block_, handler](auto result) {
      if (!result) return handler(detail::failure<NewOut, Fail>(std::move(result.error())));
      block(std::move(*result), Completion<NewOut, Fail>(handler));
    });
  }

 private:
  Function block_;
};

template <class In, class Out, class Fail, class NewOut>
class ThenTry final : public Operator<In, Out, Fail, NewOut, AnyError> {
 public:
  using Function = std::function<void(Out, Completion<NewOut, AnyError>)>;
  ThenTry(typename ThenTry::Upstream upstream, Function block)
      : ThenTry::Operator(std::move(upstream)), block_(std::move(block)) {}

 protected:
  void run(In input, typename ThenTry::CompletionHandler handler) override {
    this->upstream_->execute(std::move(input), [block = block_, handler](auto result) {
      if (!result) {
        return handler(detail::failure<NewOut, AnyError>(AnyError(std::move(result.error()))));
      }
      Completion<NewOut, AnyError> completion(handler);
      try {
        block(std::move(*result), completion);
      } catch (...) {
        completion.fail(AnyError::currentException());
      }
    });
  }

 private:
  Function block_;
};

template <class In, class Out, class Fail, class Out2>
class Zip2 final : public Operator<In, Out, Fail, std::pair<Out, Out2>, Fail> {
 public:
  using Function = std::function<void(Out, Completion<Out2, Fail>)>;
  Zip2(typename Zip2::Upstream upstream, Function block)
      : Zip2::Operator(std::move(upstream)), block_(std::move(block)) {}

 protected:
  void run(In input, typename Zip2::CompletionHandler handler) override {
    using Pair = std::pair<Out, Out2>;
    this->upstream_->execute(std::move(input), [block = block_, handler](auto result) {
      if (!result) return handler(detail::failure<Pair, Fail>(std::move(result.error())));
      Out first = *result;
      block(std::move(*result), Completion<Out2, Fail>([first = std::move(first),
                                                        handler](std::expected<Out2, Fail> second) {
              if (!second) return handler(detail::failure<Pair, Fail>(std::move(second.error())));
              handler(Pair(first, std::move(*second)));
            }));
    });
  }

 private:
  Function block_;
};

template <class In, class Out, class Fail, class Out1, class Out2>
class All2 final : public Operator<In, Out, Fail, std::pair<Out1, Out2>, Fail> {
 public:
  using Function1 = std::function<void(Out, Completion<Out1, Fail>)>;
  using Function2 = std::function<void(Out, Completion<Out2, Fail>)>;
  All2(typename All2::Upstream upstream, std::shared_ptr<DispatchQueue> queue, Function1 block1,
       Function2 block2)
      : All2::Operator(std::move(upstream)),
        queue_(std::move(queue)),
        block1_(std::move(block1)),
        block2_(std::move(block2)) {}

 protected:
  void run(In input, typename All2::CompletionHandler handler) override {
    using Pair = std::pair<Out1, Out2>;
    this->upstream_->execute(std::move(input), [queue = queue_, block1 = block1_, block2 = block2_,
                                                handler](auto result) {
      if (!result) return handler(detail::failure<Pair, Fail>(std::move(result.error())));
      struct Shared {
        DispatchGroup group;
        std::mutex mutex;
        std::optional<std::expected<Out1, Fail>> first;
        std::optional<std::expected<Out2, Fail>> second;
      };
      auto shared = std::make_shared<Shared>();
      shared->group.enter();
      shared->group.enter();
      shared->group.notify(*queue, [shared, queue, handler] {
        std::unique_lock lock(shared->mutex);
        auto first = std::move(*shared->first);
        auto second = std::move(*shared->second);
        lock.unlock();
        if (!first) return handler(detail::failure<Pair, Fail>(std::move(first.error())));
        if (!second) return handler(detail::failure<Pair, Fail>(std::move(second.error())));
        handler(Pair(std::move(*first), std::move(*second)));
      });
      block1(*result, Completion<Out1, Fail>([shared](std::expected<Out1, Fail> r) {
        {
          std::lock_guard lock(shared->mutex);
          shared->first = std::move(r);
        }
        shared->group.leave();
      }));
      block2(*result, Completion<Out2, Fail>([shared](std::expected<Out2, Fail> r) {
        {
          std::lock_guard lock(shared->mutex);
          shared->second = std::move(r);
        }
        shared->group.leave();
      }));
    });
  }

 private:
  std::shared_ptr<DispatchQueue> queue_;
  Function1 block1_;
  Function2 block2_;
};

template <class In, class Out, class Fail, class NewFail>
class Catch final : public Operator<In, Out, Fail, Out, NewFail> {
 public:
  using Function = std::function<void(Fail, Completion<Out, NewFail>)>;
  Catch(typename Catch::Upstream upstream, Function block)
      : Catch::Operator(std::move(upstream)), block_(std::move(block)) {}

 protected:
  void run(In input, typename Catch::CompletionHandler handler) override {
    this->upstream_->execute(std::move(input), [block = block_, handler](auto result) {
      if (result) return handler(std::move(*result));
      block(std::move(result.error()), Completion<Out, NewFail>(handler));
    });
  }

 private:
  Function block_;
};

template <class In, class Out, class Fail>
class CatchMap final : public Operator<In, Out, Fail, Out, Never> {
 public:
  CatchMap(typename CatchMap::Upstream upstream, std::function<Out(Fail)> block)
      : CatchMap::Operator(std::move(upstream)), block_(std::move(block)) {}

 protected:
  void run(In input, typename CatchMap::CompletionHandler handler) override {
    this->upstream_->execute(std::move(input), [block = block_, handler](auto result) {
      if (result) return handler(std::move(*result));
      handler(block(std::move(result.error())));
    });
  }

 private:
  std::function<Out(Fail)> block_;
};

template <class In, class Out, class Fail>
class TryCatch final : public Operator<In, Out, Fail, Out, AnyError> {
 public:
  using Function = std::function<void(Fail, Completion<Out, AnyError>)>;
  TryCatch(typename TryCatch::Upstream upstream, Function block)
      : TryCatch::Operator(std::move(upstream)), block_(std::move(block)) {}

 protected:
  void run(In input, typename TryCatch::CompletionHandler handler) override {
    this->upstream_->execute(std::move(input), [block = block_, handler](auto result) {
      if (result) return handler(std::move(*result));
      Completion<Out, AnyError> completion(handler);
      try {
        block(std::move(result.error()), completion);
      } catch (...) {
        completion.fail(AnyError::currentException());
      }
    });
  }

 private:
  Function block_;
};

template <class In, class Out, class Fail>
class Finally final : public Operator<In, Out, Fail, Out, Fail> {
 public:
  Finally(typename Finally::Upstream upstream, std::function<void()> block)
      : Finally::Operator(std::move(upstream)), block_(std::move(block)) {}

 protected:
  void run(In input, typename Finally::CompletionHandler handler) override {
    this->upstream_->execute(std::move(input), [block = block_, handler](auto result) {
      block();
      handler(std::move(result));
    });
  }

 private:
  std::function<void()> block_;
};

template <class In, class Out, class Fail>
class OnSuccess final : public Operator<In, Out, Fail, Out, Fail> {
 public:
  OnSuccess(typename OnSuccess::Upstream upstream, std::function<void(const Out&)> block)
      : OnSuccess::Operator(std::move(upstream)), block_(std::move(block)) {}

 protected:
  void run(In input, typename OnSuccess::CompletionHandler handler) override {
    this->upstream_->execute(std::move(input), [block = block_, handler](auto result) {
      if (result) block(*result);
      handler(std::move(result));
    });
  }

 private:
  std::function<void(const Out&)> block_;
};

template <class In, class Out, class Fail>
class OnFailure final : public Operator<In, Out, Fail, Out, Fail> {
 public:
  OnFailure(typename OnFailure::Upstream upstream, std::function<void(const Fail&)> block)
      : OnFailure::Operator(std::move(upstream)), block_(std::move(block)) {}

 protected:
  void run(In input, typename OnFailure::CompletionHandler handler) override {
    this->upstream_->execute(std::move(input), [block = block_, handler](auto result) {
      if (!result) block(result.error());
      handler(std::move(result));
    });
  }

 private:
  std::function<void(const Fail&)> block_;
};

template <class In, class Out, class NewFail>
class SetFailureType final : public Operator<In, Out, Never, Out, NewFail> {
 public:
  using SetFailureType::Operator::Operator;

 protected:
  void run(In input, typename SetFailureType::CompletionHandler handler) override {
    this->upstream_->execute(std::move(input), [handler](std::expected<Out, Never> result) {
      handler(std::move(*result));
    });
  }
};

template <class In, class Out, class Fail, class ElementOut>
class ForEach final : public Operator<In, Out, Fail, std::vector<ElementOut>, Fail> {
 public:
  using Element = std::ranges::range_value_t<Out>;
  using PartialFailurePolicy = AsyncSteps::PartialFailurePolicy;
  using Function = std::function<void(Element, Completion<ElementOut, Fail>)>;

  ForEach(typename ForEach::Upstream upstream, std::shared_ptr<DispatchQueue> queue,
          PartialFailurePolicy onPartialFailure, Function block)
      : ForEach::Operator(std::move(upstream)),
        queue_(std::move(queue)),
        onPartialFailure_(onPartialFailure),
        block_(std::move(block)) {}

 protected:
  void run(In input, typename ForEach::CompletionHandler handler) override {
    using Outputs = std::vector<ElementOut>;
    this->upstream_->execute(std::move(input), [queue = queue_, policy = onPartialFailure_,
                                                block = block_, handler](auto result) {
      if (!result) return handler(detail::failure<Outputs, Fail>(std::move(result.error())));
      std::vector<Element> elements;
      for (auto&& element : *result) elements.push_back(element);
      if (elements.empty()) return handler(Outputs{});

      struct Shared {
        DispatchGroup group;
        std::mutex mutex;
        std::vector<std::optional<std::expected<ElementOut, Fail>>> results;
      };
      auto shared = std::make_shared<Shared>();
      shared->results.resize(elements.size());
      for (std::size_t i = 0; i < elements.size(); ++i) shared->group.enter();
      for (std::size_t i = 0; i < elements.size(); ++i) {
        queue->async([shared, block, i, element = std::move(elements[i])]() mutable {
          block(std::move(element),
                Completion<ElementOut, Fail>([shared, i](std::expected<ElementOut, Fail> r) {
                  {
                    std::lock_guard lock(shared->mutex);
                    shared->results[i] = std::move(r);
                  }
                  shared->group.leave();
                }));
        });
      }
      shared->group.notify(*queue, [shared, queue, policy, handler] {
        std::unique_lock lock(shared->mutex);
        auto results = std::move(shared->results);
        lock.unlock();
        Outputs outputs;
        for (auto& r : results) {
          if (*r) {
            outputs.push_back(std::move(**r));
          } else if (policy == PartialFailurePolicy::fail) {
            return handler(detail::failure<Outputs, Fail>(std::move(r->error())));
          }
        }
        handler(std::move(outputs));
      });
    });
  }

 private:
  std::shared_ptr<DispatchQueue> queue_;
  PartialFailurePolicy onPartialFailure_;
  Function block_;
};

}  // namespace tarnix::base::AsyncSteps
