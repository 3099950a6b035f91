// SPDX-License-Identifier: MIT
#include "positionfile.h"

#include <QMetaObject>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace {

// A record is a few lines; anything larger is not one of ours.
constexpr std::size_t LargestRecord = 4096;

std::string SystemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// Plain system calls rather than QSaveFile: the order of writing, flushing, renaming and
// flushing the directory is the whole point, and the directory flush is not Qt's.
bool WriteWhole(int fd, const std::string& text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

// The record just written is what the path names now, not a file swapped in before the
// rename.
bool IsSameFile(int fd, const std::string& path)
{
    struct stat written {
    }, named{};
    return ::fstat(fd, &written) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           written.st_dev == named.st_dev && written.st_ino == named.st_ino;
}

const char* KindOfFile(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFDIR: return "a directory";
    case S_IFLNK: return "a symbolic link";
    case S_IFIFO: return "a FIFO";
    case S_IFSOCK: return "a socket";
    case S_IFCHR:
    case S_IFBLK: return "a device";
    default: return "not a regular file";
    }
}

// The process /proc/locks names as holding a flock on this file; 0 where none is named.
long LockHolder(const struct stat& file)
{
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(file.st_dev), minor(file.st_dev),
                  (unsigned long)file.st_ino);
    std::ifstream locks("/proc/locks");
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; waiters' lines have "->" second.
    for (std::string line; std::getline(locks, line);) {
        std::istringstream words(line);
        std::string number, kind, mode, access, device;
        long pid = 0;
        if (words >> number >> kind >> mode >> access >> pid >> device && kind == "FLOCK" &&
            device == id)
            return pid;
    }
    return 0;
}

} // namespace

// Shared with the writer thread, which may outlive the file object while stuck in a write.
struct PositionFile::Writer {
    std::string path;
    std::mutex mutex;
    std::condition_variable changed;
    QObject* owner = nullptr; // cleared as the owner goes
    std::string text;
    std::uint64_t queued = 0, written = 0;
    bool setAside = false, quit = false, running = false;
    int directory = -1;

    ~Writer()
    {
        if (directory >= 0)
            ::close(directory);
    }

    std::string Replace(const std::string& record, bool setAsideFirst)
    {
        const std::string fresh = path + ".new";
        if (setAsideFirst && ::rename(path.c_str(), (path + ".bad").c_str()) != 0 &&
            errno != ENOENT)
            return SystemError("cannot keep the bad file as " + path + ".bad");
        if (directory < 0) {
            const std::string parent = std::filesystem::path(path).parent_path().string();
            directory =
                ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (directory < 0)
                return SystemError("cannot open its directory");
        }
        // Whatever holds the name now (a leftover, or a link someone planted to a file of
        // theirs) is removed, never written through; a name planted again in between makes
        // the create fail rather than follow it.
        ::unlink(fresh.c_str());
        const int fd =
            ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0)
            return SystemError("cannot create " + fresh) +
                   (errno == EEXIST ? " (something else took the name; is the directory "
                                      "writable by others?)"
                                    : "");
        const bool good = WriteWhole(fd, record) && ::fsync(fd) == 0;
        std::string failure = good ? std::string() : SystemError("cannot write " + fresh);
        if (!good) {
            ::close(fd);
            ::unlink(fresh.c_str());
            return failure;
        }
        if (::rename(fresh.c_str(), path.c_str()) != 0)
            failure = SystemError("cannot rename " + fresh + " over it");
        else if (!IsSameFile(fd, path))
            failure = "another file took the place of " + fresh + " before it was renamed";
        ::close(fd);
        if (!failure.empty())
            return failure;
        if (::fsync(directory) != 0)
            return SystemError("cannot flush its directory");
        return {};
    }

    void Run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return quit || written != queued; });
            if (written == queued) {
                running = false;
                changed.notify_all();
                return;
            }
            const std::uint64_t number = queued;
            const std::string record = text;
            const bool setAsideFirst = std::exchange(setAside, false);
            lock.unlock();
            const std::string failure = Replace(record, setAsideFirst);
            lock.lock();
            if (!failure.empty() && setAsideFirst)
                setAside = true; // tried again with the next record
            written = number;
            changed.notify_all();
            if (owner)
                QMetaObject::invokeMethod(
                    owner,
                    [owner = owner, number, failure = QString::fromStdString(failure)] {
                        emit static_cast<PositionFile*>(owner)->Saved(number, failure);
                    },
                    Qt::QueuedConnection);
        }
    }
};

