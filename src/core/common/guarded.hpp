// A value behind a mutex that remembers abnormal exits. When an exception
// escapes while the lock is held, the guarded state may be half-updated, so the
// lock is marked poisoned and every later lock() reports it instead of handing
// out possibly inconsistent state. The poisoned flag is never cleared.
#pragma once

#include <exception>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

namespace marrowfin {

template <class T>
class Guarded {
 public:
  template <class... Args>
  explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}

  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  class Access {
   public:
    explicit Access(Guarded& owner)
        : owner_(&owner), lock_(owner.mutex_), exceptions_on_entry_(std::uncaught_exceptions()) {}
    Access(Access&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)),
          lock_(std::move(other.lock_)),
          exceptions_on_entry_(other.exceptions_on_entry_) {}
    Access& operator=(Access&&) = delete;
    ~Access() {
      if (owner_ != nullptr && std::uncaught_exceptions() > exceptions_on_entry_) {
        owner_->poisoned_ = true;
      }
    }

    T& operator*() const noexcept { return owner_->value_; }
    T* operator->() const noexcept { return &owner_->value_; }

   private:
    Guarded* owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_on_entry_;
  };

  // The locked value, or nullopt when a previous holder exited abnormally.
  std::optional<Access> lock() {
    Access access(*this);
    if (poisoned_) return std::nullopt;
    return std::optional<Access>(std::move(access));
  }

  // work(value) under the lock. Its result, or, when work returns nothing,
  // true; nullopt (false) when the lock is poisoned and work did not run.
  template <class Work>
  auto with_lock(Work&& work) {
    using R = std::invoke_result_t<Work, T&>;
    auto access = lock();
    if constexpr (std::is_void_v<R>) {
      if (!access) return false;
      std::forward<Work>(work)(**access);
      return true;
    } else {
      if (!access) return std::optional<R>();
      return std::optional<R>(std::forward<Work>(work)(**access));
    }
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;  // written and read only with mutex_ held
  T value_;
};

}  // namespace marrowfin
