// A telegram that cannot be written because the far end hung up: the link gives up after 8 s
// with the error of the last write rather than the general one.
#include "TLSerialTestMain.h"
#include "TLSerialTestRig.h"

#include <QElapsedTimer>

namespace {
constexpr qint64 GiveUpMs = 8000;
constexpr qint64 ClockSlackMs = 100;
constexpr int EndTimeoutMs = 5000;
} // namespace

class TstSerialWriteFailure : public QObject
{
    Q_OBJECT
private slots:
    void givesUpWithLastWriteError();
};

void TstSerialWriteFailure::givesUpWithLastWriteError()
{
    TLSerialTestRig rig;
    QVERIFY(rig.start());
    const QString portName = rig.master.slavePath();
    rig.master.hangUp();

    QElapsedTimer clock;
    clock.start();
    rig.link->send(QByteArray::fromHex("73743fb8"), true);
    const qint64 waited = clock.elapsed();
    QVERIFY2(waited >= GiveUpMs - ClockSlackMs, qPrintable(QString::number(waited)));

    const TLCondition condition = rig.link->lastCondition();
    QVERIFY(condition.isError());
    const QStringList writeErrors{
        QStringLiteral("Fehler beim Schreiben auf COM-Port %1.").arg(portName),
        QStringLiteral("Es konnten nicht alle Daten auf COM-Port %1 gesendet werden.").arg(portName),
        QStringLiteral("Timeout oder Fehler beim Senden der Daten auf COM-Port %1.").arg(portName)};
    QVERIFY2(writeErrors.contains(condition.text()), qPrintable(condition.text()));
    QVERIFY(!condition.details().isEmpty());

    QVERIFY(rig.link->wait(EndTimeoutMs));
    QCOMPARE(rig.link->state(), TLKestrovanSerialCommunicator::Closed);
    QCOMPARE(rig.recorder->errors(), QList<TLCondition>{condition});
}

TL_SERIAL_TEST_MAIN(TstSerialWriteFailure)
#include "tst_serialwritefailure.moc"
