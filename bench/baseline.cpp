// stepper-dial on a plain 1 ms Qt::PreciseTimer, for side-by-side figures only.
#include "motor/ports.h"
#include "shell/quitsignals.h"
#include "shell/steppingclock.h"
#include "window/form1.h"

#include <QApplication>
#include <csignal>
#include <cstdio>
#include <unistd.h>

int main(int argc, char* argv[])
{
    std::signal(SIGPIPE, SIG_IGN);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    (void)argc;
    SimulatedPort port(STDOUT_FILENO);
    std::fprintf(stderr, "stepper-dial-baseline: simulated port, QTimer clock\n");
    Form1 form(port, std::make_unique<QTimerSteppingClock>());
    if (!form.Form_Load()) {
        std::fprintf(stderr, "stepper-dial-baseline: cannot listen on TCP port 3000: %s\n",
                     qPrintable(form.ListenError()));
        return 1;
    }
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::QuitRequested, &app, &QApplication::quit);
    form.show();
    const int status = app.exec();
    form.ShutDown();
    return status;
}
