#pragma once

#include <QByteArray>
#include <QString>

// The master side of a pseudo-terminal in raw mode: what a serial cable's far end would be.
// The driver opens slavePath() with QSerialPort. We keep a slave descriptor of our own open,
// so that the master does not read EIO over and over while the driver has the port closed.
class TLPseudoTerminal
{
public:
    TLPseudoTerminal();
    ~TLPseudoTerminal();
    TLPseudoTerminal(const TLPseudoTerminal &) = delete;
    TLPseudoTerminal &operator=(const TLPseudoTerminal &) = delete;

    bool open();
    bool isOpen() const { return master >= 0; }
    QString slavePath() const { return path; }
    QString errorString() const { return error; }

    // Writes all bytes; false when the master is closed or the write failed.
    bool write(const QByteArray &bytes);
    // Writes what the terminal takes now, without waiting: the number of bytes taken, 0 when
    // its buffer is full, -1 when the master is closed or the write failed.
    qint64 writeSome(const QByteArray &bytes);
    // Waits up to timeoutMs for bytes and returns what is there (empty on time-out).
    QByteArray read(int timeoutMs);
    // A pulled cable: closes the master and our slave; the driver's port sees a hang-up.
    void hangUp();

private:
    int master = -1;
    int slaveKeeper = -1;
    QString path;
    QString error;
};
