#include "sys/threads.h"

#include <gtest/gtest.h>

namespace kx::sys {
namespace {

// The waits and signals are shown through the sensor queue's tests; here only what the
// queue never does.
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

}  // namespace
}  // namespace kx::sys
