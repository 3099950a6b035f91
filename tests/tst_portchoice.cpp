// SPDX-License-Identifier: MIT
// Which output drives the coils, and what the operator is told, with the kernel and the GPIO
// chips faked: parallel ports as /proc shows them, ppdev's ioctls, raw I/O, libgpiod. The
// real drivers are exercised by the kernel stage (tests/kernel/).
#include "motor/coiloutput.h"
#include "output/portchoice.h"
#include "output/portlist.h"

#include <QtTest>
#include <cerrno>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <map>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// A machine: its parallel ports (number -> base-addr as the kernel writes it) and who holds
// them, what opening each device gives (a descriptor or -errno), and raw I/O. A claim on a
// held port sleeps in the real kernel until the bounded claim gives up: -EINTR here.
struct Machine {
    bool proc = true;
    std::map<int, std::string> bases{{0, "632\t-1\n"}, {1, "888\t1912\n"}};
    std::map<int, std::string> holders{{0, "lp"}};
    std::map<std::string, int> opens{{"/dev/parport1", 7}};
    int claim = 0;
    int write = 0; // what each data write returns
    bool rawIo = true;
    int ioperm = -EPERM;
    std::optional<std::string> lockdown = "[none] integrity confidentiality\n";
    std::string ioports = "0000-0cf7 : PCI Bus 0000:00\n  0000-001f : dma1\n"
                          "  0278-027a : parport0\n  0378-037a : parport1\n  03f8-03ff : serial\n";
};

struct FakeKernel final : PortKernel {
    explicit FakeKernel(Machine m) : machine(std::move(m)) {}
    Machine machine;
    std::vector<std::string> calls;

    std::optional<std::vector<std::string>> ListDirectory(const std::string& path) override
    {
        if (!machine.proc || path != "/proc/sys/dev/parport")
            return std::nullopt;
        std::vector<std::string> names{"default"};
        for (const auto& [number, base] : machine.bases)
            names.push_back("parport" + std::to_string(number));
        return names;
    }
    std::optional<std::string> ReadFile(const std::string& path) override
    {
        if (path == "/sys/kernel/security/lockdown")
            return machine.lockdown;
        if (path == "/proc/ioports")
            return machine.ioports;
        for (const auto& [number, base] : machine.bases) {
            const std::string dir = "/proc/sys/dev/parport/parport" + std::to_string(number);
            if (path == dir + "/base-addr")
                return base;
            if (path == dir + "/modes")
                return std::string("PCSPP,TRISTATE,COMPAT,EPP,ECP\n");
            if (path == dir + "/devices/active")
                return machine.holders.count(number) ? machine.holders.at(number) + "\n"
                                                     : std::string("none\n");
        }
        return std::nullopt;
    }
    // Every /dev/parportN that can be opened (or is refused) is ppdev's node N.
    int StatDevice(const std::string& path, DeviceNode& node) override
    {
        if (path == "/dev/ttyS0") {
            node = {true, 4, 64};
            return 0;
        }
        if (!machine.opens.count(path) || path.rfind("/dev/parport", 0) != 0)
            return -ENOENT;
        node = {true, 99, unsigned(std::stoi(path.substr(12)))};
        return 0;
    }
    int Open(const std::string& path) override
    {
        calls.push_back("open " + path);
        auto it = machine.opens.find(path);
        return it == machine.opens.end() ? -ENOENT : it->second;
    }
    int Ioctl(int fd, unsigned long request, void* arg) override
    {
        // PPDATADIR and PPSETMODE take an int; PPWDATA a byte.
        const auto value = [arg] { return *static_cast<int*>(arg); };
        if (request == PPDATADIR)
            calls.push_back("data lines " + std::string(value() == 0 ? "out" : "in"));
        if (request == PPSETMODE)
            calls.push_back(value() == IEEE1284_MODE_COMPAT ? "mode compat" : "mode other");
        if (request == PPRELEASE)
            calls.push_back("release " + std::to_string(fd));
        if (request == PPWDATA) {
            calls.push_back("data " + std::to_string(*static_cast<unsigned char*>(arg)));
            return machine.write;
        }
        return 0;
    }
    int ClaimWithin(int fd, int) override
    {
        calls.push_back("claim " + std::to_string(fd));
        return machine.claim;
    }
    void Close(int fd) override { calls.push_back("close " + std::to_string(fd)); }
    bool HasRawIo() const override { return machine.rawIo; }
    int Ioperm(unsigned long from, unsigned long count, int on) override
    {
        calls.push_back("ioperm " + std::to_string(from) + " " + std::to_string(count) + " " +
                        std::to_string(on));
        return machine.ioperm;
    }
    void Outb(unsigned char value, unsigned short port) override
    {
        calls.push_back("outb " + std::to_string(value) + " " + std::to_string(port));
    }
    unsigned char Inb(unsigned short) override { return 0x7f; }
};

