// SPDX-License-Identifier: MIT
#include "windowloader.h"

#include "window/windowfront.h"

#include <QLibrary>
#include <filesystem>
#include <system_error>

Outcome LoadWindowFront(WindowFront*& front)
{
    front = nullptr;
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return Failure{"cannot tell where the program is (/proc/self/exe: " + error.message() +
                       ")"};
    const std::filesystem::path places[] = {self.parent_path() / WindowModuleFile,
                                            self.parent_path().parent_path() / STEPPER_MODULE_DIR /
                                                WindowModuleFile};
    for (const std::filesystem::path& place : places) {
        if (!std::filesystem::exists(place, error))
            continue;
        // Never unloaded: the window's code runs until the process ends.
        QLibrary module(QString::fromStdString(place.string()));
        using Entry = WindowFront* (*)();
        if (auto entry = reinterpret_cast<Entry>(module.resolve(WindowFrontSymbol))) {
            front = entry();
            return {};
        }
        return Failure{module.errorString().toStdString()};
    }
    return Failure{std::string(WindowModuleFile) + " is in neither " +
                   places[0].parent_path().string() + " nor " + places[1].parent_path().string() +
                   " (reinstall the package, or start with --headless)"};
}
