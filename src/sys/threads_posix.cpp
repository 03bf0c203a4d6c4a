// The threads layer on POSIX threads. Mutexes are native; a condition is an auto-reset
// event built from a native mutex, a native condition and a flag, so that it has the
// semantics of the Windows event (no lost signal after the wait's reset, no spurious
// wake-up, one signal ends at most one wait).
#include <pthread.h>

#include <cerrno>
#include <new>

#include "sys/threads.h"

namespace kx::sys {

void (*cond_wait_after_release_hook)(pthread_cond_t* cond) = nullptr;
namespace {

struct Event {
  ::pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  ::pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
  bool signalled = false;
};

struct ThreadStart {
  thread_routine routine;
  void* arg;
};

void* run_thread(void* start_arg) {
  ThreadStart start = *static_cast<ThreadStart*>(start_arg);
  delete static_cast<ThreadStart*>(start_arg);
  start.routine(start.arg);
  return nullptr;
}

Event* event_of(pthread_cond_t* cond) { return static_cast<Event*>(cond->handle); }
::pthread_mutex_t* native(pthread_mutex_t* mutex) {
  return static_cast<::pthread_mutex_t*>(mutex->handle);
}

}  // namespace

int pthread_create(pthread_t* thread, const pthread_attr_t*, thread_routine routine, void* arg) {
  thread->handle = nullptr;
  auto* start = new (std::nothrow) ThreadStart{routine, arg};
  if (start == nullptr) return ENOMEM;
  auto* id = new (std::nothrow)::pthread_t;
  if (id == nullptr) {
    delete start;
    return ENOMEM;
  }
  int rc = ::pthread_create(id, nullptr, run_thread, start);
  if (rc != 0) {
    delete start;
    delete id;
    return rc;
  }
  thread->handle = id;
  return 0;
}

int pthread_join(pthread_t thread, void**) {
  auto* id = static_cast<::pthread_t*>(thread.handle);
  if (id == nullptr) return -1;
  int rc = ::pthread_join(*id, nullptr);
  delete id;
  return rc == 0 ? 0 : -1;
}

int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t*) {
  auto* m = new (std::nothrow)::pthread_mutex_t;
  mutex->handle = m;
  if (m == nullptr) return -1;
  if (::pthread_mutex_init(m, nullptr) != 0) {
    delete m;
    mutex->handle = nullptr;
    return -1;
  }
  return 0;
}

int pthread_mutex_lock(pthread_mutex_t* mutex) {
  if (mutex->handle == nullptr) return -1;
  return ::pthread_mutex_lock(native(mutex)) == 0 ? 0 : -1;
}

int pthread_mutex_unlock(pthread_mutex_t* mutex) {
  if (mutex->handle == nullptr) return -1;
  return ::pthread_mutex_unlock(native(mutex)) == 0 ? 0 : -1;
}

int pthread_mutex_destroy(pthread_mutex_t* mutex) {
  if (mutex->handle == nullptr) return -1;
  int rc = ::pthread_mutex_destroy(native(mutex));
  delete native(mutex);
  mutex->handle = nullptr;
  return rc == 0 ? 0 : -1;
}

int pthread_cond_init(pthread_cond_t* cond, const pthread_condattr_t*) {
  cond->handle = new (std::nothrow) Event;
  return cond->handle != nullptr ? 0 : -1;
}

int pthread_cond_signal(pthread_cond_t* cond) {
  Event* event = event_of(cond);
  if (event == nullptr) return -1;
  ::pthread_mutex_lock(&event->lock);
  event->signalled = true;
  ::pthread_cond_signal(&event->changed);
  ::pthread_mutex_unlock(&event->lock);
  return 0;
}

int pthread_cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex) {
  Event* event = event_of(cond);
  if (event == nullptr) return -1;
  ::pthread_mutex_lock(&event->lock);
  event->signalled = false;
  ::pthread_mutex_unlock(&event->lock);
  return cond_wait_keeping_signal(cond, mutex);
}

int cond_wait_keeping_signal(pthread_cond_t* cond, pthread_mutex_t* mutex) {
  Event* event = event_of(cond);
  if (event == nullptr) return -1;
  pthread_mutex_unlock(mutex);
  if (cond_wait_after_release_hook != nullptr) cond_wait_after_release_hook(cond);
  ::pthread_mutex_lock(&event->lock);
  // The flag, not the native wake-up, decides: native conditions may wake spuriously.
  while (!event->signalled) ::pthread_cond_wait(&event->changed, &event->lock);
  event->signalled = false;
  ::pthread_mutex_unlock(&event->lock);
  pthread_mutex_lock(mutex);
  return 0;
}

int pthread_cond_destroy(pthread_cond_t* cond) {
  Event* event = event_of(cond);
  if (event == nullptr) return -1;
  ::pthread_cond_destroy(&event->changed);
  ::pthread_mutex_destroy(&event->lock);
  delete event;
  cond->handle = nullptr;
  return 0;
}

}  // namespace kx::sys
