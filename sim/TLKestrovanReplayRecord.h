#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

class QIODevice;

// A recorded trace as a replay plays it: the host's telegrams with their times, and the
// generator's chunks, each tied to the host telegram before it. It reads the format that
// kestrovan-host --trace and kestrovan-trace --tap --write write (TLTraceReader), and reads a
// truncated or hostile one as far as it goes: lines that are no chunk are skipped, time that
// runs backwards is shifted forward, silences and the number of chunks are bounded.
class TLKestrovanReplayRecord
{
public:
    // A generator chunk this soon after a host telegram answers it (the generator echoes at
    // once and moves its exposure sequence on within tens of milliseconds); one that comes
    // later than the driver's own acknowledgement window was not waiting for that telegram.
    static constexpr qint64 LeadWindowUs = 500000;
    // A minute without a byte on a live line means nobody was there (the driver polls every
    // second); the replay shortens such a silence to this rather than sit in it.
    static constexpr qint64 MaxSilenceUs = 60000000;
    // About two days of status polling, or five hours of a line busy all the time: memory stays
    // bounded for any file.
    static constexpr int MaxChunks = 1000000;
    static constexpr qint64 MaxKeptBytes = Q_INT64_C(64) * 1024 * 1024;
    // Longer than any telegram (31 bytes): bytes without a terminator beyond it are noise.
    static constexpr int MaxPieceBytes = 256;

    struct HostTelegram
    {
        QByteArray bytes; // check byte included
        qint64 atUs = 0;  // on the record's clock
        QByteArray line;  // the trace line that completed it
        // For a release answer ("xr"): the generator chunk with the exposure state before it.
        int stateChunk = -1;
    };
    struct GeneratorChunk
    {
        QByteArray bytes;
        qint64 atUs = 0;
        int after = -1;   // the host telegram before it; -1: none
        bool led = false; // that telegram led to it: it waits for that telegram to come
    };

    // False with errorString() when the input holds no chunk to replay.
    bool read(QIODevice &input);
    QString errorString() const { return error; }
    // Skipped lines, shortened silences, a cut-off end: worth saying, not fatal.
    QStringList problems() const { return notes; }

    const QVector<HostTelegram> &hostTelegrams() const { return host; }
    const QVector<GeneratorChunk> &generatorChunks() const { return generator; }
    // The time of the host's first bytes: the replay lines it up with the driver's first bytes.
    qint64 firstHostBytesUs() const { return firstHostUs; }

    // Cuts a byte stream after each terminator (bit 7 set), across calls: pending keeps the
    // piece not yet ended.
    static QList<QByteArray> cut(QByteArray &pending, const QByteArray &bytes);
    // The last exposure state telegram in bytes without its check byte ("xy0A01"), or empty.
    static QByteArray lastExposureState(const QByteArray &bytes);
    // The bytes with '.' for those that are not printable, and with the hexadecimal form before
    // them, for reports.
    static QString printable(const QByteArray &bytes);
    static QString describe(const QByteArray &bytes);

private:
    QVector<HostTelegram> host;
    QVector<GeneratorChunk> generator;
    qint64 firstHostUs = 0;
    QString error;
    QStringList notes;
};
