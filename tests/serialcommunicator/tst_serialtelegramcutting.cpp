// The pure parts of the link: cutting a byte stream into telegrams and recognising an
// acknowledgement. No port involved.
#include "TLKestrovanSerialCommunicator.h"

#include "TLSerialTestMain.h"

class TstSerialTelegramCutting : public QObject
{
    Q_OBJECT
private slots:
    void cutTelegrams_data();
    void cutTelegrams();
    void cutTelegramsAppendsBehindWhatIsQueued();
    void isAcknowledgement_data();
    void isAcknowledgement();
};

namespace {
QList<QByteArray> fromHexList(const QStringList &hexList)
{
    QList<QByteArray> list;
    for (const QString &hex : hexList)
        list.append(QByteArray::fromHex(hex.toLatin1()));
    return list;
}
} // namespace

void TstSerialTelegramCutting::cutTelegrams_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("telegrams");

    QTest::newRow("73743fb8 one telegram") << QByteArray::fromHex("73743fb8") << QStringList{"73743fb8"};
    QTest::newRow("73743fb8 6b7637309a two in a burst")
        << QByteArray::fromHex("73743fb86b7637309a") << QStringList{"73743fb8", "6b7637309a"};
    QTest::newRow("727381 empty value") << QByteArray::fromHex("727381") << QStringList{"727381"};
    QTest::newRow("b8 lone terminator") << QByteArray::fromHex("b8") << QStringList{"b8"};
    QTest::newRow("b8 b8 two lone terminators") << QByteArray::fromHex("b8b8") << QStringList{"b8", "b8"};
    QTest::newRow("80 ff lowest and highest terminator")
        << QByteArray::fromHex("80ff") << QStringList{"80", "ff"};
    QTest::newRow("b8 73743fb8 ack before a telegram")
        << QByteArray::fromHex("b873743fb8") << QStringList{"b8", "73743fb8"};
    QTest::newRow("73743fb8 6b76 trailing bytes dropped")
        << QByteArray::fromHex("73743fb86b76") << QStringList{"73743fb8"};
    QTest::newRow("6b763730 no terminator") << QByteArray::fromHex("6b763730") << QStringList{};
    QTest::newRow("7f7f 7f is no terminator") << QByteArray::fromHex("7f7f") << QStringList{};
    QTest::newRow("00 7f 80 control bytes kept") << QByteArray::fromHex("007f80") << QStringList{"007f80"};
    QTest::newRow("empty input") << QByteArray() << QStringList{};
}

void TstSerialTelegramCutting::cutTelegrams()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, telegrams);

    QList<QByteArray> queue;
    TLKestrovanSerialCommunicator::cutTelegrams(bytes, queue);
    QCOMPARE(queue, fromHexList(telegrams));
}

void TstSerialTelegramCutting::cutTelegramsAppendsBehindWhatIsQueued()
{
    QList<QByteArray> queue{QByteArray::fromHex("6f6e31b0")};
    TLKestrovanSerialCommunicator::cutTelegrams(QByteArray::fromHex("73743fb86b76"), queue);
    QCOMPARE(queue, fromHexList({"6f6e31b0", "73743fb8"}));

    // The dropped tail is not kept for the next call either.
    TLKestrovanSerialCommunicator::cutTelegrams(QByteArray::fromHex("37309a"), queue);
    QCOMPARE(queue, fromHexList({"6f6e31b0", "73743fb8", "37309a"}));
}

void TstSerialTelegramCutting::isAcknowledgement_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("telegram");
    QTest::addColumn<bool>("acknowledges");

    const QByteArray statusQuery = QByteArray::fromHex("73743fb8");
    QTest::newRow("b8 for 73743fb8") << QByteArray::fromHex("b8") << statusQuery << true;
    QTest::newRow("9a for 73743fb8") << QByteArray::fromHex("9a") << statusQuery << false;
    QTest::newRow("b0 for 6f6e31b0") << QByteArray::fromHex("b0") << QByteArray::fromHex("6f6e31b0") << true;
    QTest::newRow("73743fb8 echoed whole is no ack") << statusQuery << statusQuery << false;
    QTest::newRow("38 bit 7 clear is no ack")
        << QByteArray::fromHex("38") << QByteArray::fromHex("7338") << false;
    QTest::newRow("empty message") << QByteArray() << statusQuery << false;
    QTest::newRow("empty telegram") << QByteArray::fromHex("b8") << QByteArray() << false;
}

void TstSerialTelegramCutting::isAcknowledgement()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, telegram);
    QFETCH(bool, acknowledges);

    QCOMPARE(TLKestrovanSerialCommunicator::isAcknowledgement(message, telegram), acknowledges);
}

TL_SERIAL_TEST_MAIN(TstSerialTelegramCutting)
#include "tst_serialtelegramcutting.moc"
