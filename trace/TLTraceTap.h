#pragma once

#include "TLTraceChunk.h"

#include <QString>

#include <functional>

// Sits between two serial ports, the host's and the generator's, and passes every byte on to the
// other side as soon as it is read: nothing is added, dropped or reordered, and no delay beyond
// one read, so the 500 ms acknowledgement window of the line is not touched. Each chunk is handed
// out after it has been passed on, time-stamped when it was read.
//
// run() blocks in the calling thread; stop() may be called from any thread or from a signal
// handler.
class TLTraceTap
{
public:
    enum class End { Stopped, PortGone, Failed };
    struct Port
    {
        int fd;
        QString name;
    };
    using ChunkHandler = std::function<void(const TLTraceChunk &)>;
    using TickHandler = std::function<void(qint64 elapsedUs)>;

    // Largest read; the line delivers far less between two reads.
    static constexpr int ReadBytes = 4096;
    // The tick handler is called about this often, so that a live decoder sees time pass.
    static constexpr int TickMs = 100;
    // A port that takes no bytes for this long is given up (the bytes are reported lost).
    static constexpr int WriteTimeoutMs = 2000;

    TLTraceTap();
    ~TLTraceTap();
    TLTraceTap(const TLTraceTap &) = delete;
    TLTraceTap &operator=(const TLTraceTap &) = delete;

    // Opens a serial port for the tap: 38400 baud, 8 data bits, no parity, 1 stop bit, no flow
    // control, raw. -1 with a message on failure.
    static int openPort(const QString &path, QString &error);
    // The same settings on a descriptor that is already open (a pseudo-terminal's master).
    static bool configurePort(int fd, QString &error);

    // Relays until stop(), a port going away or a failure; message() says which.
    End run(const Port &host, const Port &generator, const ChunkHandler &onChunk, const TickHandler &onTick);
    void stop();
    QString message() const { return endMessage; }

private:
    // Reads what one side has and passes it on; false when the tap must end.
    bool relay(const Port &from, const Port &to, TLTraceChunk::Direction direction,
               const ChunkHandler &onChunk);
    bool writeAll(const Port &to, const QByteArray &bytes);
    qint64 elapsedUs() const;

    int wakeRead = -1;
    int wakeWrite = -1;
    qint64 startNs = 0;
    End end = End::Stopped;
    QString endMessage;
};
