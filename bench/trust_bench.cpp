// Loopback benchmark of pairing state: 400 pairings with the secret (as one
// page pairing again and again), the paired devices kept afterwards, and the
// time from a token reconnect's connect to its HSK_DONE with the store full.
// The settings go to a temporary directory.
// Run: build/.../bench/kestrelio_trust_bench
#include "BenchSupport.h"
#include "RawWebSocket.h"
#include "common/DiagnosticLog.h"
#include "input/EventLayer.h"
#include "server/WebSocketViewModel.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kPairings = 400;
constexpr int kReconnects = 2000;

// Upgrades with `query`, shakes hands, and returns the device token the
// server sent, if any; empty also when anything failed (`ok` says which).
QByteArray connectAndShake(quint16 port, const QByteArray& query, bool& ok)
{
    const int fd = connectLoopback(port);
    ok = fd >= 0 &&
         writeAll(
             fd,
             RawWebSocket::upgradeRequest("127.0.0.1").replace("GET / ", "GET /?" + query + ' '));
    QByteArray received;
    char chunk[4096];
    // The handshake goes once the upgrade is answered, as a browser sends it.
    bool shaken = false;
    for (int reads = 0; ok && reads < 100 && !received.contains("HSK_DONE"); ++reads) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        ok = n > 0;
        if (ok)
            received.append(chunk, n);
        if (ok && !shaken && received.contains("\r\n\r\n"))
            ok = shaken = writeAll(fd, RawWebSocket::clientFrame("hsk"));
    }
    ok = ok && received.startsWith("HTTP/1.1 101") && received.contains("HSK_DONE");
    if (fd >= 0)
        ::close(fd);
    const qsizetype device = received.indexOf("DEVICE ");
    return device < 0 ? QByteArray() : received.mid(device + 7, 22);
}

struct Results
{
    Percentiles pairing{};
    Percentiles reconnect{};
    bool ok = true;
};

} // namespace

int main(int argc, char* argv[])
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    DrainedStdout output;
    if (!output.isReady() || !config.isValid())
        return 1;
    FILE* report = output.report();

    QCoreApplication app(argc, argv);
    pinToCore(1);
    NullEventLayer events;
    StdoutLog log;
    WebSocketViewModel model(events, log, onAnyPort());
    Results results;
    // Starting the server keeps the secret; only a restart makes a new one.
    const QByteArray secret = model.trust().pairingSecret();
    serveWhileClientRuns(model, [&](quint16 port) {
        std::vector<double> pairing;
        std::vector<QByteArray> tokens;
        QByteArray token;
        for (int i = 0; i < kPairings && results.ok; ++i) {
            const auto start = Clock::now();
            token = connectAndShake(port, "pair=" + secret, results.ok);
            pairing.push_back(micros(Clock::now() - start));
            tokens.push_back(token);
        }
        if (tokens.size() < size_t(TrustStore::kMaxEntries))
            results.ok = false;
        else
            tokens.erase(tokens.begin(), tokens.end() - TrustStore::kMaxEntries);
        std::vector<double> reconnect;
        for (int i = 0; i < kReconnects && results.ok; ++i) {
            const auto start = Clock::now();
            connectAndShake(port, "device=" + tokens[size_t(i) % tokens.size()], results.ok);
            reconnect.push_back(micros(Clock::now() - start));
        }
        results.pairing = percentiles(pairing);
        results.reconnect = percentiles(reconnect);
    });
    const qsizetype kept = model.trust().store().devices().size();
    output.finish();

    std::fprintf(report, "Kestrelio pairing state benchmark (loopback, %d cores)\n",
                 int(std::thread::hardware_concurrency()));
    std::fprintf(report,
                 "  %d pairings, connect -> HSK_DONE   p50 %7.2f ms   p99 %7.2f ms   max %7.2f "
                 "ms; %lld paired devices kept\n",
                 kPairings, results.pairing.p50 / 1000, results.pairing.p99 / 1000,
                 results.pairing.max / 1000, static_cast<long long>(kept));
    std::fprintf(report,
                 "  %d token reconnects with %lld paired, connect -> HSK_DONE   p50 %7.2f ms   "
                 "p99 %7.2f ms   max %7.2f ms\n",
                 kReconnects, static_cast<long long>(kept), results.reconnect.p50 / 1000,
                 results.reconnect.p99 / 1000, results.reconnect.max / 1000);
    return results.ok && kept <= TrustStore::kMaxEntries ? 0 : 1;
}
