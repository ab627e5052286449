#ifndef KORU_SYNC_TASK_H_
#define KORU_SYNC_TASK_H_

#include <coroutine>
#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

namespace koru {

// A piece of the engine's work that may wait for a step on a connection: it runs on the
// scheduler's thread, from its start or a wait to its next wait or its end, and a caller that
// awaits it goes on where it left off once it has ended. It starts when it is awaited.
//
//   Task<bool> ListOnce() { StepReport r = co_await scheduler.Run(step); co_return r.ok; }
//   const bool listed = co_await ListOnce();
template <class T>
class [[nodiscard]] Task;

namespace task_detail {

struct PromiseBase {
  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <class Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> done) noexcept {
      const std::coroutine_handle<> next = done.promise().continuation;
      return next ? next : std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };

  std::suspend_always initial_suspend() noexcept { return {}; }
  FinalAwaiter final_suspend() noexcept { return {}; }
  // The engine reports through results; an exception here is a fault of the program.
  void unhandled_exception() noexcept { std::terminate(); }

  std::coroutine_handle<> continuation;
};

template <class T>
struct Promise : PromiseBase {
  Task<T> get_return_object();
  void return_value(T value) { result.emplace(std::move(value)); }
  std::optional<T> result;
};

template <>
struct Promise<void> : PromiseBase {
  Task<void> get_return_object();
  void return_void() {}
};

}  // namespace task_detail

template <class T>
class [[nodiscard]] Task {
 public:
  using promise_type = task_detail::Promise<T>;
  using Handle = std::coroutine_handle<promise_type>;

  explicit Task(Handle handle) : handle_(handle) {}
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      Destroy();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  ~Task() { Destroy(); }

  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> caller) noexcept {
    handle_.promise().continuation = caller;
    return handle_;
  }
  T await_resume() {
    if constexpr (!std::is_void_v<T>) return std::move(*handle_.promise().result);
  }

 private:
  void Destroy() {
    if (handle_) handle_.destroy();
  }
  Handle handle_;
};

namespace task_detail {

template <class T>
Task<T> Promise<T>::get_return_object() {
  return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}

inline Task<void> Promise<void>::get_return_object() {
  return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}

}  // namespace task_detail

// Tasks started to run beside their owner, which can wait until every one has ended. The
// owner and the tasks run on the scheduler's thread.
class TaskGroup {
 public:
  TaskGroup() = default;
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  // Starts `task` at once: it runs up to its first wait before Start returns.
  void Start(Task<void> task) {
    ++running_;
    Detached(std::move(task), this);
  }

  bool idle() const { return running_ == 0; }

  // Awaiting this waits until every task started so far has ended.
  struct Wait {
    TaskGroup& group;
    bool await_ready() const noexcept { return group.running_ == 0; }
    void await_suspend(std::coroutine_handle<> owner) noexcept { group.waiter_ = owner; }
    void await_resume() const noexcept {}
  };
  Wait AllEnded() { return Wait{*this}; }

 private:
  // A coroutine that nobody awaits: it frees itself when it ends.
  struct Detach {
    struct promise_type {
      Detach get_return_object() { return {}; }
      std::suspend_never initial_suspend() noexcept { return {}; }
      std::suspend_never final_suspend() noexcept { return {}; }
      void return_void() {}
      void unhandled_exception() noexcept { std::terminate(); }
    };
  };

  static Detach Detached(Task<void> task, TaskGroup* group) {
    co_await task;
    group->Ended();
  }

  void Ended() {
    if (--running_ > 0 || !waiter_) return;
    std::exchange(waiter_, {}).resume();
  }

  size_t running_ = 0;
  std::coroutine_handle<> waiter_;
};

}  // namespace koru

#endif  // KORU_SYNC_TASK_H_
