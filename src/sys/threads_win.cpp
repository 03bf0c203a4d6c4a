// The threads layer on Windows kernel objects: exactly one to four kernel calls per
// operation.
#include <windows.h>

#include "sys/threads.h"

namespace kx::sys {

void (*cond_wait_after_release_hook)(pthread_cond_t* cond) = nullptr;

int pthread_create(pthread_t* thread, const pthread_attr_t*, thread_routine routine, void* arg) {
  // thread_routine has the LPTHREAD_START_ROUTINE form: stdcall, one pointer, 32-bit result.
  HANDLE handle = CreateThread(nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(routine), arg,
                               0, nullptr);
  thread->handle = handle;
  if (handle == nullptr) return static_cast<int>(GetLastError());
  return 0;
}

int pthread_join(pthread_t thread, void**) {
  if (thread.handle == nullptr) return -1;
  DWORD result = WaitForSingleObject(thread.handle, INFINITE);
  // The thread is never touched after its join, so its handle goes here.
  CloseHandle(thread.handle);
  return result == WAIT_OBJECT_0 ? 0 : -1;
}

int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t*) {
  mutex->handle = CreateMutexA(nullptr, FALSE, nullptr);
  return mutex->handle != nullptr ? 0 : -1;
}

int pthread_mutex_lock(pthread_mutex_t* mutex) {
  return WaitForSingleObject(mutex->handle, INFINITE) == WAIT_OBJECT_0 ? 0 : -1;
}

int pthread_mutex_unlock(pthread_mutex_t* mutex) { return ReleaseMutex(mutex->handle) ? 0 : -1; }

int pthread_mutex_destroy(pthread_mutex_t* mutex) {
  BOOL closed = CloseHandle(mutex->handle);
  mutex->handle = nullptr;
  return closed ? 0 : -1;
}

int pthread_cond_init(pthread_cond_t* cond, const pthread_condattr_t*) {
  cond->handle = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  return cond->handle != nullptr ? 0 : -1;
}

int pthread_cond_signal(pthread_cond_t* cond) { return SetEvent(cond->handle) ? 0 : -1; }

int pthread_cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex) {
  ResetEvent(cond->handle);
  return cond_wait_keeping_signal(cond, mutex);
}

int cond_wait_keeping_signal(pthread_cond_t* cond, pthread_mutex_t* mutex) {
  ReleaseMutex(mutex->handle);
  if (cond_wait_after_release_hook != nullptr) cond_wait_after_release_hook(cond);
  DWORD result = WaitForSingleObject(cond->handle, INFINITE);
  WaitForSingleObject(mutex->handle, INFINITE);
  return result == WAIT_OBJECT_0 ? 0 : -1;
}

int pthread_cond_destroy(pthread_cond_t* cond) {
  BOOL closed = CloseHandle(cond->handle);
  cond->handle = nullptr;
  return closed ? 0 : -1;
}

}  // namespace kx::sys