// One chip, gpiochip0 "pinctrl-bcm2711" with 54 lines, some of them named; records the calls.
struct FakeChips final : GpioChips {
    bool present = true;
    int openError = 0;
    int requestError = 0;
    unsigned busy = 18;
    std::string busyConsumer = "w1-gpio";
    int switchLevel = 1; // the home switch line's, pulled up
    std::vector<std::string> calls;

    struct Chip final : GpioChip {
        explicit Chip(FakeChips& owner) : owner(owner) {}
        FakeChips& owner;
        GpioChipInfo Info() const override
        {
            return {"gpiochip0", "pinctrl-bcm2711", "/dev/gpiochip0", 54, ""};
        }
        int FindLine(const std::string& name) override
        {
            static const std::map<std::string, int> named{
                {"GPIO17", 17}, {"GPIO18", 18}, {"GPIO27", 27}, {"GPIO22", 22}};
            auto it = named.find(name);
            return it == named.end() ? -ENOENT : it->second;
        }
        // Like libgpiod: a free line has no holder; a used one may have no consumer name.
        std::optional<std::string> Holder(unsigned offset) override
        {
            if (offset == owner.busy)
                return owner.busyConsumer.empty() ? "another program" : owner.busyConsumer;
            return std::nullopt;
        }
        int RequestOutputs(const std::array<unsigned, 4>& offsets) override
        {
            owner.calls.push_back("request " + std::to_string(offsets[0]) + "," +
                                  std::to_string(offsets[1]) + "," + std::to_string(offsets[2]) +
                                  "," + std::to_string(offsets[3]) + " initial 0");
            return owner.requestError;
        }
        int SetValues(const std::array<int, 4>& v) override
        {
            owner.calls.push_back("set " + std::to_string(v[0]) + std::to_string(v[1]) +
                                  std::to_string(v[2]) + std::to_string(v[3]));
            return 0;
        }
        int RequestSwitch(unsigned offset) override
        {
            owner.calls.push_back("switch " + std::to_string(offset));
            return owner.switchLevel;
        }
        int ReadSwitch(int level) override { return owner.switchLevel == level; }
        void Release() override { owner.calls.push_back("release"); }
    };

    std::vector<GpioChipInfo> List() override
    {
        if (!present)
            return {};
        return {Chip(*this).Info()};
    }
    Opened<GpioChip> Open(const std::string& text) override
    {
        if (!present || (text != "gpiochip0" && text != "0" && text != "pinctrl-bcm2711"))
            return {nullptr, ChipFailure(text, ENOENT)};
        if (openError)
            return {nullptr, ChipFailure(text, openError)};
        return {std::make_unique<Chip>(*this), ""};
    }
};

OutputRequest Request(const QString& arguments)
{
    OutputRequest request;
    const QStringList words = arguments.split(' ', Qt::SkipEmptyParts);
    if (words.value(0) == "--simulate")
        request.kind = OutputRequest::Kind::Simulate;
    else if (words.value(0) == "--port")
        (void)ReadPortOption(words.value(1).toStdString(), request);
    else if (words.value(0) == "--gpio")
        (void)ReadGpioOption(words.value(1).toStdString(), request);
    return request;
}

} // namespace

Q_DECLARE_METATYPE(Machine)

class TestPortChoice : public QObject {
    Q_OBJECT
private slots:
    void choice_data();
    void choice();
    void ppdevReadiesLinesThenWritesAndReleases();
    void rawIoWritesToItsAddress();
    void writeFailureHandedOutOnce();
    void gpioChoice_data();
    void gpioChoice();
    void gpioBitsDriveTheirLines();
    void badSpecs_data();
    void badSpecs();
    void listing_data();
    void listing();
    void simulatedTraceLines();
};

