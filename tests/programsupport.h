// SPDX-License-Identifier: MIT
// Runs the real stepper-dial binary with the simulated port and reads its port trace.
#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>

#include "socketsupport.h"

#include <QFile>
#include <csignal>
#include <map>
#include <set>
#include <unistd.h>
#include <vector>

struct PortWrite {
    int value;
    qint64 microseconds; // CLOCK_MONOTONIC, as printed: whole microseconds, never rounded
};

// Tests that start the real program need TCP port 3000 to themselves; if another program
// holds it, they say so at once instead of failing in confusing ways later.
inline void RequireFreePort3000()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 3000))
        QFAIL(qPrintable("TCP port 3000 is held by another program (" + probe.errorString() +
                         "); these tests start stepper-dial on it. Find the holder with: "
                         "ss -ltnp 'sport = :3000'"));
}

// The body of a GET, or an empty one.
inline QByteArray Get(quint16 port, const QByteArray& path)
{
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, port);
    if (!peer.waitForConnected(5000))
        return {};
    peer.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
               "\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (peer.state() == QAbstractSocket::ConnectedState && peer.waitForReadyRead(10000))
        answer += peer.readAll();
    answer += peer.readAll();
    return answer.startsWith("HTTP/1.1 200") ? answer.mid(answer.indexOf("\r\n\r\n") + 4)
                                             : QByteArray();
}

// A loopback port no one listens on now, for a server the test starts.
inline quint16 FreePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

inline QByteArray Contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// strace of this test's architecture: under user-mode emulation strace would see the
// emulator's system calls, not the program's.
inline bool NativeStrace()
{
    const auto machine = [](const QString& path) {
        QFile elf(path);
        return elf.open(QIODevice::ReadOnly) ? elf.read(20).mid(18) : QByteArray();
    };
    const QString strace = QStandardPaths::findExecutable("strace");
    return !strace.isEmpty() && QProcess::execute(strace, {"-o", "/dev/null", "true"}) == 0 &&
           machine(strace) == machine("/proc/self/exe");
}

class ProgramUnderTest {
public:
    // With traceFd set, the program's standard output is that descriptor instead of a pipe
    // that the test reads.
    // closed: standard descriptors the program starts without; errorsToo: standard error
    // goes to traceFd as well; launcher: a command the program runs under (strace ...).
    explicit ProgramUnderTest(QStringList arguments = {"--simulate"}, int traceFd = -1,
                              std::vector<int> closed = {}, bool errorsToo = false,
                              QStringList launcher = {})
    {
        launcher << qEnvironmentVariable("STEPPER_DIAL") << arguments;
        process.setProgram(launcher.takeFirst());
        process.setArguments(launcher);
        if (traceFd >= 0)
            process.setStandardOutputFile(QProcess::nullDevice());
        process.setChildProcessModifier([traceFd, closed, errorsToo] {
            if (traceFd >= 0)
                ::dup2(traceFd, STDOUT_FILENO);
            if (traceFd >= 0 && errorsToo)
                ::dup2(traceFd, STDERR_FILENO);
            for (int fd : closed)
                ::close(fd);
        });
        process.start();
        process.waitForStarted(10000);
    }
    ~ProgramUnderTest()
    {
        if (process.state() != QProcess::NotRunning) {
            if (process.program() == "env") // a killed strace would leave it running
                ::kill(ProgramPid(), SIGKILL);
            process.kill();
            process.waitForFinished(5000);
        }
    }

    // "12345.678901" seconds as whole microseconds.
    static qint64 Microseconds(const QByteArray& seconds)
    {
        const QList<QByteArray> parts = seconds.split('.');
        return parts[0].toLongLong() * 1000000 + parts.value(1).toLongLong();
    }

