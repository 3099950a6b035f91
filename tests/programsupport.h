// Runs the real stepper-dial binary with the simulated port and reads its port trace.
#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>

struct PortWrite {
    int value;
    double time;
};

class ProgramUnderTest {
public:
    explicit ProgramUnderTest(QStringList arguments = {"--simulate"})
    {
        process.setProgram(qEnvironmentVariable("STEPPER_DIAL"));
        process.setArguments(arguments);
        process.start();
    }
    ~ProgramUnderTest()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
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
                writes.push_back({parts[3].toInt(), parts[5].toDouble()});
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
            process.waitForReadyRead(20);
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

    void Signal(int signalNumber) { ::kill(pid_t(process.processId()), signalNumber); }

    bool WaitForExit(int timeoutMs = 10000)
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

// Sends bytes and makes sure they left this process.
inline void Send(QTcpSocket& client, const QByteArray& bytes)
{
    client.write(bytes);
    while (client.bytesToWrite() > 0 && client.waitForBytesWritten(5000)) {
    }
}
