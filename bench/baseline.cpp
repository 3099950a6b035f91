// stepper-dial on a plain 1 ms Qt::PreciseTimer, for side-by-side figures only.
#include "motor/ports.h"
#include "shell/runwindow.h"
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
    return RunOperatorWindow(app, form, "stepper-dial-baseline");
}
