// The interactive prompt, with standard input and output on a pseudo-terminal.

#include "TLHostProcess.h"
#include "TLPseudoTerminal.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {
constexpr int AnswerTimeoutMs = 20000;
}

class tst_HostPrompt : public QObject
{
    Q_OBJECT

private slots:
    void promptAnswersAndKeepsHistory();

private:
    // Reads the terminal until its output holds the text.
    bool readUntil(TLPseudoTerminal &terminal, QByteArray &seen, const QByteArray &text);
};

bool tst_HostPrompt::readUntil(TLPseudoTerminal &terminal, QByteArray &seen, const QByteArray &text)
{
    QElapsedTimer timer;
    timer.start();
    // Whether the terminal turns line feeds into CR LF depends on its modes: ignore the CRs.
    while (!QByteArray(seen).replace('\r', "").contains(text)) {
        if (timer.elapsed() > AnswerTimeoutMs)
            return false;
        seen += terminal.read(100);
    }
    return true;
}

void tst_HostPrompt::promptAnswersAndKeepsHistory()
{
    QTemporaryDir home;
    QTemporaryDir exchange;
    QVERIFY(home.isValid() && exchange.isValid());
    TLPseudoTerminal terminal;
    QVERIFY2(terminal.open(), qPrintable(terminal.errorString()));

    TLHostProcess host;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("TERM"), QStringLiteral("xterm"));
    host.process().setProcessEnvironment(environment);
    host.process().setStandardInputFile(terminal.slavePath());
    host.process().setStandardOutputFile(terminal.slavePath());
    QVERIFY(host.start({QStringLiteral("--indirect"), exchange.path()}, QByteArray(), true));

    QByteArray seen;
    QVERIFY2(readUntil(terminal, seen, "kestrovan> "), seen.constData());
    QVERIFY(terminal.write("set kv 72.5\r"));
    QVERIFY2(readUntil(terminal, seen, "ok\n"), seen.constData());
    QVERIFY(terminal.write("get kv\r"));
    QVERIFY2(readUntil(terminal, seen, "ok 72.5\n"), seen.constData());
    QVERIFY(terminal.write("nonsense\r"));
    QVERIFY2(readUntil(terminal, seen, "error: unknown command \"nonsense\""), seen.constData());
    QVERIFY(terminal.write("help\r"));
    QVERIFY2(readUntil(terminal, seen, "block-queries on|off"), seen.constData());
    QVERIFY(terminal.write("quit\r"));
    QVERIFY(host.finish(AnswerTimeoutMs));
    // The unknown command counts as a failure of the session.
    QCOMPARE(host.exitCode(), 1);

#if !defined(KESTROVAN_HOST_LINE_EDITING)
    QSKIP("built without a line-editing library: no history");
#endif
    QFile history(home.filePath(QStringLiteral(".kestrovan_host_history")));
    QVERIFY(history.open(QIODevice::ReadOnly));
    const QByteArray kept = history.readAll();
    QVERIFY2(kept.contains("get") && kept.contains("72.5") && kept.contains("quit"), kept.constData());
}

QTEST_GUILESS_MAIN(tst_HostPrompt)
#include "tst_hostprompt.moc"
