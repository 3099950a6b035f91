// SPDX-License-Identifier: MIT
// The desktop front end as the program sees it. It is built as a module that the program
// loads only when it is to show a window, so a headless run maps no GUI library at all.
#pragma once

#include <QCoreApplication>
#include <QObject>
#include <memory>
#include <string>

class DialCore;

class WindowFront {
public:
    virtual ~WindowFront() = default;
    // A QApplication, named and with the window icon and the desktop id.
    virtual std::unique_ptr<QCoreApplication> MakeApplication(int& argc, char** argv) = 0;
    // Form1 over the core, shown; the window lives as long as the returned object.
    virtual std::unique_ptr<QObject> ShowWindow(DialCore& core) = 0;
    // A fatal start-up error in a message box, where a real display is there; a program
    // started from a menu has a standard error nobody reads.
    virtual void ShowFatal(const std::string& line) = 0;
};

// The module's one entry point, looked up by name.
extern "C" WindowFront* StepperDialWindowFront();
inline constexpr const char* WindowFrontSymbol = "StepperDialWindowFront";
inline constexpr const char* WindowModuleFile = "stepper-dial-window.so";
