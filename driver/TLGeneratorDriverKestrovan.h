#pragma once

#include "TLGeneratorSettings.h"
#include "TLKestrovanProtocol.h"

#include <QSharedPointer>

#include <atomic>
#include <initializer_list>
#include <mutex>

class TLKestrovanIndirectCommunicator;

// The object the host receives from `driver()`. Direct mode talks to the generator over the
// serial link of the protocol layer; indirect mode exchanges files with the console software.
// The host calls everything in its main thread; the exposure handshake reads the getters from
// the link thread, so the stored settings are guarded.
class TLGeneratorDriverKestrovan : public TLKestrovanProtocol
{
    Q_OBJECT
public:
    // How long the generator has to report power on, and focus ready after a reset.
    static constexpr qint64 PowerOnTimeoutMs = 10000;
    static constexpr qint64 FocusReadyTimeoutMs = 10000;
    // How long the dose of the last exposure may stay 0, and the pause between its queries.
    static constexpr qint64 DoseTimeoutMs = 3000;
    static constexpr quint32 DoseRetryPauseMs = 250;
    // Poll step of the destructor's wait for a busy host device.
    static constexpr quint32 DeviceBusyPollMs = 100;

    static constexpr double MinKV = 40.0;
    static constexpr double MaxKV = 150.0;
    static constexpr double MinMAs = 0.5;
    static constexpr double MaxMAs = 600.0;
    static constexpr double MinMA = 1.0;
    static constexpr double MaxMA = 800.0;
    static constexpr double MinMs = 1.0;
    static constexpr double MaxMs = 6000.0;
    static constexpr double MinDensity = -8.0;
    static constexpr double MaxDensity = 8.0;

    explicit TLGeneratorDriverKestrovan(QObject *parent = nullptr);
    ~TLGeneratorDriverKestrovan() override;

    TLCondition activateForAcqusition() override;
    TLCondition executeCommand(const QString &command, QVariant &value) override;
    TLCondition initGenerator() override;
    TLCondition updateCurrentSettings() override;

    TLCondition lastExposureSettings(TLGeneratorSettings &settings) override;
    int targetDevice() override;
    void setTargetDevice(int device) override;
    int mode() override;
    void setMode(int mode) override;
    double minKV() const override { return MinKV; }
    double maxKV() const override { return MaxKV; }
    double kV() override;
    void setKV(double kV) override;
    double minMAs() const override { return MinMAs; }
    double maxMAs() const override { return MaxMAs; }
    double mAs() override;
    void setMAs(double mAs) override;
    double minMA() const override { return MinMA; }
    double maxMA() const override { return MaxMA; }
    double mA() override;
    void setMA(double mA) override;
    double minMs() const override { return MinMs; }
    double maxMs() const override { return MaxMs; }
    double ms() override;
    void setMs(double ms) override;
    double minDensity() const override { return MinDensity; }
    double maxDensity() const override { return MaxDensity; }
    double density() override;
    void setDensity(double density) override;
    int focus() override;
    void setFocus(int focus) override;
    int aec() override;
    void setAec(int aec) override;

    TLCondition switchOn();
    TLCondition switchOff();
    bool isSwitchedOn() const { return switchedOn.load(); }
    bool hasIndirectCommunicator() const { return !indirectCommunicator.isNull(); }

private slots:
    void onCommunicationError();

private:
    // What the stored settings hold, under their guard.
    TLGeneratorSettings pending() const;
    template <typename Change> void store(Change change);
    // Sends a parameter and re-queries the related ones, each only while queries are allowed.
    void sendSetting(int id, const QString &text, std::initializer_list<int> followUps);
    // The exposure values held as numbers: read from the generator while switched on,
    // otherwise from the stored settings; set likewise.
    double numberSetting(int id, double TLGeneratorSettings::*field);
    void setNumberSetting(int id, const char *name, double value, double TLGeneratorSettings::*field,
                          std::initializer_list<int> followUps);
    static QString numberText(double value);
    TLCondition lastExposureSettingsDirect(TLGeneratorSettings &settings);
    TLCondition notInitialised() const;

    TLGeneratorSettings pendingSettings;
    std::atomic<bool> switchedOn{false};
    QSharedPointer<TLKestrovanIndirectCommunicator> indirectCommunicator;
    mutable std::mutex settingsMutex;
};
