#pragma once

#include "TLGeneratorDriverKestrovan.h"
#include "TLHostApplication.h"
#include "TLHostDevice.h"
#include "TLKestrovanGeneratorSimulator.h"

#include <QByteArrayList>
#include <QTemporaryDir>

#include <memory>

// A driver in direct mode wired to a running generator simulator over a pseudo-terminal, with a
// host device, a configuration (target codes 1, 2, 12), an error catalogue folder, and the host's
// singletons set to agree at once.
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

    void writeErrorCatalogue(const QByteArray &content);
    // Points the driver at another port.
    void setPortName(const QString &portName);
    // Switches on with the simulator's power report; false if that failed.
    bool switchOn();
    void destroyDriver() { generatorDriver.reset(); }
    // Waits until the status poll of this second has been answered and the simulator has nothing
    // left to send, so that what a test sets up next meets the telegram it means.
    bool quietMoment();
    // Waits until everything the driver has queued so far has crossed the line and been echoed;
    // false when the link is not open.
    bool waitUntilSent();

    // Payloads (without check byte) of the good telegrams the driver sent, in order; the status
    // poll left out unless asked for.
    QByteArrayList payloadsFromDriver(bool withStatusPoll = false) const;
    bool waitForPayload(const QByteArray &payload, int timeoutMs) const;

    static constexpr int TargetCodes[3] = {1, 2, 12};

private:
    QTemporaryDir data;
    TLKestrovanGeneratorSimulator simulator;
    TLHostDevice hostDevice;
    std::unique_ptr<TLGeneratorDriverKestrovan> generatorDriver;
    bool ready = false;
};
