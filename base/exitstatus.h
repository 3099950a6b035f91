// SPDX-License-Identifier: MIT
// The program's exit statuses, one set for main, the help text, the README and the man page.
// The service does not restart after Usage, Hardware or Clock: none of them mends itself.
#pragma once

enum class ExitStatus : int {
    Normal = 0,
    // The program's own start-up failed: TCP port 3000 could not be opened, or another
    // program keeps the position file.
    StartUp = 1,
    // A bad command line, or a --state path that is not a regular file.
    Usage = 2,
    // The output named by --port or --gpio could not be had, or the MQTT broker refused the
    // credentials at its first answer.
    Hardware = 3,
    // The kernel gave no stepping clock (timerfd, eventfd).
    Clock = 4,
};

constexpr int ToInt(ExitStatus status)
{
    return static_cast<int>(status);
}
