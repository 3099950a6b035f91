// Which backend drives the coils, and what the operator is told, with the kernel faked.
#include "motor/ports.h"

#include <QtTest>
#include <cerrno>
#include <linux/ppdev.h>
#include <map>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct FakeKernel final : PortKernel {
    bool procPresent = true;
    std::map<std::string, std::string> files; // path -> contents
    std::map<std::string, int> openResult;    // device -> fd or -errno
    int claimResult = 0;
    bool rawIo = true;
    int iopermResult = 0;
    std::vector<std::string> calls;

    std::optional<std::vector<std::string>> ListDirectory(const std::string& path) override
    {
        if (!procPresent || path != "/proc/sys/dev/parport")
            return std::nullopt;
        std::vector<std::string> names{"default"};
        for (const auto& [file, contents] : files)
            names.push_back(file.substr(22, file.find('/', 22) - 22));
        return names;
    }
    std::optional<std::string> ReadFile(const std::string& path) override
    {
        auto it = files.find(path);
        return it == files.end() ? std::nullopt : std::optional(it->second);
    }
    int Open(const std::string& path) override
    {
        calls.push_back("open " + path);
        auto it = openResult.find(path);
        return it == openResult.end() ? -ENOENT : it->second;
    }
    int Ioctl(int fd, unsigned long request, void* arg) override
    {
        if (request == PPCLAIM) {
            calls.push_back("claim " + std::to_string(fd));
            return claimResult;
        }
        if (request == PPRELEASE)
            calls.push_back("release " + std::to_string(fd));
        if (request == PPWDATA)
            calls.push_back("data " + std::to_string(*static_cast<unsigned char*>(arg)));
        return 0;
    }
    void Close(int fd) override { calls.push_back("close " + std::to_string(fd)); }
    bool HasRawIo() const override { return rawIo; }
    int Ioperm(unsigned long from, unsigned long count, int on) override
    {
        calls.push_back("ioperm " + std::to_string(from) + " " + std::to_string(count) + " " +
                        std::to_string(on));
        return iopermResult;
    }
    void Outb(unsigned char value, unsigned short port) override
    {
        calls.push_back("outb " + std::to_string(value) + " " + std::to_string(port));
    }
};

std::string BaseAddr(int n)
{
    return "/proc/sys/dev/parport/parport" + std::to_string(n) + "/base-addr";
}

} // namespace

class TestPortChoice : public QObject {
    Q_OBJECT
private slots:
    void choice_data();
    void choice();
    void ppdevWritesAndReleases();
    void rawIoWritesToDataPort();
    void simulatedTraceLines();
};

void TestPortChoice::choice_data()
{
    QTest::addColumn<int>("scenario");
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QStringList>("mentions");
    QTest::newRow("ppdev at 0x378")
        << 0 << "ppdev /dev/parport1" << QStringList{"ppdev /dev/parport1"};
    QTest::newRow("no parport in /proc")
        << 1 << "simulated port"
        << QStringList{"/proc/sys/dev/parport missing", "not permitted", "CAP_SYS_RAWIO"};
    QTest::newRow("device node missing")
        << 2 << "simulated port" << QStringList{"/dev/parport1 missing", "modprobe ppdev"};
    QTest::newRow("permission denied")
        << 3 << "simulated port" << QStringList{"permission denied", "group lp", "root"};
    QTest::newRow("held by lp") << 4 << "simulated port" << QStringList{"busy", "lp"};
    QTest::newRow("falls back to raw I/O")
        << 5 << "raw port I/O" << QStringList{"ioperm", "permission denied"};
    QTest::newRow("no raw I/O on this processor")
        << 6 << "simulated port" << QStringList{"not available on this processor"};
    QTest::newRow("other base address only")
        << 7 << "simulated port" << QStringList{"no parallel port at 0x378"};
}

