#include "TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTest>

#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <memory>
#include <unistd.h>

// The program on a real kernel's uinput, read back through evdev. This
// machine's kernel has none, so run-in-guest.sh runs this test inside QEMU.
class KernelTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void keysReachTheKernelKeyboard();
    void cleanupTestCase();

private:
    bool programSays(const QByteArray& text);

    // The real program, headless, as a user starts it.
    QProcess program;
    QByteArray programOutput;
};

namespace {

const QUrl kServer(QStringLiteral("ws://127.0.0.1:3330"));

// One /dev/input/event* node, opened without blocking, with what libevdev
// makes of it.
class EvdevNode
{
public:
    // The node of the input device called `name`, or none.
    static std::unique_ptr<EvdevNode> named(const QByteArray& name)
    {
        const QDir directory(QStringLiteral("/dev/input"));
        for (const QString& entry : directory.entryList({QStringLiteral("event*")}, QDir::System)) {
            auto node = std::make_unique<EvdevNode>(directory.filePath(entry));
            if (node->device && node->name() == name)
                return node;
        }
        return nullptr;
    }

    explicit EvdevNode(const QString& path)
        : path(path), fd(::open(qPrintable(path), O_RDWR | O_NONBLOCK | O_CLOEXEC))
    {
        if (fd >= 0 && libevdev_new_from_fd(fd, &device) != 0)
            device = nullptr;
    }
    ~EvdevNode()
    {
        libevdev_free(device);
        if (fd >= 0)
            ::close(fd);
    }
    EvdevNode(const EvdevNode&) = delete;
    EvdevNode& operator=(const EvdevNode&) = delete;

    QByteArray name() const { return libevdev_get_name(device); }

    // Whether `code` reaches `value` within the time, reading all on the way.
    bool waitFor(unsigned type, unsigned code, int value, int timeoutMs = 5000)
    {
        return QTest::qWaitFor(
            [&] {
                input_event event;
                int status;
                while ((status = libevdev_next_event(device, LIBEVDEV_READ_FLAG_NORMAL, &event)) ==
                       LIBEVDEV_READ_STATUS_SUCCESS) {
                    if (event.type == type && event.code == code && event.value == value)
                        return true;
                }
                return false;
            },
            timeoutMs);
    }

    const QString path;
    const int fd;
    libevdev* device = nullptr;
};

} // namespace

// Under TCG the program starts in seconds, not milliseconds.
bool KernelTest::programSays(const QByteArray& text)
{
    (void)QTest::qWaitFor(
        [&] {
            programOutput += program.readAllStandardOutput();
            return programOutput.contains(text) || program.state() == QProcess::NotRunning;
        },
        30000);
    return programOutput.contains(text);
}

void KernelTest::initTestCase()
{
    QVERIFY2(QFile::exists(QStringLiteral("/dev/uinput")),
             "no /dev/uinput: run this test through tests/kernel/run-in-guest.sh");
    QVERIFY2(::geteuid() == 0, "the test opens input devices: run it as root");
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(QStringLiteral(KESTRELIO_BINARY), {QStringLiteral("--headless")});
    QVERIFY2(programSays("Server ready on port 3330\n"), programOutput.constData());
    QVERIFY2(programOutput.contains("Input backend: uinput"), programOutput.constData());
}

// "w" is KEY_W on the program's own keyboard, going down and up again.
void KernelTest::keysReachTheKernelKeyboard()
{
    const std::unique_ptr<EvdevNode> keyboard = EvdevNode::named("Kestrelio virtual keyboard");
    QVERIFY(keyboard);
    TestClient phone(kServer);
    QVERIFY(phone.sync());
    phone.send(QStringLiteral("w"));
    QVERIFY(keyboard->waitFor(EV_KEY, KEY_W, 1));
    phone.send(QStringLiteral("-w"));
    QVERIFY(keyboard->waitFor(EV_KEY, KEY_W, 0));
}

void KernelTest::cleanupTestCase()
{
    program.terminate();
    QVERIFY(program.waitForFinished(10000));
    programOutput += program.readAllStandardOutput();
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

QTEST_GUILESS_MAIN(KernelTest)
#include "tst_kernel.moc"
