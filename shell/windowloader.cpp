// SPDX-License-Identifier: MIT
#include "windowloader.h"

#include "window/windowfront.h"

#include <QLibrary>
#include <filesystem>
#include <system_error>
#include <vector>

WindowFront* LoadWindowFront(std::string& why)
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    std::vector<std::filesystem::path> places;
    if (!error)
        places.push_back(self.parent_path() / WindowModuleFile);
    places.push_back(std::filesystem::path(STEPPER_MODULE_DIR) / WindowModuleFile);
    for (const std::filesystem::path& place : places) {
        if (!std::filesystem::exists(place, error))
            continue;
        // Never unloaded: the window's code runs until the process ends.
        QLibrary module(QString::fromStdString(place.string()));
        using Entry = WindowFront* (*)();
        if (auto entry = reinterpret_cast<Entry>(module.resolve(WindowFrontSymbol)))
            return entry();
        why = module.errorString().toStdString();
        return nullptr;
    }
    why = std::string(WindowModuleFile) + " is in neither " + self.parent_path().string() +
          " nor " + STEPPER_MODULE_DIR + " (reinstall the package)";
    return nullptr;
}
