#include "sys/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace kx::sys {
namespace {

using namespace std::chrono_literals;

// A waiter thread that records when its pthread_cond_wait has returned.
struct Waiter {
  Waiter(pthread_cond_t* c, pthread_mutex_t* m) : cond(c), mutex(m) {}
  pthread_cond_t* cond;
  pthread_mutex_t* mutex;
  std::atomic<int> returned{0};
  std::atomic<bool> held_mutex_after_wait{false};
  pthread_t thread;

  static uint32_t KX_THREAD_CALL run(void* arg) {
    auto* self = static_cast<Waiter*>(arg);
    pthread_mutex_lock(self->mutex);
    pthread_cond_wait(self->cond, self->mutex);
    // The mutex must be held again: a second thread must not get it before we unlock.
    self->held_mutex_after_wait = true;
    self->returned.fetch_add(1);
    pthread_mutex_unlock(self->mutex);
    return 0;
  }
};

class ThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pthread_mutex_init(&mutex, nullptr), 0);
    ASSERT_EQ(pthread_cond_init(&cond, nullptr), 0);
  }
  void TearDown() override {
    cond_wait_after_release_hook = nullptr;
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&mutex);
  }
  // A short, bounded wait for something that must NOT happen; no timing is asserted.
  static void settle() { std::this_thread::sleep_for(50ms); }
  static bool eventually(const std::atomic<int>& value, int expected) {
    for (int i = 0; i < 500 && value.load() != expected; ++i) std::this_thread::sleep_for(10ms);
    return value.load() == expected;
  }

  pthread_mutex_t mutex;
  pthread_cond_t cond;
};

TEST_F(ThreadsTest, OperationsOnMissingObjectsFailWithMinusOne) {
  pthread_t none;
  pthread_mutex_t no_mutex;
  pthread_cond_t no_cond;
  EXPECT_EQ(pthread_join(none, nullptr), -1);
  EXPECT_EQ(pthread_mutex_lock(&no_mutex), -1);
  EXPECT_EQ(pthread_mutex_unlock(&no_mutex), -1);
  EXPECT_EQ(pthread_cond_signal(&no_cond), -1);
  EXPECT_EQ(pthread_cond_destroy(&no_cond), -1);
}

TEST_F(ThreadsTest, KeepingWaitEndsAtOnceForAnEarlierSignalAndConsumesIt) {
  pthread_cond_signal(&cond);
  pthread_mutex_lock(&mutex);
  EXPECT_EQ(cond_wait_keeping_signal(&cond, &mutex), 0);
  pthread_mutex_unlock(&mutex);

  // The signal was consumed: a plain wait after it needs a new one.
  Waiter waiter(&cond, &mutex);
  ASSERT_EQ(pthread_create(&waiter.thread, nullptr, Waiter::run, &waiter), 0);
  settle();
  EXPECT_EQ(waiter.returned.load(), 0);
  pthread_cond_signal(&cond);
  EXPECT_TRUE(eventually(waiter.returned, 1));
  pthread_join(waiter.thread, nullptr);
}

}  // namespace
}  // namespace kx::sys
