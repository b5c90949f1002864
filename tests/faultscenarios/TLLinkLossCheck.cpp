#include "TLLinkLossCheck.h"

#include "TLDirectTestRig.h"
#include "TLGeneratorConfigData.h"
#include "TLProcessProbe.h"
#include "TLSignalTally.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {
constexpr int SettleMs = 5000;
constexpr int ThreadExitMs = 1000;
} // namespace

double TLLinkLossCheck::cpuShareOver(int milliseconds)
{
    QElapsedTimer wall;
    wall.start();
    const double before = TLProcessProbe::cpuSeconds();
    QTest::qWait(milliseconds);
    const double used = TLProcessProbe::cpuSeconds() - before;
    return used / (double(wall.elapsed()) / 1000.0);
}

bool TLLinkLossCheck::isLinkFailureText(const QString &text, const QString &port)
{
    return text == QStringLiteral("Es trat ein Fehler bei der Kommunikation mit dem Generator auf.")
           || text == QStringLiteral("Fehler beim Schreiben auf COM-Port %1.").arg(port)
           || text == QStringLiteral("Es konnten nicht alle Daten auf COM-Port %1 gesendet werden.").arg(port)
           || text == QStringLiteral("Timeout oder Fehler beim Senden der Daten auf COM-Port %1.").arg(port);
}

void TLLinkLossCheck::verifyLossAndRecovery(TLDirectTestRig &rig, const TLSignalTally &linkErrors,
                                            const QElapsedTimer &since, qint64 allowedMs)
{
    const QString port = rig.sim().slavePath();
    QTRY_COMPARE_WITH_TIMEOUT(rig.device().state(), DeviceState::Error, int(allowedMs + SettleMs));
    qInfo("device in state 4 %lld ms after the line went (or was first used dead)", since.elapsed());
    QVERIFY2(since.elapsed() <= allowedMs + SettleMs, qPrintable(QString::number(since.elapsed())));
    QCOMPARE(rig.host().alarms().size(), 1);
    const TLCondition shown = rig.host().alarms().first().condition;
    qInfo("alarm: %s (%s)", qPrintable(shown.text()), qPrintable(shown.details()));
    QVERIFY(shown.isError());
    QVERIFY2(isLinkFailureText(shown.text(), port), qPrintable(shown.text()));
    QCOMPARE(linkErrors.total(), 1);
    QVERIFY(!rig.driver().isPortOpen());
    QVERIFY(!rig.driver().isSwitchedOn());
    QCOMPARE(rig.host().countLog(QStringLiteral("serial port closed after error")), 1);

    // The link thread has ended (Qt's threads are detached: the kernel lets a finished one go
    // a moment after wait() returned), and nothing else works on the dead line.
    QTRY_VERIFY_WITH_TIMEOUT(!TLProcessProbe::hasThreadNamed(QStringLiteral("KestrovanSerial")),
                             ThreadExitMs);
    const double share = cpuShareOver(CpuSpanMs);
    qInfo("CPU share after the failure: %.3f", share);
    QVERIFY2(share < MaxCpuShare, qPrintable(QString::number(share)));

    // Still usable while off: settings are kept for later, activation is refused.
    rig.driver().setKV(90);
    QCOMPARE(rig.driver().kV(), 90.0);
    QCOMPARE(rig.driver().activateForAcqusition().text(),
             QStringLiteral("Die Verbindung zum Generator ist nicht hergestellt."));
    QCOMPARE(rig.host().alarms().size(), 1);

    QVERIFY(recoverOnNewLine(rig));
    QCOMPARE(rig.host().alarms().size(), 1);
}

bool TLLinkLossCheck::recoverOnNewLine(TLDirectTestRig &rig)
{
    // A new pseudo-terminal; the kernel may hand out the old number again once the driver
    // has closed its end of the dead one.
    if (!rig.sim().start()) {
        qWarning("simulator did not start again: %s", qPrintable(rig.sim().errorString()));
        return false;
    }
    QSharedPointer<TLGeneratorConfigData> config(new TLGeneratorConfigData);
    config->portName = rig.sim().slavePath();
    config->targetDeviceCodes = {{quint32(TLDirectTestRig::TargetCodes[0]),
                                  quint32(TLDirectTestRig::TargetCodes[1]),
                                  quint32(TLDirectTestRig::TargetCodes[2])}};
    rig.driver().setDeviceConfig(config);

    QVariant unused;
    const TLCondition switched = rig.driver().executeCommand(QStringLiteral("switchOn"), unused);
    if (!switched.isSuccess()) {
        qWarning("switchOn failed: %s", qPrintable(switched.text()));
        return false;
    }
    if (!rig.driver().isSwitchedOn() || !rig.driver().isPortOpen()) {
        qWarning("switchOn reported success but the driver has no open port");
        return false;
    }
    rig.sim().clearTranscript();
    if (!rig.waitForPayload("st?", SettleMs)) {
        qWarning("no status poll on the new line");
        return false;
    }
    return true;
}
