// SPDX-License-Identifier: MIT
#include "runwindow.h"

#include "commandline.h"
#include "motor/coiloutput.h"
#include "motor/steppingclock.h"
#include "quitsignals.h"
#include "report.h"
#include "window/form1.h"

#include <QApplication>
#include <cerrno>
#include <cstring>

#ifndef STEPPER_DIAL_VERSION
#define STEPPER_DIAL_VERSION "0"
#endif

namespace {

CoilPort* fatalPort = nullptr;

// Qt ends the process after a fatal message (no display, for one): coils off first.
void ReportQtMessage(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtFatalMsg && fatalPort)
        CoilOutput(*fatalPort).DeenergiseCoils();
    if (type != QtDebugMsg && type != QtInfoMsg)
        Report(text.toStdString());
}

} // namespace

int RunOperatorWindow(CoilPort& port, const CommandLine& commandLine, char* argv0)
{
    fatalPort = &port;
    qInstallMessageHandler(ReportQtMessage);
    int qtArgc = 1;
    char* qtArgv[] = {argv0, nullptr};
    QApplication app(qtArgc, qtArgv);
    QApplication::setApplicationName(QString::fromUtf8(ProgramName.data(), ProgramName.size()));
    QApplication::setApplicationVersion(STEPPER_DIAL_VERSION);
    auto clock = MakeSteppingClock();
    if (!clock) {
        Report(std::string("cannot create the stepping clock (timerfd): ") + std::strerror(errno) +
               "; is this a Linux kernel with timerfd and eventfd?");
        CoilOutput(port).DeenergiseCoils();
        return 1;
    }
    Form1 form(port, std::move(clock), commandLine.listener);
    if (!form.Form_Load()) {
        Report("cannot listen on TCP port " + std::to_string(form.Winsock1().LocalPort()) + ": " +
               form.ListenError().toStdString());
        form.ShutDown();
        return 1;
    }
    Report(form.Drive().StartThread());
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::QuitRequested, &app, &QApplication::quit);

    form.show();
    form.activateWindow();
    const int status = app.exec();
    form.ShutDown();
    return status;
}
