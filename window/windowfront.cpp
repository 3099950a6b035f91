// SPDX-License-Identifier: MIT
// The window module's entry point: the QApplication, Form1 over the core, and the message
// box for a fatal start-up error.
#include "windowfront.h"

#include "base/report.h"
#include "form1.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>

namespace {

bool HeadlessPlatform(const QString& name)
{
    return name == "offscreen" || name == "minimal" || name.startsWith("offscreen:") ||
           name.startsWith("minimal:");
}

// Where no platform is named, the display's, else offscreen. True when it set that.
bool FallBackToOffscreen()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return false;
    qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
                                   ? "xcb;offscreen"
                                   : "wayland;xcb;offscreen");
    return true;
}

std::string DisplayName()
{
    const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY");
    const QString x = qEnvironmentVariable("DISPLAY");
    if (!wayland.isEmpty())
        return "WAYLAND_DISPLAY=" + wayland.toStdString();
    return x.isEmpty() ? "DISPLAY and WAYLAND_DISPLAY unset" : "DISPLAY=" + x.toStdString();
}

QString ProgramTitle()
{
    return QString::fromUtf8(ProgramName.data(), ProgramName.size());
}

class DesktopFront final : public WindowFront {
public:
    std::unique_ptr<QCoreApplication> MakeApplication(int& argc, char** argv) override
    {
        // A display that cannot be reached must not abort the program that drives the motor:
        // Qt falls back to the offscreen platform, and one line says so.
        const bool fallback = FallBackToOffscreen();
        auto app = std::make_unique<QApplication>(argc, argv);
        if (fallback && QGuiApplication::platformName() == "offscreen")
            Report("no display could be reached (" + DisplayName() +
                   "); the window runs offscreen, clients command the motor as ever "
                   "(start with --headless where no display is wanted)");
        // Docks match the window to its launcher by this id; the icon is the launcher's.
        QGuiApplication::setDesktopFileName(ApplicationId);
        QApplication::setWindowIcon(QIcon::fromTheme(
            ApplicationId, QIcon(":/" + QString::fromLatin1(ApplicationId) + ".svg")));
        return app;
    }

    std::unique_ptr<QObject> ShowWindow(DialCore& core) override
    {
        auto form = std::make_unique<Form1>(core);
        form->show();
        form->activateWindow();
        return form;
    }

    void ShowFatal(const std::string& line) override
    {
        std::unique_ptr<QApplication> own;
        if (!QCoreApplication::instance()) {
            const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
            const bool display = !qEnvironmentVariableIsEmpty("DISPLAY") ||
                                 !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
            if (HeadlessPlatform(platform) || (platform.isEmpty() && !display))
                return;
            FallBackToOffscreen();
            static int argc = 1;
            static std::string name(ProgramName);
            static char* argv[] = {name.data(), nullptr};
            own = std::make_unique<QApplication>(argc, argv);
        }
        if (!qobject_cast<QApplication*>(QCoreApplication::instance()) ||
            HeadlessPlatform(QGuiApplication::platformName()))
            return;
        QMessageBox::critical(nullptr, ProgramTitle(), QString::fromStdString(line));
    }
};

} // namespace

extern "C" WindowFront* StepperDialWindowFront()
{
    static DesktopFront front;
    return &front;
}
