#pragma once

#include <pthread.h>

// A mutex whose holder runs at the priority of its most urgent waiter, so that
// a real-time thread never waits behind a preempted normal one.
class PriorityInheritingMutex
{
public:
    PriorityInheritingMutex()
    {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&mutex_, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
    ~PriorityInheritingMutex() { pthread_mutex_destroy(&mutex_); }
    PriorityInheritingMutex(const PriorityInheritingMutex&) = delete;
    PriorityInheritingMutex& operator=(const PriorityInheritingMutex&) = delete;

    void lock() { pthread_mutex_lock(&mutex_); }
    void unlock() { pthread_mutex_unlock(&mutex_); }

private:
    pthread_mutex_t mutex_;
};
