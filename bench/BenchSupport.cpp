#include "BenchSupport.h"

#include "RawWebSocket.h"
#include "server/WebSocketViewModel.h"

#include <QCoreApplication>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

Percentiles percentiles(std::vector<double> samples)
{
    if (samples.empty())
        return {};
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    return {samples[n / 2], samples[n * 99 / 100], samples[n * 999 / 1000], samples.back(), n};
}

void pinToCore(int core)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core % std::max(1u, std::thread::hardware_concurrency()), &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

long residentKiB()
{
    FILE* statm = std::fopen("/proc/self/statm", "r");
    long pages = 0;
    long resident = 0;
    if (statm) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int connectLoopback(quint16 port, int receiveBuffer)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return fd;
}

int openWebSocket(quint16 port, int receiveBuffer)
{
    const int fd = connectLoopback(port, receiveBuffer);
    if (fd < 0 || !writeAll(fd, RawWebSocket::upgradeRequest("127.0.0.1")))
        return -1;
    QByteArray head;
    char c;
    while (!head.endsWith("\r\n\r\n") && head.size() < 4096 && ::recv(fd, &c, 1, 0) == 1)
        head.append(c);
    return head.startsWith("HTTP/1.1 101") ? fd : -1;
}

bool writeAll(int fd, const QByteArray& bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

bool readUntilText(int fd, QByteArray& buffer, QByteArrayView text)
{
    for (int reads = 0; reads < 1'000'000; ++reads) {
        while (buffer.size() >= 2) {
            const qsizetype length = buffer[1] & 0x7f; // the server's frames here are short
            if (buffer.size() < 2 + length)
                break;
            const bool match = quint8(buffer[0]) == 0x81 && buffer.mid(2, length) == text;
            buffer.remove(0, 2 + length);
            if (match)
                return true;
        }
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffer.append(chunk, n);
    }
    return false;
}

EchoFloor::EchoFloor(const std::function<void()>& placeEchoThread)
{
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 1);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    echo_ = std::thread([this, placeEchoThread] {
        placeEchoThread();
        const int fd = ::accept(listener_, nullptr, nullptr);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char buffer[64];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            ::send(fd, buffer, size_t(n), MSG_NOSIGNAL);
        ::close(fd);
    });
    client_ = connectLoopback(ntohs(address.sin_port));
}

EchoFloor::~EchoFloor()
{
    ::close(client_);
    echo_.join();
    ::close(listener_);
}

double EchoFloor::roundTrip(const QByteArray& message)
{
    const auto start = Clock::now();
    writeAll(client_, message);
    char buffer[64];
    qsizetype got = 0;
    while (got < message.size()) {
        const ssize_t n = ::recv(client_, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        got += n;
    }
    return micros(Clock::now() - start);
}

DrainedStdout::DrainedStdout()
{
    int fds[2];
    if (::pipe(fds) != 0)
        return;
    report_ = fdopen(dup(STDOUT_FILENO), "w");
    dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
    drain_ = std::thread([this, fd = fds[0]] {
        char chunk[65536];
        ssize_t n;
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0)
            lines_ += std::count(chunk, chunk + n, '\n');
        ::close(fd);
    });
}

DrainedStdout::~DrainedStdout()
{
    finish();
    if (report_)
        std::fclose(report_);
}

void DrainedStdout::finish()
{
    if (!drain_.joinable())
        return;
    std::fflush(stdout);
    dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
    drain_.join();
}

ServerSettings onAnyPort()
{
    ServerSettings settings;
    settings.port = 0;
    return settings;
}

void serveWhileClientRuns(WebSocketViewModel& server,
                          const std::function<void(quint16 port)>& client)
{
    std::thread thread;
    QObject::connect(&server, &WebSocketViewModel::serverStatusChanged, &server, [&] {
        if (!server.serverStatus().startsWith(u"Server ready") || thread.joinable())
            return;
        thread = std::thread([&, port = server.listeningPort()] {
            pinToCore(0);
            client(port);
            QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                      Qt::QueuedConnection);
        });
    });
    server.startServer();
    QCoreApplication::exec();
    if (thread.joinable())
        thread.join();
}

ServerThread::ServerThread(EventLayer& events, DiagnosticLog& log)
{
    thread_.start();
    host_.moveToThread(&thread_);
    run([&] {
        server_ = std::make_unique<WebSocketViewModel>(events, log, onAnyPort());
        server_->startServer();
        port_ = server_->listeningPort();
    });
}

ServerThread::~ServerThread()
{
    run([this] { server_.reset(); });
    thread_.quit();
    thread_.wait();
}

void ServerThread::run(const std::function<void()>& work)
{
    QMetaObject::invokeMethod(&host_, work, Qt::BlockingQueuedConnection);
}

HandshakeFigures handshakesBesideFloor(int fd, QByteArray& buffer, EchoFloor& floor, int samples,
                                       bool& ok)
{
    const QByteArray hsk = RawWebSocket::clientFrame("hsk");
    std::vector<double> floorRtts;
    std::vector<double> rtts;
    for (int i = 0; i < samples && ok; ++i) {
        floorRtts.push_back(floor.roundTrip(hsk));
        const auto start = Clock::now();
        ok = writeAll(fd, hsk) && readUntilText(fd, buffer, "HSK_DONE");
        rtts.push_back(micros(Clock::now() - start));
    }
    return {percentiles(floorRtts), percentiles(rtts)};
}

Percentiles keysToEventLayer(int fd, QByteArray& buffer, const std::atomic<Clock::rep>& lastPost,
                             int samples, bool& ok)
{
    const QByteArray hsk = RawWebSocket::clientFrame("hsk");
    const QByteArray press = RawWebSocket::clientFrame("w");
    const QByteArray release = RawWebSocket::clientFrame("-w");
    std::vector<double> keys;
    for (int i = 0; i < samples && ok; ++i) {
        const auto start = Clock::now();
        ok = writeAll(fd, i % 2 ? release : press) && writeAll(fd, hsk) &&
             readUntilText(fd, buffer, "HSK_DONE");
        const Clock::time_point posted(Clock::duration(lastPost.load(std::memory_order_acquire)));
        keys.push_back(micros(posted - start));
    }
    return percentiles(keys);
}
