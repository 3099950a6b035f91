// SPDX-License-Identifier: MIT
// The program's name, version and desktop id, each said once (CMake passes the version and
// the id, the same that name the package and its desktop entry).
#pragma once

#include <string_view>

inline constexpr std::string_view ProgramName = "stepper-dial";
inline constexpr const char* ProgramVersion = STEPPER_DIAL_VERSION;
inline constexpr const char* ApplicationId = STEPPER_APP_ID;
