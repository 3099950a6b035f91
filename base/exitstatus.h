// SPDX-License-Identifier: MIT
// The program's exit statuses with what each means: one table for main, the help text and
// the man page (a test holds the man page to it). The service does not restart after Usage,
// Hardware or Clock: none of them mends itself.
#pragma once

#include <array>
#include <string_view>

enum class ExitStatus : int {
    Normal = 0,
    StartUp = 1,
    Usage = 2,
    Hardware = 3,
    Clock = 4,
};

constexpr int ToInt(ExitStatus status)
{
    return static_cast<int>(status);
}

struct ExitStatusMeaning {
    ExitStatus status;
    std::string_view meaning;
};

inline constexpr std::array<ExitStatusMeaning, 5> ExitStatusMeanings{{
    {ExitStatus::Normal, "normal end"},
    {ExitStatus::StartUp,
     "TCP port 3000, a --web or a --metrics port could not be opened (another program holds "
     "it), another program keeps the position file or its lock cannot be used, the help, version, "
     "port list or latency "
     "report could not be written, or --mqtt-discovery remove found no broker, had no answer "
     "or was refused the clearing"},
    {ExitStatus::Usage,
     "bad command line: an option or its value, a --state path that is not a regular file, an "
     "MQTT setting libmosquitto rejects, or a credentials file every user can read"},
    {ExitStatus::Hardware,
     "the output could not be had (the one --port or --gpio names, or the default parallel "
     "port held by another program or driver), or the MQTT broker refused the credentials at "
     "its first answer"},
    {ExitStatus::Clock, "the kernel gives no stepping clock (timerfd and eventfd)"},
}};
