// SPDX-License-Identifier: MIT
// The GPIO seam over libgpiod 1.x (Debian 12 ships 1.6).
#include "libgpiodchips.h"

#include <fcntl.h>

namespace {

class LibgpiodChip final : public GpioChip {
public:
    explicit LibgpiodChip(gpiod_chip* chip) : handle_(chip, gpiod_chip_close) {}
    ~LibgpiodChip() override { Release(); }
    GpioChipInfo Info() const override
    {
        const std::string name = gpiod_chip_name(handle_.get());
        return {name, gpiod_chip_label(handle_.get()), "/dev/" + name,
                gpiod_chip_num_lines(handle_.get()), ""};
    }
    int FindLine(const std::string& name) override
    {
        gpiod_line* line = gpiod_chip_find_line(handle_.get(), name.c_str());
        return line ? int(gpiod_line_offset(line)) : -ENOENT;
    }
    std::optional<std::string> Holder(unsigned offset) override
    {
        gpiod_line* line = gpiod_chip_get_line(handle_.get(), offset);
        if (!line || gpiod_line_update(line) < 0 || !gpiod_line_is_used(line))
            return std::nullopt;
        const char* consumer = gpiod_line_consumer(line);
        return consumer && *consumer ? consumer : "another program";
    }
    int RequestOutputs(const std::array<unsigned, 4>& offsets) override
    {
        gpiod_line_bulk_init(&bulk_);
        if (gpiod_chip_get_lines(handle_.get(), const_cast<unsigned*>(offsets.data()), 4, &bulk_) <
            0)
            return -errno;
        const int zeros[4] = {0, 0, 0, 0};
        if (gpiod_line_request_bulk_output(&bulk_, ProgramName.data(), zeros) < 0)
            return -errno;
        requested_ = true;
        return 0;
    }
    int SetValues(const std::array<int, 4>& values) override
    {
        return gpiod_line_set_value_bulk(&bulk_, values.data()) < 0 ? -errno : 0;
    }
    int RequestSwitch(unsigned offset) override
    {
        gpiod_line* line = gpiod_chip_get_line(handle_.get(), offset);
        gpiod_line_request_config config{ProgramName.data(), GPIOD_LINE_REQUEST_EVENT_BOTH_EDGES,
                                         GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_UP};
        if (!line || gpiod_line_request(line, &config, 0) < 0)
            return -errno;
        gpiod_line_bulk_init(&bulk_);
        gpiod_line_bulk_add(&bulk_, line);
        requested_ = true;
        events_ = gpiod_line_event_get_fd(line);
        if (events_ < 0 || ::fcntl(events_, F_SETFL, ::fcntl(events_, F_GETFL) | O_NONBLOCK) < 0)
            return -errno;
        return level_ = gpiod_line_get_value(line);
    }
    int ReadSwitch(int level) override
    {
        const int read = gpiod_line_event_read_fd_multiple(events_, events_read_, EventsARead);
        if (read < 0)
            return errno == EAGAIN ? int(level_ == level) : -errno;
        bool came = false;
        for (int i = 0; i < read; ++i) {
            level_ = events_read_[i].event_type == GPIOD_LINE_EVENT_RISING_EDGE;
            came |= level_ == level;
        }
        return came;
    }
    void Release() override
    {
        if (requested_)
            gpiod_line_release_bulk(&bulk_);
        requested_ = false;
    }

private:
    static constexpr int EventsARead = 16;
    ChipHandle handle_; // closes the chip after the lines are released
    gpiod_line_bulk bulk_{};
    bool requested_ = false;
    int events_ = -1;
    int level_ = 0;
    gpiod_line_event events_read_[EventsARead]{};
};

gpiod_chip* OpenChip(const std::string& name)
{
    return gpiod_chip_open_lookup(name.c_str());
}

} // namespace

std::unique_ptr<GpioChips> MakeGpioChips()
{
    return std::make_unique<LibgpiodChips<LibgpiodChip>>(OpenChip);
}
