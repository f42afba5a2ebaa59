#include "app/NetworkThread.h"

#include "sched/ThreadScheduling.h"

#include <QEventLoop>
#include <QSocketNotifier>

#include <cerrno>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

NetworkThread::NetworkThread(DiagnosticLog& log)
    : wakeUp_(::eventfd(0, EFD_CLOEXEC)), thread_([this] { loop(); })
{
    {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return events_ != nullptr; });
    }
    run([this, &log] { realtimeGuard_ = scheduleCallingThread(log); });
}

NetworkThread::~NetworkThread()
{
    run([this] {
        realtimeGuard_.reset();
        events_->quit();
    });
    thread_.join();
    ::close(wakeUp_);
}

void NetworkThread::run(const std::function<void()>& work)
{
    std::unique_lock lock(mutex_);
    work_ = &work;
    const quint64 one = 1;
    while (::write(wakeUp_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    done_.wait(lock, [this] { return work_ == nullptr; });
}

void NetworkThread::loop()
{
    ::pthread_setname_np(::pthread_self(), "kestrelio-net");
    QEventLoop events;
    QSocketNotifier wakeUp(wakeUp_, QSocketNotifier::Read);
    QObject::connect(&wakeUp, &QSocketNotifier::activated, &events,
                     [this] { runHandedOverWork(); });
    {
        const std::lock_guard lock(mutex_);
        events_ = &events;
    }
    done_.notify_all();
    events.exec();
}

void NetworkThread::runHandedOverWork()
{
    quint64 count = 0;
    if (::read(wakeUp_, &count, sizeof count) < 0)
        return;
    std::unique_lock lock(mutex_);
    if (!work_)
        return;
    const std::function<void()>& work = *work_;
    lock.unlock();
    work();
    lock.lock();
    work_ = nullptr;
    done_.notify_all();
}