    // Reads what the program printed so far into writes / errors.
    void Collect()
    {
        pending += process.readAllStandardOutput();
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            const QList<QByteArray> parts = line.split(' ');
            if (parts.size() == 6 && parts[0] == "port" && parts[1] == "0x378")
                writes.push_back({parts[3].toInt(), Microseconds(parts[5])});
            else
                otherOutput << QString::fromLatin1(line);
        }
        errors += QString::fromLocal8Bit(process.readAllStandardError());
    }

    // Waits (bounded) until the trace holds at least count writes.
    bool WaitForWrites(std::size_t count, int timeoutMs = 20000)
    {
        QElapsedTimer timer;
        timer.start();
        while (writes.size() < count && timer.elapsed() < timeoutMs &&
               process.state() == QProcess::Running) {
            process.waitForReadyRead(50);
            Collect();
        }
        Collect();
        return writes.size() >= count;
    }

    // Waits until no write has come for quietMs: the motor stands.
    void WaitUntilQuiet(int quietMs = 150, int timeoutMs = 30000)
    {
        QElapsedTimer timer, quiet;
        timer.start();
        quiet.start();
        std::size_t seen = writes.size();
        while (quiet.elapsed() < quietMs && timer.elapsed() < timeoutMs) {
            process.waitForReadyRead(std::min(20, quietMs));
            Collect();
            if (writes.size() != seen) {
                seen = writes.size();
                quiet.restart();
            }
        }
    }

    // Connects a client once the program accepts on port 3000.
    static bool Connect(QTcpSocket& client, int timeoutMs = 10000)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            client.connectToHost(QHostAddress::LocalHost, 3000);
            if (client.waitForConnected(1000))
                return true;
            client.abort();
            QTest::qWait(20);
        }
        return false;
    }

    // Connects a client and proves the program took it: a connection can complete in the
    // kernel's backlog and still be reset when the program closes its listener for another
    // client. An angle message always brings at least one port write once it is read, so
    // the motor is let settle, "0" is sent, and a new write must follow.
    bool ConnectAccepted(QTcpSocket& client, int settleMs = 30, int attempts = 50)
    {
        // The start-up write first: the idle-priority trace writer may bring it late on a busy
        // machine, and it must not pass for the write of a client not yet taken.
        if (!WaitForWrites(1))
            return false;
        for (int attempt = 0; attempt < attempts; ++attempt) {
            if (!Connect(client))
                return false;
            WaitUntilQuiet(settleMs);
            const std::size_t before = writes.size();
            Send(client, "0");
            if (WaitForWrites(before + 1, 3000))
                return true;
            client.abort();
        }
        return false;
    }

    // Waits until the program has taken in everything sent to it (bounded).
    bool WaitUntilRead(QTcpSocket& client, int timeoutMs = 120000)
    {
        QElapsedTimer timer;
        timer.start();
        while (client.bytesToWrite() > 0 || BytesInFlight(client, 3000) > 0) {
            if (timer.elapsed() > timeoutMs)
                return false;
            client.waitForBytesWritten(10);
            process.waitForReadyRead(10);
            Collect();
        }
        return true;
    }

    // Sends bytes, draining the trace meanwhile: a program blocked on a full trace pipe
    // stops reading its socket.
    bool Send(QTcpSocket& client, const QByteArray& bytes, int timeoutMs = 120000)
    {
        client.write(bytes);
        QElapsedTimer timer;
        timer.start();
        while (client.bytesToWrite() > 0 && timer.elapsed() < timeoutMs) {
            client.waitForBytesWritten(10);
            process.waitForReadyRead(0);
            Collect();
        }
        return client.bytesToWrite() == 0;
    }

    // The program's own process, also under a launcher (env, strace) that runs it as a child.
    pid_t ProgramPid() const
    {
        pid_t pid = pid_t(process.processId());
        for (int tries = 0; process.program() == "env" && tries < 1000; ++tries) {
            QFile children(QString("/proc/%1/task/%1/children").arg(pid));
            if (children.open(QIODevice::ReadOnly))
                if (const QByteArray child = children.readAll().trimmed(); !child.isEmpty())
                    return pid_t(child.split(' ').first().toInt());
            QThread::msleep(10);
        }
        return pid;
    }

    // Only to a program that runs: a pid of 0 (not started, or gone) would signal the test's
    // own process group.
    void Signal(int signalNumber)
    {
        if (const pid_t pid = pid_t(process.processId()); pid > 0)
            ::kill(pid, signalNumber);
    }

    // A long move under way: a client connected, 36000 degrees sent, count writes seen.
    bool StartMove(QTcpSocket& client, std::size_t count = 20)
    {
        return Connect(client) && Send(client, "36000") && WaitForWrites(count);
    }

    // The signal, then a normal exit with this status (bounded).
    bool EndsWith(int signalNumber, int status)
    {
        Signal(signalNumber);
        return WaitForExit() && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == status;
    }

    // Generous: a program under ThreadSanitizer on a loaded machine may take many seconds to
    // be scheduled, flush and end; only a hang must fail.
    bool WaitForExit(int timeoutMs = 60000)
    {
        const bool finished = process.waitForFinished(timeoutMs);
        Collect();
        return finished;
    }

    std::vector<int> Values(std::size_t from = 0) const
    {
        std::vector<int> values;
        for (std::size_t i = from; i < writes.size(); ++i)
            values.push_back(writes[i].value);
        return values;
    }

    QProcess process;
    QByteArray pending;
    std::vector<PortWrite> writes;
    QStringList otherOutput;
    QString errors;
};

// Follows the motor through a port trace. Every write after the first 0 must be a coil
// pattern, and consecutive patterns one phase apart at most, since a tick moves one step at
// most; the position is then the sum of the moves.
struct TraceReplay {
    bool valid = true;
    QString fault;
    qint64 position = 0;
    int ticks = 0;
    std::set<qint64> visited; // every position the trace stood at, the start's included

    void Follow(const std::vector<PortWrite>& writes, std::size_t from = 0)
    {
        static const std::map<int, int> phaseOf{{3, 0}, {6, 1}, {12, 2}, {9, 3}};
        visited.insert(position);
        for (std::size_t i = from; i < writes.size() && valid; ++i) {
            const int value = writes[i].value;
            if (value == 0)
                continue; // coils off: at start and at exit

            auto it = phaseOf.find(value);
            if (it == phaseOf.end()) {
                valid = false;
                fault = QString("write %1 is %2, not a coil pattern").arg(i).arg(value);
                return;
            }
            ++ticks;
            const int expected = int(((position % 4) + 4) % 4);
            const int move = (it->second - expected + 4) % 4;
            if (move == 1) {
                visited.insert(++position);
            } else if (move == 3) {
                visited.insert(--position);
            } else if (move == 2) {
                valid = false;
                fault = QString("write %1 jumps two phases").arg(i);
                return;
            }
        }
    }
};

inline qint64 ResidentKilobytes(qint64 pid)
{
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}
