// A telegram that is never acknowledged: written again and again for 8 s, then the link fails.
#include "TLSerialTestMain.h"
#include "TLSerialTestRig.h"

#include <QElapsedTimer>
#include <QScopedPointer>

#include <atomic>
#include <thread>

namespace {
constexpr qint64 GiveUpMs = 8000;
// Some milliseconds for clocks that start a little apart.
constexpr qint64 ClockSlackMs = 100;
constexpr int EndTimeoutMs = 5000;
const QByteArray StatusQuery = QByteArray::fromHex("73743fb8");
} // namespace

// Polls the link's state in a thread of its own and keeps each change.
class LinkStateWatcher
{
public:
    explicit LinkStateWatcher(const TLKestrovanSerialCommunicator &link)
        : link(link), worker([this]() { run(); })
    {
    }
    ~LinkStateWatcher() { halt(); }
    // Stops watching and gives the states seen, in order.
    QList<int> changes()
    {
        halt();
        return seen;
    }

private:
    void halt()
    {
        finish = true;
        if (worker.joinable())
            worker.join();
    }
    void run()
    {
        while (!finish) {
            look();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        look();
    }
    void look()
    {
        const int current = link.state();
        if (seen.isEmpty() || seen.last() != current)
            seen.append(current);
    }

    const TLKestrovanSerialCommunicator &link;
    std::atomic<bool> finish{false};
    QList<int> seen;
    std::thread worker;
};

class TstSerialGiveUp : public QObject
{
    Q_OBJECT
private slots:
    void givesUpAfterEightSeconds();
};

void TstSerialGiveUp::givesUpAfterEightSeconds()
{
    TLSerialTestRig rig;
    QVERIFY(rig.start());
    LinkStateWatcher watcher(*rig.link);
    // As a protocol handler might: queue a telegram from the error report. It must not block
    // the link, and it is never written, as the link has failed.
    const QByteArray powerOff = QByteArray::fromHex("6f6e30b1");
    rig.recorder->sendOnError(powerOff);

    QElapsedTimer clock;
    clock.start();
    rig.link->send(StatusQuery, true);
    const qint64 waited = clock.elapsed();

    QVERIFY2(waited >= GiveUpMs - ClockSlackMs, qPrintable(QString::number(waited)));
    const TLCondition condition = rig.link->lastCondition();
    QVERIFY(condition.isError());
    QCOMPARE(condition.text(),
             QStringLiteral("Es trat ein Fehler bei der Kommunikation mit dem Generator auf."));
    QCOMPARE(condition.details(), QString());

    QVERIFY(rig.link->wait(EndTimeoutMs));
    QCOMPARE(rig.link->state(), TLKestrovanSerialCommunicator::Closed);
    QVERIFY(!rig.link->isOpen());
    QCOMPARE(watcher.changes(),
             (QList<int>{TLKestrovanSerialCommunicator::Open, TLKestrovanSerialCommunicator::Failed,
                         TLKestrovanSerialCommunicator::Closed}));
    QCOMPARE(rig.recorder->errors(), QList<TLCondition>{condition});

    // Written every 500 ms or a little more until 8 s had passed: about 16 times.
    const QByteArray wire = rig.readMasterFor(300);
    QVERIFY(!wire.contains(powerOff));
    const int copies = wire.count(StatusQuery);
    QCOMPARE(copies * StatusQuery.size(), wire.size());
    QVERIFY2(copies >= 14 && copies <= 18, qPrintable(QString::number(copies)));
}

TL_SERIAL_TEST_MAIN(TstSerialGiveUp)
#include "tst_serialgiveup.moc"