void TestPortChoice::choice_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<Machine>("machine");
    QTest::addColumn<QString>("backend"); // empty: no output, the program must not start
    QTest::addColumn<QStringList>("mentions");
    const Machine pcie{.bases = {{0, "888\t1912\n"}, {2, "53264\t53248\n"}},
                       .holders = {},
                       .opens = {{"/dev/parport0", 5}, {"/dev/parport2", 9}}};
    const Machine heldByProgram{.holders = {{1, "ppdev1"}}, .ioperm = 0};

    QTest::newRow("ppdev at 0x378")
        << "" << Machine{} << "ppdev /dev/parport1" << QStringList{"ppdev /dev/parport1 at 0x378"};
    QTest::newRow("no parport in /proc")
        << "" << Machine{.proc = false} << "simulated port"
        << QStringList{"/proc/sys/dev/parport missing", "not permitted", "CAP_SYS_RAWIO"};
    QTest::newRow("device node missing")
        << "" << Machine{.opens = {}} << "simulated port"
        << QStringList{"/dev/parport1 missing", "modprobe parport_pc ppdev"};
    QTest::newRow("permission denied")
        << "" << Machine{.opens = {{"/dev/parport1", -EACCES}}} << "simulated port"
        << QStringList{"permission denied", "group lp", "root"};
    QTest::newRow("ppdev not loaded") << "" << Machine{.opens = {{"/dev/parport1", -ENXIO}}}
                                      << "simulated port" << QStringList{"ppdev not loaded"};
    QTest::newRow("held by another program: no claim, no raw I/O")
        << "" << heldByProgram << ""
        << QStringList{"held by ppdev1", "another program", "fuser -v /dev/parport1", "--simulate"};
    QTest::newRow("held by the printer driver")
        << "" << Machine{.holders = {{1, "lp"}}} << ""
        << QStringList{"held by lp", "printer driver", "modprobe -r lp"};
    QTest::newRow("claim does not come through")
        << "" << Machine{.claim = -EINTR, .ioperm = 0} << "" << QStringList{"held by another"};
    QTest::newRow("held for itself alone")
        << "" << Machine{.claim = -ENXIO, .ioperm = 0} << "" << QStringList{"for itself alone"};
    QTest::newRow("falls back to raw I/O")
        << "" << Machine{.opens = {{"/dev/parport1", -EACCES}}, .ioperm = 0} << "raw port I/O"
        << QStringList{"raw port I/O at 0x378", "permission denied"};
    QTest::newRow("ppdev not loaded, the printer driver holds the port: no raw I/O")
        << "" << Machine{.holders = {{1, "lp"}}, .opens = {}, .ioperm = 0} << ""
        << QStringList{"parport1 at 0x378 is claimed by lp", "modprobe -r lp"};
    QTest::newRow("no raw I/O on this processor")
        << "" << Machine{.proc = false, .rawIo = false} << "simulated port"
        << QStringList{"not available on this processor"};
    QTest::newRow("raw I/O under lockdown")
        << "" << Machine{.proc = false, .lockdown = "none [integrity] confidentiality\n"}
        << "simulated port" << QStringList{"lockdown (integrity, Secure Boot)"};
    QTest::newRow("lockdown unreadable")
        << "" << Machine{.proc = false, .lockdown = std::nullopt} << "simulated port"
        << QStringList{"lockdown", "cannot be read"};
    QTest::newRow("other base address only")
        << "" << Machine{.bases = {{2, "8880\n"}}} << "simulated port"
        << QStringList{"no parallel port at 0x378"};
    QTest::newRow("--simulate touches nothing")
        << "--simulate" << Machine{} << "simulated port" << QStringList{"(--simulate)"};

    QTest::newRow("PCIe card by address") << "--port 0xd010" << pcie << "ppdev /dev/parport2"
                                          << QStringList{"ppdev /dev/parport2 at 0xd010"};
    QTest::newRow("by number") << "--port 2" << pcie << "ppdev /dev/parport2"
                               << QStringList{"ppdev /dev/parport2"};
    QTest::newRow("by path") << "--port /dev/parport1" << Machine{} << "ppdev /dev/parport1"
                             << QStringList{"ppdev /dev/parport1"};
    QTest::newRow("path not a ppdev device")
        << "--port /dev/ttyS0" << Machine{} << "" << QStringList{"not a ppdev device"};
    QTest::newRow("address with raw I/O as fallback")
        << "--port 0xe800" << Machine{.ioperm = 0} << "raw port I/O"
        << QStringList{"raw port I/O at 0xe800", "no parallel port at 0xe800"};
    QTest::newRow("addresses hidden: raw I/O refused")
        << "--port 0x3f8"
        << Machine{.ioperm = 0, .ioports = "0000-0000 : PCI Bus 0000:00\n  0000-0000 : serial\n"}
        << "" << QStringList{"who owns 0x3f8 cannot be read", "CAP_SYS_ADMIN"};
    QTest::newRow("device policy, not the file")
        << "" << Machine{.opens = {{"/dev/parport1", -EPERM}}} << "simulated port"
        << QStringList{"not permitted by a device policy", "DeviceAllow=char-ppdev"};
    QTest::newRow("address of another device")
        << "--port 0x3f8" << Machine{.ioperm = 0} << "" << QStringList{"belongs to serial"};
    QTest::newRow("address nowhere") << "--port 0xe800" << Machine{} << ""
                                     << QStringList{"--port 0xe800", "no parallel port at 0xe800",
                                                    "ioperm(0xe800) not permitted"};
    QTest::newRow("address of a held port")
        << "--port 0x378" << heldByProgram << "" << QStringList{"held by ppdev1"};
    QTest::newRow("named port missing")
        << "--port 3" << Machine{} << "" << QStringList{"/dev/parport3 missing", "--list-ports"};
    QTest::newRow("named port not ours")
        << "--port /dev/parport1" << Machine{.opens = {{"/dev/parport1", -EACCES}}, .ioperm = 0}
        << "" << QStringList{"permission denied", "group lp"};
    QTest::newRow("named port held")
        << "--port 1" << heldByProgram << "" << QStringList{"held by ppdev1", "another program"};
}

