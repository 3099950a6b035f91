// SPDX-License-Identifier: MIT
#include "runprogram.h"

#include "base/exitstatus.h"
#include "base/report.h"
#include "commandline.h"
#include "core/dialcore.h"
#include "fatalerror.h"
#include "motor/coiloutput.h"
#include "motor/simulatedshaft.h"
#include "motor/steppingclock.h"
#include "mqtt/brokerlink.h"
#include "mqtt/mqttfront.h"
#include "quitsignals.h"
#include "realtimekit.h"
#include "servicenotifier.h"
#include "web/webfront.h"
#include "window/windowfront.h"

#include <optional>

namespace {

CoilPort* fatalPort = nullptr;

// Qt ends the process after a fatal message (no display, for one): coils off first.
void ReportQtMessage(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtFatalMsg && fatalPort)
        CoilOutput(*fatalPort).DeenergiseCoils();
    if (type != QtDebugMsg && type != QtInfoMsg)
        Report(text.toStdString());
    if (type == QtFatalMsg)
        FlushReports(std::chrono::milliseconds(500)); // Qt aborts next
}

} // namespace

int RunProgram(CoilPort& port, SwitchInput* homeSwitch, const CommandLine& commandLine,
               WindowFront* front, char* argv0)
{
    fatalPort = &port;
    qInstallMessageHandler(ReportQtMessage);
    int qtArgc = 1;
    char* qtArgv[] = {argv0, nullptr};
    const std::unique_ptr<QCoreApplication> app =
        front ? front->MakeApplication(qtArgc, qtArgv)
              : std::make_unique<QCoreApplication>(qtArgc, qtArgv);
    QCoreApplication::setApplicationName(QString::fromUtf8(ProgramName.data(), ProgramName.size()));
    QCoreApplication::setApplicationVersion(ProgramVersion);
    auto clock = MakeSteppingClock();
    if (!clock) {
        CoilOutput(port).DeenergiseCoils();
        return ReportFatal(NoClockFailure(), front);
    }
    const HomeRequest& home = commandLine.home;
    // With --simulate the switch sits on a simulated shaft behind the port.
    std::optional<SimulatedShaft> shaft;
    if (home.source == HomeRequest::Source::Simulated)
        shaft.emplace(port, commandLine.geometry, home.simulatedDegrees, home.slipEvery);
    DialCore core(shaft ? *shaft : port, std::move(clock), commandLine.listener,
                  commandLine.geometry);
    if (shaft)
        homeSwitch = &shaft->Switch();
    if (homeSwitch)
        core.SetHomeSwitch(*homeSwitch, home.direction, home.degrees);
    if (commandLine.geometry != StepGeometry())
        Report("motor: " + commandLine.geometry.Description());
    // The file first: a second program on it is told so, not that port 3000 is taken.
    if (!commandLine.stateFile.isEmpty()) {
        const PositionMemory::Start start =
            core.RememberPosition(commandLine.stateFile.toStdString());
        if (start.refused)
            return ReportFatal(*start.refused, front);
        Report(start.line);
    }
    if (shaft)
        shaft->Stands(core.PhaseNow());
    if (Outcome failed = core.Start()) {
        core.ShutDown();
        return ReportFatal(*failed, front);
    }
    WebFront web(core, commandLine.web);
    if (Outcome failed = web.Listen()) {
        core.ShutDown();
        return ReportFatal(*failed, front);
    }
    const auto url = [](const WebAddress& at) {
        const QString host = at.address.toString();
        return QString("http://%1:%2/")
            .arg(host.contains(':') ? '[' + host + ']' : host)
            .arg(at.port)
            .toStdString();
    };
    for (const WebAddress& at : web.Addresses())
        Report("web page at " + url(at) + (commandLine.web.readOnly ? " (read-only)" : ""));
    for (const WebAddress& at : web.MetricsAddresses())
        Report("metrics at " + url(at) + "metrics");
    std::unique_ptr<MqttFront> mqtt;
    if (const MqttOptions& options = commandLine.mqtt; options.Enabled()) {
        mqtt = std::make_unique<MqttFront>(
            core, options,
            std::make_unique<BrokerLink>(
                options, commandLine.mqttCredentials, options.ClientId(),
                options.Topic("availability"),
                core.CanHome() ? QList{options.Topic("angle/set"), options.Topic("home/set")}
                               : QList{options.Topic("angle/set")}));
        web.SetMqttConnected([front = mqtt.get()] { return front->IsConnected(); });
        if (Outcome failed = mqtt->Start()) {
            core.ShutDown();
            return ReportFatal(*failed, front);
        }
        // Nothing would ever work with these credentials: the service must not restart on it.
        QObject::connect(mqtt.get(), &MqttFront::CredentialsRefused, app.get(),
                         [&app](const QString& why) {
                             Report(why.toStdString());
                             app->exit(ToInt(ExitStatus::Hardware));
                         });
    }
    if (commandLine.position)
        core.SetCurrentAngle(*commandLine.position); // in reach: the command line checked it
    if (commandLine.speed.Ramps())
        Report("motor speed: " + commandLine.speed.Description());
    core.SetSpeedProfile(commandLine.speed);
    RealtimeKit realtimeKit;
    Report(core.StartStepping(&realtimeKit));
    if (commandLine.headless)
        Report("headless (--headless): no window; clients command the motor over TCP");
    if (home.atStart)
        core.Home();

    ServiceNotifier service(core);
    service.Ready();
    if (mqtt)
        QObject::connect(mqtt.get(), &MqttFront::CommandsRefused, &service,
                         [&service](const QString& why) { service.Note(why.toStdString()); });

    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::QuitRequested, app.get(), &QCoreApplication::quit);
    // A quit signal stops the motor at once even if this thread is stuck, and ends the
    // process if the orderly way below does not come.
    GuardQuit([&core] { core.Halt(); });

    const std::unique_ptr<QObject> window = front ? front->ShowWindow(core) : nullptr;
    const int status = app->exec();
    service.Stopping();
    core.ShutDown();
    if (mqtt)
        mqtt->Stop(); // "offline" once the coils are off
    QuitFinished();
    return status;
}
