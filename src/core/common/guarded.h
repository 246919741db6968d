// A value reachable only through a readers-writer lock guard, so the locking
// discipline is visible in the types rather than kept by convention. The
// lock prefers writers (shared_mutex.h): never take a read guard twice on one
// thread.
#pragma once

#include <mutex>
#include <shared_mutex>
#include <utility>

#include "core/common/shared_mutex.h"

namespace karvalith {

template <class T>
class Guarded {
 public:
  template <class... Args>
  explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}

  class ReadGuard {
   public:
    ReadGuard(const T& value, SharedMutex& mutex) : lock_(mutex), value_(value) {}
    const T& operator*() const { return value_; }
    const T* operator->() const { return &value_; }

   private:
    std::shared_lock<SharedMutex> lock_;
    const T& value_;
  };

  class WriteGuard {
   public:
    WriteGuard(T& value, SharedMutex& mutex) : lock_(mutex), value_(value) {}
    T& operator*() const { return value_; }
    T* operator->() const { return &value_; }

   private:
    std::unique_lock<SharedMutex> lock_;
    T& value_;
  };

  ReadGuard read() const { return ReadGuard(value_, mutex_); }
  WriteGuard write() { return WriteGuard(value_, mutex_); }

 private:
  mutable SharedMutex mutex_;
  T value_;
};

}  // namespace karvalith