void TestPortChoice::choice()
{
    QFETCH(QString, request);
    QFETCH(Machine, machine);
    QFETCH(QString, backend);
    QFETCH(QStringList, mentions);
    FakeKernel kernel(machine);
    FakeChips chips;
    PortAttempt choice = ChoosePort(kernel, chips, Request(request), -1);
    const QString message = QString::fromStdString(choice.why);
    QVERIFY(!message.contains('\n'));
    for (const QString& word : mentions)
        QVERIFY2(message.contains(word), qPrintable(message));
    if (backend.isEmpty()) {
        QVERIFY(!choice.port); // never the simulated port in its place
        QVERIFY2(message.startsWith("cannot drive "), qPrintable(message));
    } else {
        QVERIFY(choice.port);
        QCOMPARE(QString::fromStdString(choice.port->Name()), backend);
        QVERIFY(message.startsWith("coil output: "));
    }
    const auto called = [&kernel](const char* call) {
        return std::any_of(kernel.calls.begin(), kernel.calls.end(),
                           [call](const std::string& c) { return c.rfind(call, 0) == 0; });
    };
    if (request == "--simulate")
        QVERIFY(kernel.calls.empty());
    // A held port is never claimed (the claim would sleep) and never written past its driver.
    const bool held = message.contains("held") || message.contains("for itself alone");
    if (held) {
        QVERIFY(!called("outb") && !called("ioperm"));
        QCOMPARE(called("claim"), machine.claim != 0);
    }
    // A descriptor that failed to claim is not leaked.
    if (machine.claim != 0)
        QVERIFY(std::count(kernel.calls.begin(), kernel.calls.end(), "close 7") == 1);
}

void TestPortChoice::ppdevReadiesLinesThenWritesAndReleases()
{
    FakeKernel kernel(
        Machine{.bases = {{0, "888\n"}}, .holders = {}, .opens = {{"/dev/parport0", 5}}});
    FakeChips chips;
    {
        PortAttempt choice = ChoosePort(kernel, chips, OutputRequest{}, -1);
        CoilOutput coils(*choice.port);
        coils.WriteCoilPattern(6);
        coils.WriteCoilPattern(6);
        coils.DeenergiseCoils();
    }
    const std::vector<std::string> expected{"open /dev/parport0",
                                            "claim 5",
                                            "data lines out",
                                            "mode compat",
                                            "data 6",
                                            "data 6",
                                            "data 0",
                                            "release 5",
                                            "close 5"};
    QCOMPARE(kernel.calls, expected);
}

void TestPortChoice::rawIoWritesToItsAddress()
{
    FakeKernel kernel(Machine{.proc = false, .ioperm = 0});
    FakeChips chips;
    PortAttempt choice = ChoosePort(kernel, chips, Request("--port 0xd010"), -1);
    choice.port->WriteDataByte(12);
    const std::vector<std::string> expected{"ioperm 53264 1 1", "outb 12 53264"};
    QCOMPARE(kernel.calls, expected);
}

