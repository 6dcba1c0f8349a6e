#include "aThread.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <new>

struct aThread {
  pthread_t thread;
};

namespace {

const long sYIELD_NS = 5 * 1000;  // 5 microseconds

}  // namespace

aThread* aThread_Create(aThreadRoutine routine, void* argument) {
  if (routine == nullptr) return nullptr;
  aThread* thread = new (std::nothrow) aThread;
  if (thread == nullptr) return nullptr;
  if (pthread_create(&thread->thread, nullptr, routine, argument) != 0) {
    delete thread;
    return nullptr;
  }
  return thread;
}

int aThread_Destroy(aThread** handle) {
  if (handle == nullptr || *handle == nullptr) return EINVAL;
  aThread* thread = *handle;
  const int joined = pthread_join(thread->thread, nullptr);
  // A thread that cannot be joined (it is the caller itself) releases its resources when it
  // ends instead.
  if (joined == EDEADLK) pthread_detach(thread->thread);
  delete thread;
  *handle = nullptr;
  return joined;
}

void aThread_Yield(void) {
  const struct timespec pause = {0, sYIELD_NS};
  nanosleep(&pause, nullptr);
}
