// Loopback benchmark of TLS on the server's port: the hsk -> HSK_DONE round
// trip over TLS and over plain TCP, alternated in one run, and what a TLS
// connection costs before its first HSK_DONE, beside the same for plain.
// Run: build/.../bench/kestrelio_tls_bench
#include "BenchSupport.h"
#include "RawWebSocket.h"
#include "common/DiagnosticLog.h"
#include "input/EventLayer.h"
#include "server/WebSocketViewModel.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <memory>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kRoundTrips = 2000;
constexpr int kConnections = 200;

// One WebSocket client, plain or over TLS (which trusts anything: the
// certificate is not what is measured).
class Client
{
public:
    Client(SSL_CTX* tls, quint16 port) : fd_(connectLoopback(port))
    {
        if (fd_ < 0)
            return;
        if (tls) {
            ssl_.reset(SSL_new(tls));
            if (!ssl_ || SSL_set_fd(ssl_.get(), fd_) != 1 || SSL_connect(ssl_.get()) != 1)
                return;
        }
        ok_ = send(RawWebSocket::upgradeRequest("127.0.0.1")) && receive("\r\n\r\n");
    }
    ~Client()
    {
        ssl_.reset();
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool handshake()
    {
        return ok_ && send(RawWebSocket::clientFrame("hsk")) && receive("HSK_DONE");
    }

private:
    bool send(const QByteArray& bytes)
    {
        if (!ssl_)
            return writeAll(fd_, bytes);
        return SSL_write(ssl_.get(), bytes.constData(), int(bytes.size())) == int(bytes.size());
    }
    // Server frames are unmasked: the text shows as it is.
    bool receive(QByteArrayView text)
    {
        char chunk[4096];
        for (int reads = 0; reads < 100; ++reads) {
            if (const qsizetype at = buffer_.indexOf(text); at >= 0) {
                buffer_.remove(0, at + text.size());
                return true;
            }
            const long n = ssl_ ? SSL_read(ssl_.get(), chunk, sizeof chunk)
                                : ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            buffer_.append(chunk, n);
        }
        return false;
    }

    int fd_;
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl_{nullptr, SSL_free};
    QByteArray buffer_;
    bool ok_ = false;
};

// The server's lines would cost the same with and without TLS.
class QuietLog final : public DiagnosticLog
{
public:
    void writeLine(const QString&) override {}
};

struct Results
{
    Percentiles roundTrip[2];
    Percentiles firstHandshake[2];
    bool ok = true;
};

void measure(quint16 port, Results& results)
{
    const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> tls(SSL_CTX_new(TLS_client_method()),
                                                                SSL_CTX_free);
    SSL_CTX* const kinds[] = {nullptr, tls.get()};
    Client plain(nullptr, port);
    Client secure(tls.get(), port);
    Client* clients[] = {&plain, &secure};
    std::vector<double> samples[2];
    for (int i = 0; i < 2 * kRoundTrips && results.ok; ++i) {
        const auto start = Clock::now();
        results.ok = clients[i % 2]->handshake();
        samples[i % 2].push_back(micros(Clock::now() - start));
    }
    std::vector<double> first[2];
    for (int i = 0; i < 2 * kConnections && results.ok; ++i) {
        const int kind = i / kConnections;
        const auto start = Clock::now();
        results.ok = Client(kinds[kind], port).handshake();
        first[kind].push_back(micros(Clock::now() - start));
    }
    for (int kind = 0; kind < 2; ++kind) {
        results.roundTrip[kind] = percentiles(samples[kind]);
        results.firstHandshake[kind] = percentiles(first[kind]);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    pinToCore(1);
    NullEventLayer events;
    QuietLog log;
    WebSocketViewModel model(events, log, onAnyPort());
    Results results;
    std::thread client;
    QObject::connect(&model, &WebSocketViewModel::tlsChanged, &model, [&] {
        client = std::thread([&, port = model.listeningPort()] {
            pinToCore(0);
            measure(port, results);
            QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
        });
    });
    model.startServer();
    QCoreApplication::exec();
    client.join();

    std::printf("Kestrelio TLS benchmark (loopback, %d cores)\n",
                int(std::thread::hardware_concurrency()));
    const char* const names[] = {"plain", "TLS  "};
    for (int kind = 0; kind < 2; ++kind)
        std::printf("  %s hsk -> HSK_DONE  p50 %7.1f us  p99 %7.1f us;  connect -> first HSK_DONE "
                    " p50 %7.1f us  p99 %7.1f us\n",
                    names[kind], results.roundTrip[kind].p50, results.roundTrip[kind].p99,
                    results.firstHandshake[kind].p50, results.firstHandshake[kind].p99);
    return results.ok ? 0 : 1;
}
