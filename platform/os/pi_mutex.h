// A lock of the simulated platform that tasks of every priority and the tick take: a waiter lends
// its priority to the owner (the host's priority inheritance), so that with real-time priorities
// the tick never waits behind a low task that holds it while middle ones run. Platform side only.
#pragma once

#include <pthread.h>

class PiMutex {
  public:
    PiMutex() {
        pthread_mutexattr_t a;
        pthread_mutexattr_init(&a);
        pthread_mutexattr_setprotocol(&a, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&m, &a);
        pthread_mutexattr_destroy(&a);
    }
    ~PiMutex() { pthread_mutex_destroy(&m); }
    PiMutex(const PiMutex&) = delete;
    PiMutex& operator=(const PiMutex&) = delete;
    void lock() { pthread_mutex_lock(&m); }
    void unlock() { pthread_mutex_unlock(&m); }
    bool try_lock() { return pthread_mutex_trylock(&m) == 0; }

  private:
    pthread_mutex_t m;
};
