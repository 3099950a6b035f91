// SPDX-License-Identifier: MIT
// The program's exit statuses, one set for main, the help text and the man page.
// The service does not restart after Usage, Hardware or Clock: none of them mends itself.
#pragma once

enum class ExitStatus : int {
    Normal = 0,
    // The program's own start-up failed: TCP port 3000 or a --web port could not be opened,
    // another program keeps the position file, the help or the port list could not be
    // written, or --mqtt-discovery remove found no broker or was refused by it.
    StartUp = 1,
    // A bad command line: an option or value, a --state path that is not a regular file, an
    // MQTT setting libmosquitto rejects, a credentials file every user can read.
    Usage = 2,
    // The output could not be had (the one --port or --gpio names, or the default port held
    // by another program or driver), or the MQTT broker refused the credentials at its
    // first answer.
    Hardware = 3,
    // The kernel gave no stepping clock (timerfd, eventfd).
    Clock = 4,
};

constexpr int ToInt(ExitStatus status)
{
    return static_cast<int>(status);
}
