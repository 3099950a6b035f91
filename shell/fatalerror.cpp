// SPDX-License-Identifier: MIT
#include "fatalerror.h"

#include "report.h"

#include <QApplication>
#include <QMessageBox>
#include <memory>
#include <string>

namespace {

bool HeadlessPlatform(const QString& name)
{
    return name == "offscreen" || name == "minimal" || name.startsWith("offscreen:") ||
           name.startsWith("minimal:");
}

} // namespace

void ReportFatal(const std::string& fault)
{
    // A service names its settings file, so the journal line says where to mend the options.
    const QString settings = qEnvironmentVariable("STEPPER_DIAL_SETTINGS");
    const std::string line =
        settings.isEmpty() ? fault
                           : fault + " (edit STEPPER_DIAL_OPTS in " + settings.toStdString() + ")";
    Report(line);
    std::unique_ptr<QApplication> own;
    if (!QApplication::instance()) {
        const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
        const bool display = !qEnvironmentVariableIsEmpty("DISPLAY") ||
                             !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
        if (HeadlessPlatform(platform) || (platform.isEmpty() && !display))
            return;
        // A display that cannot be reached must not turn this error into a crash.
        if (platform.isEmpty())
            qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
                                           ? "xcb;offscreen"
                                           : "wayland;xcb;offscreen");
        static int argc = 1;
        static std::string name(ProgramName);
        static char* argv[] = {name.data(), nullptr};
        own = std::make_unique<QApplication>(argc, argv);
    }
    if (HeadlessPlatform(QGuiApplication::platformName()))
        return;
    QMessageBox::critical(nullptr, QString::fromUtf8(ProgramName.data(), ProgramName.size()),
                          QString::fromStdString(line));
}
