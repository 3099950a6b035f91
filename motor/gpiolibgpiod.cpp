// The GPIO seam over libgpiod: 1.x (Debian 12 ships 1.6) or the 2.x API where that is installed.
#include "gpio.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>

#ifdef STEPPER_HAVE_LIBGPIOD
#include <gpiod.h>

namespace {

// The gpiochipN entries of /dev, in number order.
std::vector<std::string> DeviceNames()
{
    std::vector<std::string> names;
    if (DIR* dev = opendir("/dev")) {
        while (dirent* entry = readdir(dev))
            if (std::string name = entry->d_name; name.rfind("gpiochip", 0) == 0)
                names.push_back(name);
        closedir(dev);
    }
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return names;
}

using ChipHandle = std::unique_ptr<gpiod_chip, void (*)(gpiod_chip*)>;

#ifndef STEPPER_LIBGPIOD_V2

class LibgpiodChip final : public GpioChip {
public:
    explicit LibgpiodChip(gpiod_chip* chip) : handle_(chip, gpiod_chip_close) {}
    ~LibgpiodChip() override { Release(); }
    GpioChipInfo Info() const override
    {
        const std::string name = gpiod_chip_name(handle_.get());
        return {name, gpiod_chip_label(handle_.get()), "/dev/" + name,
                gpiod_chip_num_lines(handle_.get()), 0};
    }
    int FindLine(const std::string& name) override
    {
        gpiod_line* line = gpiod_chip_find_line(handle_.get(), name.c_str());
        return line ? int(gpiod_line_offset(line)) : -ENOENT;
    }
    std::string Consumer(unsigned offset) override
    {
        gpiod_line* line = gpiod_chip_get_line(handle_.get(), offset);
        const char* consumer = line ? gpiod_line_consumer(line) : nullptr;
        return consumer ? consumer : "another program";
    }
    int RequestOutputs(const std::array<unsigned, 4>& offsets) override
    {
        gpiod_line_bulk_init(&bulk_);
        if (gpiod_chip_get_lines(handle_.get(), const_cast<unsigned*>(offsets.data()), 4, &bulk_) <
            0)
            return -errno;
        const int zeros[4] = {0, 0, 0, 0};
        if (gpiod_line_request_bulk_output(&bulk_, "stepper-dial", zeros) < 0)
            return -errno;
        requested_ = true;
        return 0;
    }
    int SetValues(const std::array<int, 4>& values) override
    {
        return gpiod_line_set_value_bulk(&bulk_, values.data()) < 0 ? -errno : 0;
    }
    void Release() override
    {
        if (requested_)
            gpiod_line_release_bulk(&bulk_);
        requested_ = false;
    }

private:
    ChipHandle handle_; // closes the chip after the lines are released
    gpiod_line_bulk bulk_{};
    bool requested_ = false;
};

gpiod_chip* OpenChip(const std::string& name)
{
    return gpiod_chip_open_lookup(name.c_str());
}

#else

class LibgpiodChip final : public GpioChip {
public:
    explicit LibgpiodChip(gpiod_chip* chip) : handle_(chip, gpiod_chip_close) {}
    ~LibgpiodChip() override { Release(); }
    GpioChipInfo Info() const override
    {
        GpioChipInfo info;
        if (gpiod_chip_info* chip = gpiod_chip_get_info(handle_.get())) {
            info.name = gpiod_chip_info_get_name(chip);
            info.label = gpiod_chip_info_get_label(chip);
            info.lines = unsigned(gpiod_chip_info_get_num_lines(chip));
            gpiod_chip_info_free(chip);
        }
        info.path = "/dev/" + info.name;
        return info;
    }
    int FindLine(const std::string& name) override
    {
        const int offset = gpiod_chip_get_line_offset_from_name(handle_.get(), name.c_str());
        return offset >= 0 ? offset : -ENOENT;
    }
    std::string Consumer(unsigned offset) override
    {
        std::string consumer = "another program";
        if (gpiod_line_info* line = gpiod_chip_get_line_info(handle_.get(), offset)) {
            if (const char* name = gpiod_line_info_get_consumer(line))
                consumer = name;
            gpiod_line_info_free(line);
        }
        return consumer;
    }
    int RequestOutputs(const std::array<unsigned, 4>& offsets) override
    {
        gpiod_line_settings* settings = gpiod_line_settings_new();
        gpiod_line_config* lines = gpiod_line_config_new();
        gpiod_request_config* config = gpiod_request_config_new();
        int error = ENOMEM;
        if (settings && lines && config) {
            gpiod_line_settings_set_direction(settings, GPIOD_LINE_DIRECTION_OUTPUT);
            gpiod_line_settings_set_output_value(settings, GPIOD_LINE_VALUE_INACTIVE);
            gpiod_request_config_set_consumer(config, "stepper-dial");
            error = 0;
            if (gpiod_line_config_add_line_settings(lines, offsets.data(), 4, settings) < 0 ||
                !(request_ = gpiod_chip_request_lines(handle_.get(), config, lines)))
                error = errno ? errno : EIO;
        }
        gpiod_request_config_free(config);
        gpiod_line_config_free(lines);
        gpiod_line_settings_free(settings);
        return -error;
    }
    int SetValues(const std::array<int, 4>& values) override
    {
        gpiod_line_value levels[4];
        for (std::size_t i = 0; i < 4; ++i)
            levels[i] = values[i] ? GPIOD_LINE_VALUE_ACTIVE : GPIOD_LINE_VALUE_INACTIVE;
        return gpiod_line_request_set_values(request_, levels) < 0 ? -errno : 0;
    }
    void Release() override
    {
        if (request_)
            gpiod_line_request_release(request_);
        request_ = nullptr;
    }

private:
    ChipHandle handle_; // closes the chip after the lines are released
    gpiod_line_request* request_ = nullptr;
};

// 2.x opens by path only: a name or number is the device of that name, else a label.
gpiod_chip* OpenChip(const std::string& name)
{
    if (name.rfind("/dev/", 0) == 0)
        return gpiod_chip_open(name.c_str());
    if (!name.empty() &&
        std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return gpiod_chip_open(("/dev/gpiochip" + name).c_str());
    if (name.rfind("gpiochip", 0) == 0)
        return gpiod_chip_open(("/dev/" + name).c_str());
    for (const std::string& device : DeviceNames()) {
        gpiod_chip* chip = gpiod_chip_open(("/dev/" + device).c_str());
        if (!chip)
            continue;
        bool match = false;
        if (gpiod_chip_info* info = gpiod_chip_get_info(chip)) {
            match = name == gpiod_chip_info_get_label(info);
            gpiod_chip_info_free(info);
        }
        if (match)
            return chip;
        gpiod_chip_close(chip);
    }
    errno = ENOENT;
    return nullptr;
}

#endif

class LibgpiodChips final : public GpioChips {
public:
    std::vector<GpioChipInfo> List() override
    {
        std::vector<GpioChipInfo> chips;
        for (const std::string& name : DeviceNames()) {
            int error = 0;
            if (auto chip = Open("/dev/" + name, error))
                chips.push_back(chip->Info());
            else
                chips.push_back({name, "", "/dev/" + name, 0, error});
        }
        return chips;
    }
    std::unique_ptr<GpioChip> Open(const std::string& name, int& error) override
    {
        errno = 0;
        gpiod_chip* chip = OpenChip(name);
        if (!chip) {
            error = errno ? errno : ENOENT;
            return nullptr;
        }
        return std::make_unique<LibgpiodChip>(chip);
    }
};

} // namespace

std::unique_ptr<GpioChips> MakeGpioChips()
{
    return std::make_unique<LibgpiodChips>();
}

#else

namespace {
class NoGpioChips final : public GpioChips {
public:
    std::vector<GpioChipInfo> List() override { return {}; }
    std::unique_ptr<GpioChip> Open(const std::string&, int& error) override
    {
        error = ENOSYS;
        return nullptr;
    }
};
} // namespace

std::unique_ptr<GpioChips> MakeGpioChips()
{
    return std::make_unique<NoGpioChips>();
}

#endif

GpioPort::GpioPort(std::unique_ptr<GpioChip> chip, std::string name)
    : chip_(std::move(chip)), name_(std::move(name))
{
}

GpioPort::~GpioPort()
{
    chip_->Release();
}

void GpioPort::WriteDataByte(std::uint8_t value)
{
    const std::array<int, 4> lines{value & 1, (value >> 1) & 1, (value >> 2) & 1, (value >> 3) & 1};
    if (int error = chip_->SetValues(lines); error < 0)
        NoteFailure(-error);
}
