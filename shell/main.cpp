// SPDX-License-Identifier: MIT
// stepper-dial: the command line, the choice of coil output, then the core with its window
// or headless.
#include "base/exitstatus.h"
#include "base/report.h"
#include "commandline.h"
#include "fatalerror.h"
#include "latencyreport.h"
#include "mqtt/discoveryremoval.h"
#include "output/gpioswitch.h"
#include "output/pinswitch.h"
#include "output/portchoice.h"
#include "output/portlist.h"
#include "quitsignals.h"
#include "runprogram.h"
#include "windowloader.h"

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Started with standard input, output or error closed, the first descriptors the program
// opens would take their numbers, and trace lines or reports would go into them.
void OpenClosedStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF && ::open("/dev/null", O_RDWR) < 0)
            std::_Exit(ToInt(ExitStatus::StartUp));
}

// Help, version and the port list: a failed write (a full disk, a closed pipe) is a failure.
int Print(const std::string& text)
{
    if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        Report(std::string("cannot write to standard output: ") + std::strerror(errno));
        return ToInt(ExitStatus::StartUp);
    }
    return ToInt(ExitStatus::Normal);
}

// Each page, waiting client and file is a descriptor; a soft limit left at the usual 1024
// while the hard one allows more would let a crowd at the web page starve port 3000.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    constexpr rlim_t enough = 65536;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 &&
        limit.rlim_cur < std::min(limit.rlim_max, enough)) {
        limit.rlim_cur = std::min(limit.rlim_max, enough);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The home switch's level now, for --list-ports, read as a run would read it.
std::string HomeSwitchLevel(PortKernel& kernel, GpioChips& chips, const CommandLine& line)
{
    const HomeRequest& home = line.home;
    if (home.source != HomeRequest::Source::Gpio && home.source != HomeRequest::Source::Pin)
        return {};
    bool closed = false;
    Opened<SwitchInput> input;
    PortAttempt port;
    if (home.source == HomeRequest::Source::Gpio) {
        input = OpenGpioSwitch(chips, home.chip, home.line, home.activeHigh, closed);
    } else {
        // Opened, never written: the coils keep whatever they had.
        port = ChoosePort(kernel, chips, line.output, -1);
        input = port.port ? OpenPinSwitch(*port.port, home.pin, home.activeHigh, closed)
                          : Opened<SwitchInput>{nullptr, port.why};
    }
    return "Home switch:\n  " +
           (input.port ? input.port->Name() + ": " + (closed ? "closed" : "open") + " now (" +
                             (home.activeHigh ? "high" : "low") + " means closed)"
                       : input.why) +
           "\n";
}

struct FlushReportsAtExit {
    ~FlushReportsAtExit() { FlushReports(); }
};

} // namespace

int main(int argc, char* argv[])
{
    OpenClosedStandardDescriptors();
    const FlushReportsAtExit flush;
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    arguments[0] = QString::fromUtf8(ProgramName.data(), ProgramName.size());
    const CommandLine commandLine = ReadCommandLine(arguments);
    if (commandLine.failure)
        return ReportFatal(*commandLine.failure, nullptr);
    switch (commandLine.action) {
    case CommandLine::Action::ShowHelp: return Print(commandLine.help.toStdString());
    case CommandLine::Action::ShowVersion:
        return Print(std::string(ProgramName) + " " + ProgramVersion + "\n");
    case CommandLine::Action::ListPorts: {
        if (!commandLine.note.isEmpty())
            Report(commandLine.note.toStdString());
        LinuxPortKernel kernel;
        const auto chips = MakeGpioChips();
        return Print(ListPorts(kernel, *chips) + HomeSwitchLevel(kernel, *chips, commandLine));
    }
    case CommandLine::Action::RemoveDiscovery: {
        int appArgc = 1;
        QCoreApplication app(appArgc, argv);
        return ToInt(RemoveDiscovery(commandLine.mqtt, commandLine.mqttCredentials));
    }
    case CommandLine::Action::LatencyTest: {
        if (!commandLine.note.isEmpty())
            Report(commandLine.note.toStdString());
        int appArgc = 1;
        QCoreApplication app(appArgc, argv); // for RealtimeKit's bus
        return RunLatencyTest(commandLine.latencySeconds, commandLine.json);
    }
    case CommandLine::Action::Run: break;
    }

    RaiseDescriptorLimit();
    // A trace reader that goes away must not kill the program that drives the motor.
    std::signal(SIGPIPE, SIG_IGN);
    // From here a quit signal ends the run through the exit path, which switches the coils off.
    CatchQuitSignals();

    // The window's module only where a window is wanted: a headless run maps no GUI library.
    WindowFront* front = nullptr;
    if (!commandLine.headless)
        if (Outcome failed = LoadWindowFront(front))
            Report("cannot load the window: " + failed->line + "; running headless");

    // The output before the window: one named but unavailable ends the run, with or without
    // a display, before port 3000 is ever opened.
    LinuxPortKernel kernel;
    const auto gpioChips = MakeGpioChips();
    PortAttempt choice = ChoosePort(kernel, *gpioChips, commandLine.output, STDOUT_FILENO);
    if (!choice.port) {
        return ReportFatal({choice.why, ExitStatus::Hardware}, front);
    }
    Report(choice.why);
    bool closed = false;
    Opened<SwitchInput> homeSwitch;
    const HomeRequest& home = commandLine.home;
    if (home.source == HomeRequest::Source::Gpio)
        homeSwitch = OpenGpioSwitch(*gpioChips, home.chip, home.line, home.activeHigh, closed);
    else if (home.source == HomeRequest::Source::Pin)
        homeSwitch = OpenPinSwitch(*choice.port, home.pin, home.activeHigh, closed);
    if (home.source == HomeRequest::Source::Gpio || home.source == HomeRequest::Source::Pin) {
        if (!homeSwitch.port)
            return ReportFatal({homeSwitch.why, ExitStatus::Hardware}, front);
        Report(homeSwitch.port->Name() + ": " + (closed ? "closed" : "open") + " now");
    }
    return RunProgram(*choice.port, homeSwitch.port.get(), commandLine, front, argv[0]);
}