void TestPortChoice::choice()
{
    QFETCH(int, scenario);
    QFETCH(QString, backend);
    QFETCH(QStringList, mentions);
    FakeKernel kernel;
    kernel.files[BaseAddr(0)] = "632\t-1\n"; // 0x278: not ours
    kernel.files[BaseAddr(1)] = "888\t1912\n";
    kernel.openResult["/dev/parport1"] = 7;
    kernel.iopermResult = -EPERM;
    switch (scenario) {
    case 1: kernel.procPresent = false; break;
    case 2: kernel.openResult.clear(); break;
    case 3: kernel.openResult["/dev/parport1"] = -EACCES; break;
    case 4: kernel.claimResult = -EBUSY; break;
    case 5:
        kernel.openResult["/dev/parport1"] = -EACCES;
        kernel.iopermResult = 0;
        break;
    case 6:
        kernel.procPresent = false;
        kernel.rawIo = false;
        break;
    case 7:
        kernel.files.erase(BaseAddr(1));
        kernel.files[BaseAddr(2)] = "8880\n";
        break;
    }
    PortChoice choice = ChoosePort(kernel, false, -1);
    QVERIFY(choice.port);
    QCOMPARE(QString::fromStdString(choice.port->Name()), backend);
    const QString message = QString::fromStdString(choice.message);
    QVERIFY(message.startsWith("stepper-dial: coil output: "));
    QVERIFY(!message.contains('\n'));
    for (const QString& word : mentions)
        QVERIFY2(message.contains(word), qPrintable(message));
    // A descriptor that failed to claim is not leaked.
    if (scenario == 4)
        QVERIFY(std::find(kernel.calls.begin(), kernel.calls.end(), "close 7") !=
                kernel.calls.end());
}

void TestPortChoice::ppdevWritesAndReleases()
{
    FakeKernel kernel;
    kernel.files[BaseAddr(0)] = "888\n";
    kernel.openResult["/dev/parport0"] = 5;
    {
        PortChoice choice = ChoosePort(kernel, false, -1);
        choice.port->WriteDataByte(6);
        choice.port->WriteDataByte(6);
        choice.port->WriteDataByte(0);
    }
    const std::vector<std::string> expected{
        "open /dev/parport0", "claim 5", "data 6", "data 6", "data 0", "release 5", "close 5"};
    QCOMPARE(kernel.calls, expected);
}

void TestPortChoice::rawIoWritesToDataPort()
{
    FakeKernel kernel;
    kernel.procPresent = false;
    PortChoice choice = ChoosePort(kernel, false, -1);
    choice.port->WriteDataByte(12);
    const std::vector<std::string> expected{"ioperm 888 1 1", "outb 12 888"};
    QCOMPARE(kernel.calls, expected);
}

void TestPortChoice::simulatedTraceLines()
{
    FakeKernel kernel;
    int pipeFds[2];
    QCOMPARE(::pipe(pipeFds), 0);
    PortChoice choice = ChoosePort(kernel, true, pipeFds[1]);
    QVERIFY(kernel.calls.empty()); // --simulate touches no real backend
    QVERIFY(QString::fromStdString(choice.message).contains("--simulate"));
    for (int value : {0, 3, 9})
        choice.port->WriteDataByte(std::uint8_t(value));
    choice.port.reset(); // the writer thread finishes the trace
    ::close(pipeFds[1]);
    char buffer[512] = {};
    const ssize_t size = ::read(pipeFds[0], buffer, sizeof buffer - 1);
    ::close(pipeFds[0]);
    const QStringList lines =
        QString::fromLatin1(buffer, int(size)).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    const QRegularExpression shape(R"(^port 0x378 <- (\d+) at (\d+)\.(\d{6})$)");
    double previous = 0;
    for (int i = 0; i < 3; ++i) {
        const auto match = shape.match(lines[i]);
        QVERIFY2(match.hasMatch(), qPrintable(lines[i]));
        QCOMPARE(match.captured(1).toInt(), (std::array{0, 3, 9})[i]);
        const double time = (match.captured(2) + "." + match.captured(3)).toDouble();
        QVERIFY(time >= previous);
        previous = time;
    }
}

QTEST_GUILESS_MAIN(TestPortChoice)
#include "tst_portchoice.moc"
