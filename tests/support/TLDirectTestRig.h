#pragma once

#include "TLGeneratorDriverKestrovan.h"
#include "TLHostApplication.h"
#include "TLHostDevice.h"
#include "TLKestrovanGeneratorSimulator.h"

#include <QByteArrayList>
#include <QTemporaryDir>

#include <memory>

// A driver in direct mode wired to a running generator simulator over a pseudo-terminal, with
// a host device, a configuration (target codes 1, 2, 12) and an error catalogue folder.
class TLDirectTestRig
{
public:
    TLDirectTestRig();
    ~TLDirectTestRig();

    bool isReady() const { return ready; }
    TLKestrovanGeneratorSimulator &sim() { return simulator; }
    TLGeneratorDriverKestrovan &driver() { return *generatorDriver; }
    TLHostDevice &device() { return hostDevice; }
    TLHostApplication &host() { return *TLHostApplication::host(); }
    QString dataDirectory() const { return data.path(); }

    // Writes "errors.csv" for the device folder.
    void writeErrorCatalogue(const QByteArray &content);
    // Switches on with the simulator's power report; false if that failed.
    bool switchOn();
    // Destroys the driver now (as the host does), e.g. to test the destructor.
    void destroyDriver();

    // Payloads (without check byte) of the good telegrams the driver sent, in order;
    // the 1000 ms status poll left out unless asked for.
    QByteArrayList payloadsFromDriver(bool withStatusPoll = false) const;
    // Waits until the driver sent a telegram with this payload.
    bool waitForPayload(const QByteArray &payload, int timeoutMs) const;

    static constexpr int TargetCodes[3] = {1, 2, 12};

private:
    QTemporaryDir data;
    TLKestrovanGeneratorSimulator simulator;
    TLHostDevice hostDevice;
    std::unique_ptr<TLGeneratorDriverKestrovan> generatorDriver;
    bool ready = false;
};