PositionFile::PositionFile(std::string path, QObject* parent)
    : QObject(parent), path_(std::move(path)), writer_(std::make_shared<Writer>())
{
    writer_->path = path_;
    writer_->owner = this;
}

PositionFile::~PositionFile()
{
    Finish(std::chrono::milliseconds(0));
    {
        std::lock_guard lock(writer_->mutex);
        writer_->owner = nullptr;
        writer_->quit = true;
        writer_->changed.notify_all();
    }
    if (lock_ >= 0)
        ::close(lock_); // a write still stuck in the disk finishes unguarded: the process ends
}

bool PositionFile::Lock(Reading& reading)
{
    const std::string name = path_ + ".lock";
    // Opened for reading and locked with flock, which needs no write access: a lock file
    // another user left (a run as root, say) serves the next user as well once nobody holds
    // it.
    const int fd =
        ::open(name.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat status {};
    std::string unusable;
    if (fd < 0) {
        const std::string error = std::strerror(errno);
        unusable = ::lstat(name.c_str(), &status) == 0 && !S_ISREG(status.st_mode)
                       ? std::string(" is ") + KindOfFile(status.st_mode)
                       : ": " + error;
    } else if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        unusable = std::string(" is ") + KindOfFile(status.st_mode);
    }
    if (unusable.empty() && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        if (status.st_uid == ::geteuid())
            ::fchmod(fd, 0644); // whatever the umask, the next user may lock it too
        lock_ = fd;
        return true;
    }
    if (unusable.empty() && errno == EWOULDBLOCK) {
        reading.kind = Reading::Kind::Taken;
        const long holder = LockHolder(status);
        reading.why = holder > 0
                          ? "another program (process " + std::to_string(holder) + ") keeps it"
                          : std::string("another program keeps it");
    } else {
        reading.kind = Reading::Kind::LockUnusable;
        reading.why = "its lock " + name +
                      (unusable.empty() ? std::string(" cannot be locked: ") + std::strerror(errno)
                                        : unusable);
    }
    if (fd >= 0)
        ::close(fd);
    return false;
}

PositionFile::Reading PositionFile::Read()
{
    Reading reading;
    // Checked before the lock, so no lock file is left beside a device or a FIFO.
    struct stat named {};
    if (::lstat(path_.c_str(), &named) == 0 && !S_ISREG(named.st_mode)) {
        reading.kind = Reading::Kind::NotAFile;
        reading.why = std::string("it is ") + KindOfFile(named.st_mode);
        return reading;
    }
    if (lock_ < 0 && !Lock(reading))
        return reading;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT)
        return reading;
    reading.kind = Reading::Kind::Bad;
    if (fd < 0) {
        reading.why = std::strerror(errno);
        return reading;
    }
    struct stat status {};
    std::string text(LargestRecord + 1, '\0');
    ssize_t size = -1;
    if (::fstat(fd, &status) != 0)
        reading.why = std::strerror(errno);
    else if (!S_ISREG(status.st_mode))
        reading.why = std::string("it is ") + KindOfFile(status.st_mode);
    else if ((size = ::read(fd, text.data(), text.size())) < 0)
        reading.why = std::strerror(errno);
    ::close(fd);
    if (size < 0)
        return reading;
    if (std::size_t(size) > LargestRecord) {
        reading.why = "it is far larger than a position record";
        return reading;
    }
    text.resize(std::size_t(size));
    if (Outcome failed = ParsePositionRecord(text, reading.record))
        reading.why = failed->line;
    else
        reading.kind = Reading::Kind::Good;
    return reading;
}

std::uint64_t PositionFile::Save(const PositionRecord& record)
{
    std::string text = FormatPositionRecord(record);
    std::lock_guard lock(writer_->mutex);
    writer_->text = std::move(text);
    const std::uint64_t number = ++writer_->queued;
    if (!writer_->running) {
        writer_->running = true;
        writer_->quit = false;
        std::thread([writer = writer_] { writer->Run(); }).detach();
    }
    writer_->changed.notify_all();
    return number;
}

void PositionFile::SetAsideBeforeNextSave()
{
    std::lock_guard lock(writer_->mutex);
    writer_->setAside = true;
}

void PositionFile::Finish(std::chrono::milliseconds within)
{
    std::unique_lock lock(writer_->mutex);
    writer_->changed.wait_for(lock, within, [this] { return writer_->written == writer_->queued; });
}
