// SPDX-License-Identifier: MIT
// The one shape of a step that can fail, in every folder: nothing when it went well, else a
// Failure, the line for standard error (what failed, why, what to do) and the status the
// program ends with where the failure ends it.
#pragma once

#include "exitstatus.h"

#include <optional>
#include <string>

struct Failure {
    std::string line;
    ExitStatus status = ExitStatus::StartUp;
};

// Empty: done.
using Outcome = std::optional<Failure>;

// A bad command line: the line (std::string, or Qt's text) and the usage status.
template <class Text> Failure UsageFailure(const Text& line)
{
    if constexpr (requires { line.toStdString(); })
        return {line.toStdString(), ExitStatus::Usage};
    else
        return {std::string(line), ExitStatus::Usage};
}
