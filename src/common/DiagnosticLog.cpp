#include "common/DiagnosticLog.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unistd.h>

QString escapeControlCharacters(const QString& line)
{
    const auto isControl = [](QChar c) {
        return c != u'\t' && (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0) ||
                              c == QChar::LineSeparator || c == QChar::ParagraphSeparator);
    };
    if (std::none_of(line.cbegin(), line.cend(), isControl))
        return line;
    QString escaped;
    for (const QChar c : line) {
        if (c == u'\n')
            escaped += QStringLiteral("\\n");
        else if (c == u'\r')
            escaped += QStringLiteral("\\r");
        else if (isControl(c))
            escaped += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QChar(u'0'));
        else
            escaped += c;
    }
    return escaped;
}

QString shortened(const QString& text, qsizetype length)
{
    return text.size() <= length ? text : text.first(length - 1) + u'\u2026';
}

struct StdoutLog::Queue
{
    explicit Queue(int fd) : fd(fd) {}

    void run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stopping || !pending.isEmpty(); });
            if (pending.isEmpty())
                return;
            QByteArray batch;
            batch.swap(pending);
            writing = true;
            lock.unlock();
            writeAll(batch);
            lock.lock();
            writing = false;
            drained.notify_all();
        }
    }

    void writeAll(const QByteArray& bytes)
    {
        qsizetype done = 0;
        while (!broken && done < bytes.size()) {
            const ssize_t written =
                ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (written > 0)
                done += written;
            else if (written < 0 && errno != EINTR)
                broken = true; // nobody reads any more; the program goes on
        }
    }

    const int fd;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable drained;
    QByteArray pending;
    qint64 dropped = 0;
    bool writing = false;
    bool stopping = false;
    bool broken = false; // touched by the writer thread only
};

StdoutLog::StdoutLog(int fd) : queue_(std::make_shared<Queue>(fd))
{
    std::thread([queue = queue_] { queue->run(); }).detach();
}

StdoutLog::~StdoutLog()
{
    using namespace std::chrono_literals;
    std::unique_lock lock(queue_->mutex);
    queue_->drained.wait_for(lock, 500ms,
                             [this] { return queue_->pending.isEmpty() && !queue_->writing; });
    queue_->stopping = true;
    queue_->wake.notify_one();
}

void StdoutLog::writeLine(const QString& line)
{
    enqueue(shortened(escapeControlCharacters(line), kMaxLineLength).toUtf8());
}

void StdoutLog::writeDrawingLine(const QString& line)
{
    enqueue(line.toUtf8());
}

void StdoutLog::enqueue(QByteArray bytes)
{
    bytes.append('\n');

    std::lock_guard lock(queue_->mutex);
    QByteArray& pending = queue_->pending;
    const bool wasEmpty = pending.isEmpty();
    if (queue_->dropped > 0) {
        const QByteArray notice =
            QByteArray::number(queue_->dropped) +
            " lines of output were lost while standard output was not being read\n";
        if (pending.size() + notice.size() + bytes.size() > kQueuedBytes) {
            ++queue_->dropped;
            return;
        }
        pending += notice;
        queue_->dropped = 0;
    }
    if (pending.size() + bytes.size() > kQueuedBytes) {
        ++queue_->dropped;
        return;
    }
    pending += bytes;
    if (wasEmpty)
        queue_->wake.notify_one();
}
