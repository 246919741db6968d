// A value reachable only through a readers-writer lock guard, so the locking
// discipline is visible in the types rather than kept by convention.
#pragma once

#include <mutex>
#include <shared_mutex>
#include <utility>

namespace karvalith {

template <class T>
class Guarded {
 public:
  template <class... Args>
  explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}

  class ReadGuard {
   public:
    ReadGuard(const T& value, std::shared_mutex& mutex) : lock_(mutex), value_(value) {}
    const T& operator*() const { return value_; }
    const T* operator->() const { return &value_; }

   private:
    std::shared_lock<std::shared_mutex> lock_;
    const T& value_;
  };

  class WriteGuard {
   public:
    WriteGuard(T& value, std::shared_mutex& mutex) : lock_(mutex), value_(value) {}
    T& operator*() const { return value_; }
    T* operator->() const { return &value_; }

   private:
    std::unique_lock<std::shared_mutex> lock_;
    T& value_;
  };

  ReadGuard read() const { return ReadGuard(value_, mutex_); }
  WriteGuard write() { return WriteGuard(value_, mutex_); }

 private:
  mutable std::shared_mutex mutex_;
  T value_;
};

}  // namespace karvalith
