// SPDX-License-Identifier: MIT
#include "devicenames.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <dirent.h>

bool IsDecimalDigits(std::string_view text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<unsigned> NumberAfter(std::string_view name, std::string_view prefix)
{
    if (name.substr(0, prefix.size()) != prefix || !IsDecimalDigits(name.substr(prefix.size())))
        return std::nullopt;
    unsigned number = 0;
    const auto [end, error] =
        std::from_chars(name.data() + prefix.size(), name.data() + name.size(), number);
    if (error != std::errc() || end != name.data() + name.size())
        return std::nullopt;
    return number;
}

bool NumberedNameLess(const std::string& a, const std::string& b)
{
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

std::optional<std::vector<std::string>> ListDirectory(const std::string& path)
{
    DIR* dir = opendir(path.c_str());
    if (!dir)
        return std::nullopt;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    }
    closedir(dir);
    return names;
}

std::string Hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}
