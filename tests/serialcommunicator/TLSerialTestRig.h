#pragma once

#include "TLKestrovanSerialCommunicator.h"
#include "TLPseudoTerminal.h"
#include "TLSerialLinkRecorder.h"

#include <QScopedPointer>

// A link on the slave side of a fresh pseudo-terminal, with a recorder on its signals. The test
// plays the generator on the master. Declared so that the link (and its thread) goes first.
class TLSerialTestRig
{
public:
    TLSerialTestRig();
    ~TLSerialTestRig();

    // Opens the pseudo-terminal unless that was done already, starts the link on it and waits
    // for the opening; true when the link is Open.
    bool start();
    // Reads the master until the bytes seen contain expected, or the time is up; returns all.
    QByteArray readMasterUntil(const QByteArray &expected, int timeoutMs);
    // Reads the master for the whole time; returns all.
    QByteArray readMasterFor(int milliseconds);

    TLPseudoTerminal master;
    QScopedPointer<TLSerialLinkRecorder> recorder;
    QScopedPointer<TLKestrovanSerialCommunicator> link;
};
