// A thin threads layer with the names and shapes of POSIX threads. On Windows it maps
// onto kernel threads, mutexes and auto-reset events; on POSIX onto native threads and
// mutexes. It lives in its own namespace so it never clashes with <pthread.h>.
//
// A condition behaves as an auto-reset event: a wait clears it on entry, so a signal
// given before a wait begins is lost; a signal given after that ends the wait; one
// signal ends at most one wait; a wait never ends without a signal.
//
// Results: 0 on success, -1 on failure; pthread_create returns the platform's error
// code. Nothing here throws or logs.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define KX_THREAD_CALL __stdcall
#else
#define KX_THREAD_CALL
#endif

namespace kx::sys {

// Each object is one platform handle owned by the caller's structure.
struct pthread_t {
  void* handle = nullptr;
};
struct pthread_mutex_t {
  void* handle = nullptr;
};
struct pthread_cond_t {
  void* handle = nullptr;
};
struct pthread_attr_t;
struct pthread_mutexattr_t;
struct pthread_condattr_t;

// The platform's thread-entry form: one pointer argument, a 32-bit exit code.
using thread_routine = uint32_t(KX_THREAD_CALL*)(void* arg);

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, thread_routine routine,
                   void* arg);
int pthread_join(pthread_t thread, void** result);
int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attr);
int pthread_mutex_lock(pthread_mutex_t* mutex);
int pthread_mutex_unlock(pthread_mutex_t* mutex);
int pthread_mutex_destroy(pthread_mutex_t* mutex);
int pthread_cond_init(pthread_cond_t* cond, const pthread_condattr_t* attr);
int pthread_cond_signal(pthread_cond_t* cond);
int pthread_cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex);
int pthread_cond_destroy(pthread_cond_t* cond);

// The wait without its first step: a signal given before the call, and not yet consumed
// by another wait, ends it at once. For waits that must not miss a signal given between
// the caller's last check and the wait (the consumer's wait for data, the stop wait).
int cond_wait_keeping_signal(pthread_cond_t* cond, pthread_mutex_t* mutex);

// Holds a mutex for one scope. A wait inside the scope still takes the mutex itself: the
// wait releases it and has it again before it returns.
class ScopedLock {
 public:
  explicit ScopedLock(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
  ~ScopedLock() { pthread_mutex_unlock(mutex_); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  pthread_mutex_t* mutex_;
};

// Test seam: when set, both waits call it on the waiting thread after releasing the
// caller's mutex and before the platform wait, so that tests can give a signal at
// exactly that point.
extern void (*cond_wait_after_release_hook)(pthread_cond_t* cond);

}  // namespace kx::sys
