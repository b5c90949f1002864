#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

// Records the serial line without touching the driver: the driver is given the slave of a
// pseudo-terminal of ours as its port, and a thread of ours forwards every byte between that
// terminal and the real port, writing each chunk to the trace file with a time stamp, its
// direction, and a hexadecimal and a printable form:
//
//   2025-01-31 12:00:00.123456 +0.004021 TX  5 | 6b 76 37 30 9a | kv70.
//
// TX is what the driver sends, RX what comes back from the port. When the real port hangs up
// the relay hangs up the driver's side too, so the driver sees what it would have seen.
class TLSerialTraceRelay
{
public:
    enum class Direction { ToPort, FromPort };

    TLSerialTraceRelay();
    ~TLSerialTraceRelay();
    TLSerialTraceRelay(const TLSerialTraceRelay &) = delete;
    TLSerialTraceRelay &operator=(const TLSerialTraceRelay &) = delete;

    // Opens the trace file (replacing it), the real port (38400 8N1, raw) and a fresh
    // pseudo-terminal, and starts forwarding. False with errorString() when one fails.
    bool start(const QString &portPath, const QString &traceFilePath);
    // Stops forwarding and closes everything. Idempotent.
    void stop();
    bool isRunning() const { return thread.joinable(); }
    // The port to give the driver.
    QString slavePath() const { return slave; }
    QString errorString() const { return error; }
    // Bytes forwarded so far in each direction.
    qint64 bytesToPort() const { return sentToPort.load(); }
    qint64 bytesFromPort() const { return receivedFromPort.load(); }

    // One line of the trace, without its line feed; elapsedUs counts from start().
    static QByteArray traceLine(const QByteArray &timeStamp, qint64 elapsedUs, Direction direction,
                                const QByteArray &bytes);

private:
    // Largest piece read at once; a piece becomes one trace line.
    static constexpr int ChunkBytes = 256;
    // How long a write to a full terminal may wait before the bytes are given up.
    static constexpr int WriteTimeoutMs = 2000;
    static constexpr int WritePollMs = 50;

    void run();
    // Moves one chunk; returns why the line broke, or nothing.
    QByteArray forward(int from, int to, Direction direction);
    void writeTrace(Direction direction, const QByteArray &bytes);
    void note(const QByteArray &text);
    void closeAll();
    bool fail(const QString &text);

    int master = -1;
    int slaveKeeper = -1; // keeps the driver's side from reading hang-ups while it is closed
    int port = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    FILE *trace = nullptr; // written by the relay thread only while it runs
    bool traceBroken = false; // likewise
    QString slave;
    QString error;
    std::chrono::steady_clock::time_point startTime;
    std::atomic<qint64> sentToPort{0};
    std::atomic<qint64> receivedFromPort{0};
    std::thread thread;
};
