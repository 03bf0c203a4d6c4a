#include "sys/threads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace kx::sys {
namespace {

// Unlike the sensor queue's wait, shown in its tests, this one drops an earlier signal.
TEST(Threads, PlainWaitEndsOnlyOnASignalGivenAfterItBegan) {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  ASSERT_EQ(pthread_mutex_init(&mutex, nullptr), 0);
  ASSERT_EQ(pthread_cond_init(&cond, nullptr), 0);
  ASSERT_EQ(pthread_cond_signal(&cond), 0);
  std::promise<void> locked;
  auto waiter = std::async(std::launch::async, [&] {
    ScopedLock lock(&mutex);
    locked.set_value();
    return pthread_cond_wait(&cond, &mutex);
  });
  locked.get_future().wait();
  // Only the wait releases the mutex, after dropping the signal.
  ASSERT_EQ(pthread_mutex_lock(&mutex), 0);
  ASSERT_EQ(pthread_mutex_unlock(&mutex), 0);
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  ASSERT_EQ(pthread_cond_signal(&cond), 0);
  EXPECT_EQ(waiter.get(), 0);
  EXPECT_EQ(pthread_mutex_destroy(&mutex), 0);
  EXPECT_EQ(pthread_cond_destroy(&cond), 0);
}

}  // namespace
}  // namespace kx::sys
