#include "app/NetworkThread.h"

#include "sched/ThreadScheduling.h"

NetworkThread::NetworkThread(DiagnosticLog& log)
{
    thread_.setObjectName(QStringLiteral("kestrelio-net"));
    context_.moveToThread(&thread_);
    thread_.start();
    run([&log] { log.writeLine(requestSchedulingForCallingThread()); });
}

NetworkThread::~NetworkThread()
{
    thread_.quit();
    thread_.wait();
}

void NetworkThread::run(const std::function<void()>& work)
{
    QMetaObject::invokeMethod(&context_, work, Qt::BlockingQueuedConnection);
}
