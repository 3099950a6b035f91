// SPDX-License-Identifier: MIT
// The stepping thread asks for real-time scheduling where the process may have it (root,
// CAP_SYS_NICE or an RLIMIT_RTPRIO), and runs at normal priority elsewhere.
#pragma once

#include <string>
#include <thread>

// A modest priority: above every normal task, below the kernel's own interrupt threads.
inline constexpr int SteppingPriority = 20;

// Returns one line for standard error: real-time or not, and how to allow it.
std::string MakeRealTime(std::thread& thread);
