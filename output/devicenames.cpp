// SPDX-License-Identifier: MIT
#include "devicenames.h"

#include "coilport.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

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
    return strverscmp(a.c_str(), b.c_str()) < 0;
}

std::optional<std::vector<std::string>> ListDirectory(const std::string& path)
{
    std::error_code error;
    std::filesystem::directory_iterator entries(path, error);
    if (error)
        return std::nullopt;
    std::vector<std::string> names;
    for (const auto& entry : entries)
        names.push_back(entry.path().filename().string());
    return names;
}

std::string DataPortText()
{
    return Hex(DataPort);
}

std::string Hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}