void TestPortChoice::writeFailureHandedOutOnce()
{
    FakeKernel kernel(Machine{.write = -EIO});
    FakeChips chips;
    PortAttempt choice = ChoosePort(kernel, chips, OutputRequest{}, -1);
    QCOMPARE(choice.port->TakeFailure(), 0);
    choice.port->WriteDataByte(3);
    choice.port->WriteDataByte(6);
    QCOMPARE(choice.port->TakeFailure(), EIO);
    choice.port->WriteDataByte(12);
    QCOMPARE(choice.port->TakeFailure(), 0); // told once, not a line a tick
}

void TestPortChoice::gpioChoice_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("openError");
    QTest::addColumn<int>("requestError");
    QTest::addColumn<QString>("busyConsumer");
    QTest::addColumn<QString>("outcome"); // the port's name, or what the failure names
    QTest::newRow("offsets") << "gpiochip0:17,18,27,22" << 0 << 0 << "w1-gpio"
                             << "GPIO gpiochip0 lines 17,18,27,22";
    QTest::newRow("line names and chip label")
        << "pinctrl-bcm2711:GPIO17,GPIO18,GPIO27,GPIO22" << 0 << 0 << "w1-gpio"
        << "GPIO gpiochip0 lines 17,18,27,22";
    QTest::newRow("chip by number") << "0:4,5,6,7" << 0 << 0 << "w1-gpio"
                                    << "GPIO gpiochip0 lines 4,5,6,7";
    QTest::newRow("no such chip") << "gpiochip9:17,18,27,22" << 0 << 0 << "w1-gpio"
                                  << "no GPIO chip 'gpiochip9'";
    QTest::newRow("chip not ours") << "gpiochip0:17,18,27,22" << EACCES << 0 << "w1-gpio"
                                   << "group gpio";
    QTest::newRow("no such offset")
        << "gpiochip0:17,18,27,99" << 0 << 0 << "w1-gpio"
        << "line 99 does not exist on gpiochip0 (it has 54 lines, 0 to 53)";
    QTest::newRow("no such name") << "gpiochip0:GPIO17,GPIO99,27,22" << 0 << 0 << "w1-gpio"
                                  << "no line named 'GPIO99'";
    QTest::newRow("a line twice") << "gpiochip0:17,GPIO17,27,22" << 0 << 0 << "w1-gpio"
                                  << "given twice";
    QTest::newRow("second line busy") << "gpiochip0:17,18,27,22" << 0 << -EBUSY << "w1-gpio"
                                      << "line 18 is in use by 'w1-gpio'";
    QTest::newRow("busy without a consumer name") << "gpiochip0:17,18,27,22" << 0 << -EBUSY << ""
                                                  << "line 18 is in use by 'another program'";
}

void TestPortChoice::gpioChoice()
{
    QFETCH(QString, text);
    QFETCH(int, openError);
    QFETCH(int, requestError);
    QFETCH(QString, busyConsumer);
    QFETCH(QString, outcome);
    FakeKernel kernel(Machine{});
    FakeChips chips;
    chips.openError = openError;
    chips.requestError = requestError;
    chips.busyConsumer = busyConsumer.toStdString();
    PortAttempt choice = ChoosePort(kernel, chips, Request("--gpio " + text), -1);
    QVERIFY(kernel.calls.empty()); // a GPIO output never touches a parallel port
    if (choice.port) {
        QCOMPARE(QString::fromStdString(choice.port->Name()), outcome);
    } else {
        const QString message = QString::fromStdString(choice.why);
        QVERIFY2(message.startsWith("cannot drive --gpio " + text + ": ") &&
                     message.contains(outcome),
                 qPrintable(message));
    }
}

void TestPortChoice::gpioBitsDriveTheirLines()
{
    FakeKernel kernel(Machine{});
    FakeChips chips;
    {
        PortAttempt choice = ChoosePort(kernel, chips, Request("--gpio gpiochip0:17,18,27,22"), -1);
        CoilOutput coils(*choice.port);
        for (int phase : {0, 1, 2, 3})
            coils.WriteCoilPattern(StepGeometry().CoilPattern(phase));
        coils.DeenergiseCoils();
    }
    // Bit 1 on L0 ... bit 8 on L3: 3, 6, 12, 9, then 0, then the lines let go.
    const std::vector<std::string> expected{"request 17,18,27,22 initial 0",
                                            "set 1100",
                                            "set 0110",
                                            "set 0011",
                                            "set 1001",
                                            "set 0000",
                                            "release"};
    QCOMPARE(chips.calls, expected);
}

