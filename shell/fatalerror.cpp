// SPDX-License-Identifier: MIT
#include "fatalerror.h"

#include "base/report.h"
#include "quitsignals.h"
#include "window/windowfront.h"

#include <cerrno>
#include <cstring>

int ReportFatal(const Failure& failure, WindowFront* front)
{
    const std::string& fault = failure.line;
    const ExitStatus status = failure.status;
    // A service names its settings file, so the journal line says where to mend the options.
    const QString settings = qEnvironmentVariable("STEPPER_DIAL_SETTINGS");
    const std::string line =
        settings.isEmpty() ? fault
                           : fault + " (edit STEPPER_DIAL_OPTS in " + settings.toStdString() + ")";
    Report(line);
    if (!front)
        return ToInt(status);
    // A quit signal closes the message box: the program ends at once, with this status.
    GuardQuit([] {}, std::chrono::milliseconds(0), ToInt(status));
    front->ShowFatal(line);
    return ToInt(status);
}

Failure NoClockFailure()
{
    return {std::string("cannot create the stepping clock (timerfd): ") + std::strerror(errno) +
                "; is this a Linux kernel with timerfd and eventfd?",
            ExitStatus::Clock};
}
