// SPDX-License-Identifier: MIT
#include "report.h"

#include <cerrno>
#include <string>
#include <unistd.h>

void Report(std::string_view line)
{
    std::string text;
    text.reserve(ProgramName.size() + line.size() + 3);
    text.append(ProgramName).append(": ").append(line).push_back('\n');
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t written = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        done += std::size_t(written);
    }
}
