// SPDX-License-Identifier: MIT
// The window module's entry point: the QApplication, Form1 over the core, and the message
// box for a fatal start-up error.
#include "windowfront.h"

#include "base/programinfo.h"
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

QString ProgramTitle()
{
    return QString::fromUtf8(ProgramName.data(), ProgramName.size());
}

class DesktopFront final : public WindowFront {
public:
    std::unique_ptr<QCoreApplication> MakeApplication(int& argc, char** argv) override
    {
        auto app = std::make_unique<QApplication>(argc, argv);
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
