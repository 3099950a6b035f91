// SPDX-License-Identifier: MIT
// stepper-dial: the command line, the choice of coil output, then the core with its window
// or headless.
#include "base/exitstatus.h"
#include "base/report.h"
#include "commandline.h"
#include "fatalerror.h"
#include "output/portchoice.h"
#include "output/portlist.h"
#include "quitsignals.h"
#include "runprogram.h"
#include "windowloader.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    arguments[0] = QString::fromUtf8(ProgramName.data(), ProgramName.size());
    const CommandLine commandLine = ReadCommandLine(arguments);
    switch (commandLine.action) {
    case CommandLine::Action::UsageError:
        ReportFatal(commandLine.text.toStdString() + " See stepper-dial --help.", nullptr);
        return ToInt(ExitStatus::Usage);
    case CommandLine::Action::ShowHelp:
        std::fputs(qPrintable(commandLine.text), stdout);
        return ToInt(ExitStatus::Normal);
    case CommandLine::Action::ShowVersion:
        std::printf("%s %s\n", ProgramName.data(), ProgramVersion);
        return ToInt(ExitStatus::Normal);
    case CommandLine::Action::ListPorts: {
        LinuxPortKernel kernel;
        std::fputs(ListPorts(kernel, *MakeGpioChips()).c_str(), stdout);
        return ToInt(ExitStatus::Normal);
    }
    case CommandLine::Action::Run: break;
    }

    // A trace reader that goes away must not kill the program that drives the motor.
    std::signal(SIGPIPE, SIG_IGN);
    // From here a quit signal ends the run through the exit path, which switches the coils off.
    CatchQuitSignals();

    // The window's module only where a window is wanted: a headless run maps no GUI library.
    WindowFront* front = nullptr;
    if (!commandLine.headless) {
        std::string why;
        front = LoadWindowFront(why);
        if (!front)
            Report("cannot load the window: " + why + "; running headless");
    }

    // The output before the window: one named but unavailable ends the run, with or without
    // a display, before port 3000 is ever opened.
    LinuxPortKernel kernel;
    const auto gpioChips = MakeGpioChips();
    PortAttempt choice = ChoosePort(kernel, *gpioChips, commandLine.output, STDOUT_FILENO);
    if (!choice.port) {
        ReportFatal(choice.why, front);
        return ToInt(ExitStatus::Hardware);
    }
    Report(choice.why);
    return RunProgram(*choice.port, commandLine, front, argv[0]);
}