void TestPortChoice::badSpecs_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("mention");
    for (const char* text : {"", "16x", "0x", "0xg00", "0x10000", "-1", "parport1", "/dev/"})
        QTest::addRow("--port '%s'", text) << "--port" << text << "";
    // A decimal address is a missing 0x; the lowest addresses are the PC's own controllers.
    QTest::newRow("--port 378") << "--port"
                                << "378"
                                << "did you mean 0x378?";
    QTest::newRow("--port 16") << "--port"
                               << "16"
                               << "in hex, with 0x";
    QTest::newRow("--port 0x11") << "--port"
                                 << "0x11"
                                 << "below 0x100";
    QTest::newRow("--port 0xff") << "--port"
                                 << "0xff"
                                 << "below 0x100";
    for (const char* text :
         {"gpiochip0", "gpiochip0:1,2,3", "gpiochip0:1,2,3,4,5", "gpiochip0:1,,3,4", ":1,2,3,4"})
        QTest::addRow("--gpio '%s'", text) << "--gpio" << text << "";
    for (const char* text : {"gpiochip0:0,1,2,99999999999999999999", "gpiochip0:4294967313,1,2,3"})
        QTest::addRow("--gpio '%s'", text) << "--gpio" << text << "too large";
}

void TestPortChoice::badSpecs()
{
    QFETCH(QString, option);
    QFETCH(QString, text);
    QFETCH(QString, mention);
    OutputRequest request;
    const Outcome failed = option == "--port" ? ReadPortOption(text.toStdString(), request)
                                              : ReadGpioOption(text.toStdString(), request);
    QVERIFY(failed && failed->status == ExitStatus::Usage);
    const QString message = QString::fromStdString(failed->line);
    QVERIFY2(message.startsWith(option + ": ") && message.contains(mention), qPrintable(message));
    if (mention.isEmpty())
        QVERIFY2(message.startsWith(option + ": '" + text + "'"), qPrintable(message));
}

void TestPortChoice::listing_data()
{
    QTest::addColumn<Machine>("machine");
    QTest::addColumn<bool>("chip");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("two ports and a chip")
        << Machine{.opens = {{"/dev/parport0", -EACCES}, {"/dev/parport1", 7}}} << true
        << QStringList{
               "  parport0  /dev/parport0  base 0x278 (base_hi none)  modes "
               "PCSPP,TRISTATE,COMPAT,EPP,ECP  held by lp",
               "    held: the printer driver lp has it; let the print job finish, or unload the "
               "driver: sudo modprobe -r lp",
               "  parport1  /dev/parport1  base 0x378 (base_hi 0x778)",
               "    can be opened",
               "Raw port I/O: possible on this x86 machine as root or with CAP_SYS_RAWIO",
               "  gpiochip0  /dev/gpiochip0  [pinctrl-bcm2711]  54 lines",
               "A plain start would use: ppdev /dev/parport1 at 0x378"};
    QTest::newRow("nothing") << Machine{.proc = false, .rawIo = false} << false
                             << QStringList{"Parallel ports:\n  none",
                                            "Raw port I/O: not available on this processor",
                                            "GPIO chips:\n  none",
                                            "A plain start would use: the simulated port",
                                            "try stepper-dial --simulate"};
    QTest::newRow("port at 0x378 held by a program")
        << Machine{.holders = {{1, "ppdev1"}}} << false
        << QStringList{"held: another program is using the port through ppdev (see it with: "
                       "fuser -v /dev/parport1)",
                       "A plain start would use: nothing: the port at 0x378 is held by ppdev1"};
}

void TestPortChoice::listing()
{
    QFETCH(Machine, machine);
    QFETCH(bool, chip);
    QFETCH(QStringList, lines);
    FakeKernel kernel(machine);
    FakeChips chips;
    chips.present = chip;
    const QString listing = QString::fromStdString(ListPorts(kernel, chips));
    for (const QString& line : lines)
        QVERIFY2(listing.contains(line), qPrintable(listing));
    // A look claims nothing.
    QVERIFY(std::none_of(kernel.calls.begin(), kernel.calls.end(),
                         [](const std::string& call) { return call.rfind("claim", 0) == 0; }));
}

void TestPortChoice::simulatedTraceLines()
{
    FakeKernel kernel(Machine{});
    FakeChips chips;
    int pipeFds[2];
    QCOMPARE(::pipe(pipeFds), 0);
    PortAttempt choice = ChoosePort(kernel, chips, Request("--simulate"), pipeFds[1]);
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
