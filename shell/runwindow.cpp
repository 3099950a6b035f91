// SPDX-License-Identifier: MIT
#include "runwindow.h"

#include "commandline.h"
#include "fatalerror.h"
#include "motor/coiloutput.h"
#include "motor/steppingclock.h"
#include "quitsignals.h"
#include "realtimekit.h"
#include "report.h"
#include "servicenotifier.h"
#include "window/form1.h"

#include <QApplication>
#include <QIcon>
#include <cerrno>
#include <cstring>

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
    QApplication::setApplicationVersion(ProgramVersion);
    // Docks match the window to its launcher by this id; the icon is the launcher's.
    QGuiApplication::setDesktopFileName(ApplicationId);
    QApplication::setWindowIcon(
        QIcon::fromTheme(ApplicationId, QIcon(":/" + QString::fromLatin1(ApplicationId) + ".svg")));
    auto clock = MakeSteppingClock();
    if (!clock) {
        CoilOutput(port).DeenergiseCoils();
        ReportFatal(std::string("cannot create the stepping clock (timerfd): ") +
                    std::strerror(errno) + "; is this a Linux kernel with timerfd and eventfd?");
        return 1;
    }
    Form1 form(port, std::move(clock), commandLine.listener);
    if (!form.Form_Load()) {
        form.ShutDown();
        ReportFatal("cannot listen on TCP port " + std::to_string(form.Winsock1().LocalPort()) +
                    ": " + form.ListenError().toStdString());
        return 1;
    }
    RealtimeKit realtimeKit;
    Report(form.Drive().StartThread(&realtimeKit));

    ServiceNotifier service(form.Drive());
    const std::string driving = "driving " + port.Name() + "; ";
    const auto waiting = [&] {
        return driving + "waiting for a client on TCP port " +
               std::to_string(form.Winsock1().LocalPort());
    };
    QObject::connect(&form.Winsock1(), &CommandListener::ClientConnected, &service, [&] {
        service.Status(driving + "client " +
                       form.Winsock1().PeerAddress().toString().toStdString() + " connected");
    });
    QObject::connect(&form.Winsock1(), &CommandListener::ClientEnded, &service,
                     [&] { service.Status(waiting()); });
    service.Ready(waiting());

    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::QuitRequested, &app, &QApplication::quit);

    form.show();
    form.activateWindow();
    const int status = app.exec();
    form.ShutDown();
    return status;
}
