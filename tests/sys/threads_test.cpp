#include "sys/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/wait.h"

namespace kx::sys {
namespace {

TEST(Threads, OperationsOnMissingObjectsFailWithMinusOne) {
  pthread_t none;
  pthread_mutex_t no_mutex;
  pthread_cond_t no_cond;
  EXPECT_EQ(pthread_join(none, nullptr), -1);
  EXPECT_EQ(pthread_mutex_lock(&no_mutex), -1);
  EXPECT_EQ(pthread_mutex_unlock(&no_mutex), -1);
  EXPECT_EQ(pthread_cond_signal(&no_cond), -1);
  EXPECT_EQ(pthread_cond_destroy(&no_cond), -1);
}

// A plain waiter that records when its pthread_cond_wait has returned.
struct Waiter {
  pthread_cond_t* cond;
  pthread_mutex_t* mutex;
  std::atomic<int> returned{0};
  static uint32_t KX_THREAD_CALL run(void* arg) {
    auto* self = static_cast<Waiter*>(arg);
    pthread_mutex_lock(self->mutex);
    pthread_cond_wait(self->cond, self->mutex);
    self->returned.fetch_add(1);
    pthread_mutex_unlock(self->mutex);
    return 0;
  }
};

TEST(Threads, KeepingWaitEndsAtOnceForAnEarlierSignalAndConsumesIt) {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  ASSERT_EQ(pthread_mutex_init(&mutex, nullptr), 0);
  ASSERT_EQ(pthread_cond_init(&cond, nullptr), 0);
  pthread_cond_signal(&cond);
  pthread_mutex_lock(&mutex);
  EXPECT_EQ(cond_wait_keeping_signal(&cond, &mutex), 0);
  pthread_mutex_unlock(&mutex);

  // The signal was consumed: a plain wait after it needs a new one.
  Waiter waiter{&cond, &mutex};
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, Waiter::run, &waiter), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // no timing is asserted
  EXPECT_EQ(waiter.returned.load(), 0);
  pthread_cond_signal(&cond);
  EXPECT_TRUE(kx::test::wait_until([&] { return waiter.returned == 1; }, std::chrono::seconds(5)));
  pthread_join(thread, nullptr);
  pthread_cond_destroy(&cond);
  pthread_mutex_destroy(&mutex);
}

}  // namespace
}  // namespace kx::sys
