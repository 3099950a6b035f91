// SPDX-License-Identifier: MIT
// The reporter's queue and its writer thread. The queue lives until the process ends (never
// destroyed), so a line reported during exit, or a writer stuck in write(2) at exit, touches
// nothing that is gone.
#include "report.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

std::string Line(std::string_view line)
{
    std::string text;
    text.reserve(ProgramName.size() + line.size() + 3);
    text.append(ProgramName).append(": ").append(line).push_back('\n');
    return text;
}

class ReportQueue {
public:
    // Enough for every start-up line and a burst of refusals; beyond it lines are counted.
    static constexpr std::size_t MaxLines = 256;

    ReportQueue()
    {
        std::thread([this] { Write(); }).detach();
    }

    void Push(std::string text)
    {
        std::lock_guard lock(mutex_);
        if (lines_.size() >= MaxLines) {
            ++dropped_;
            return;
        }
        lines_.push_back(std::move(text));
        changed_.notify_all();
    }

    void Flush(std::chrono::milliseconds within)
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, within, [this] { return lines_.empty() && !writing_; });
    }

private:
    void Write()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return !lines_.empty(); });
            std::string text = std::move(lines_.front());
            lines_.pop_front();
            writing_ = true;
            lock.unlock();
            WriteAll(text);
            lock.lock();
            writing_ = false;
            if (dropped_ > 0 && lines_.size() < MaxLines) {
                lines_.push_back(Line("standard error fell behind its reader: " +
                                      std::to_string(dropped_) + " lines were lost"));
                dropped_ = 0;
            }
            changed_.notify_all();
        }
    }

    static void WriteAll(const std::string& text)
    {
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t written = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return;
            done += std::size_t(written);
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> lines_;
    std::size_t dropped_ = 0;
    bool writing_ = false;
};

ReportQueue& Queue()
{
    static ReportQueue* queue = new ReportQueue;
    return *queue;
}

} // namespace

void Report(std::string_view line)
{
    Queue().Push(Line(line));
}

void FlushReports(std::chrono::milliseconds within)
{
    Queue().Flush(within);
}
