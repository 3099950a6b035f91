// SPDX-License-Identifier: MIT
// The GPIO seam over libgpiod 2.x, where that is what pkg-config finds.
#include "libgpiodchips.h"

#include "devicenames.h"

#include <fcntl.h>

namespace {

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
    std::optional<std::string> Holder(unsigned offset) override
    {
        gpiod_line_info* line = gpiod_chip_get_line_info(handle_.get(), offset);
        if (!line)
            return std::nullopt;
        std::optional<std::string> holder;
        if (gpiod_line_info_is_used(line)) {
            const char* consumer = gpiod_line_info_get_consumer(line);
            holder = consumer && *consumer ? consumer : "another program";
        }
        gpiod_line_info_free(line);
        return holder;
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
            gpiod_request_config_set_consumer(config, ProgramName.data());
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
    int RequestSwitch(unsigned offset) override
    {
        gpiod_line_settings* settings = gpiod_line_settings_new();
        gpiod_line_config* lines = gpiod_line_config_new();
        gpiod_request_config* config = gpiod_request_config_new();
        events_.reset(gpiod_edge_event_buffer_new(EventsARead));
        int error = ENOMEM;
        if (settings && lines && config && events_) {
            gpiod_line_settings_set_direction(settings, GPIOD_LINE_DIRECTION_INPUT);
            gpiod_line_settings_set_edge_detection(settings, GPIOD_LINE_EDGE_BOTH);
            gpiod_line_settings_set_bias(settings, GPIOD_LINE_BIAS_PULL_UP);
            gpiod_request_config_set_consumer(config, ProgramName.data());
            error = 0;
            if (gpiod_line_config_add_line_settings(lines, &offset, 1, settings) < 0 ||
                !(request_ = gpiod_chip_request_lines(handle_.get(), config, lines)))
                error = errno ? errno : EIO;
        }
        gpiod_request_config_free(config);
        gpiod_line_config_free(lines);
        gpiod_line_settings_free(settings);
        if (error)
            return -error;
        const int fd = gpiod_line_request_get_fd(request_);
        if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) < 0)
            return -errno;
        const gpiod_line_value value = gpiod_line_request_get_value(request_, offset);
        return value == GPIOD_LINE_VALUE_ERROR ? -errno : level_ = value == GPIOD_LINE_VALUE_ACTIVE;
    }
    int ReadSwitch(int level) override
    {
        const int read = gpiod_line_request_read_edge_events(request_, events_.get(), EventsARead);
        if (read < 0)
            return errno == EAGAIN ? int(level_ == level) : -errno;
        bool came = false;
        for (int i = 0; i < read; ++i) {
            level_ = gpiod_edge_event_get_event_type(gpiod_edge_event_buffer_get_event(
                         events_.get(), unsigned(i))) == GPIOD_EDGE_EVENT_RISING_EDGE;
            came |= level_ == level;
        }
        return came;
    }
    void Release() override
    {
        if (request_)
            gpiod_line_request_release(request_);
        request_ = nullptr;
    }

private:
    static constexpr int EventsARead = 16;
    using EventBuffer =
        std::unique_ptr<gpiod_edge_event_buffer, void (*)(gpiod_edge_event_buffer*)>;
    ChipHandle handle_; // closes the chip after the lines are released
    gpiod_line_request* request_ = nullptr;
    EventBuffer events_{nullptr, gpiod_edge_event_buffer_free};
    int level_ = 0;
};

// 2.x opens by path only: a name or number is the device of that name, else a label.
gpiod_chip* OpenChip(const std::string& name)
{
    if (name.rfind("/dev/", 0) == 0)
        return gpiod_chip_open(name.c_str());
    if (IsDecimalDigits(name))
        return gpiod_chip_open(("/dev/gpiochip" + name).c_str());
    if (name.rfind("gpiochip", 0) == 0)
        return gpiod_chip_open(("/dev/" + name).c_str());
    for (const std::string& device : GpioDeviceNames()) {
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

} // namespace

std::unique_ptr<GpioChips> MakeGpioChips()
{
    return std::make_unique<LibgpiodChips<LibgpiodChip>>(OpenChip);
}
