#include "runwindow.h"

#include "quitsignals.h"
#include "window/form1.h"

#include <QApplication>
#include <cstdio>

int RunOperatorWindow(QApplication& app, Form1& form, const char* programName)
{
    if (!form.Form_Load()) {
        std::fprintf(stderr, "%s: cannot listen on TCP port %u: %s\n", programName,
                     unsigned(form.Winsock1().LocalPort()), qPrintable(form.ListenError()));
        return 1;
    }
    std::fprintf(stderr, "%s\n", form.Drive().StartThread().c_str());
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::QuitRequested, &app, &QApplication::quit);

    form.show();
    form.activateWindow();
    const int status = app.exec();
    form.ShutDown();
    return status;
}
