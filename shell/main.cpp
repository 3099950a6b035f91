// stepper-dial: start-up, the event loop, and a clean exit that leaves the coils off.
#include "commandline.h"
#include "motor/ports.h"
#include "motor/steppingclock.h"
#include "runwindow.h"
#include "window/form1.h"

#include <QApplication>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#ifndef STEPPER_DIAL_VERSION
#define STEPPER_DIAL_VERSION "0"
#endif

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    arguments[0] = "stepper-dial";
    const CommandLine commandLine = ReadCommandLine(arguments);
    switch (commandLine.action) {
    case CommandLine::Action::UsageError:
        std::fprintf(stderr, "stepper-dial: %s See stepper-dial --help.\n",
                     qPrintable(commandLine.text));
        return 2;
    case CommandLine::Action::ShowHelp: std::fputs(qPrintable(commandLine.text), stdout); return 0;
    case CommandLine::Action::ShowVersion:
        std::printf("stepper-dial %s\n", STEPPER_DIAL_VERSION);
        return 0;
    case CommandLine::Action::ListPorts: {
        LinuxPortKernel kernel;
        std::fputs(ListPorts(kernel, *MakeGpioChips()).c_str(), stdout);
        return 0;
    }
    case CommandLine::Action::Run: break;
    }

    // A trace reader that goes away must not kill the program that drives the motor.
    std::signal(SIGPIPE, SIG_IGN);

    // The output before the window: one named but unavailable ends the run, with or without
    // a display, before port 3000 is ever opened.
    LinuxPortKernel kernel;
    const auto gpioChips = MakeGpioChips();
    PortChoice choice = ChoosePort(kernel, *gpioChips, commandLine.output, STDOUT_FILENO);
    std::fprintf(stderr, "%s\n", choice.message.c_str());
    if (!choice.port)
        return 3;

    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName("stepper-dial");
    QApplication::setApplicationVersion(STEPPER_DIAL_VERSION);
    auto clock = MakeSteppingClock();
    if (!clock) {
        std::fprintf(stderr,
                     "stepper-dial: cannot create the stepping clock (timerfd): %s; "
                     "is this a Linux kernel with timerfd and eventfd?\n",
                     std::strerror(errno));
        return 1;
    }
    Form1 form(*choice.port, std::move(clock), commandLine.listener);
    return RunOperatorWindow(app, form, "stepper-dial");
}
