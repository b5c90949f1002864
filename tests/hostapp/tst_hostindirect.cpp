// kestrovan-host in indirect mode against the console-software simulator in a temporary folder.

#include "TLHostProcess.h"
#include "TLKestrovanConsoleSimulator.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}
} // namespace

class tst_HostIndirect : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void exposureReportReachesTheHost();
    void optionsComeFromAConfigurationFile();
    void missingProcedureCodeIsOnlyAWarning();
    void missingFolderIsAnError();

private:
    std::unique_ptr<QTemporaryDir> folder;
    std::unique_ptr<QTemporaryDir> working;
    std::unique_ptr<TLKestrovanConsoleSimulator> console;
};

void tst_HostIndirect::init()
{
    folder.reset(new QTemporaryDir);
    working.reset(new QTemporaryDir);
    QVERIFY(folder->isValid() && working->isValid());
    console.reset(new TLKestrovanConsoleSimulator);
    console->setExposure(66.0, 8.5, 400.0, 21.25, 0.75);
    QVERIFY(console->start(folder->path()));
}

void tst_HostIndirect::cleanup()
{
    console.reset();
    working.reset();
    folder.reset();
}

void tst_HostIndirect::exposureReportReachesTheHost()
{
    TLHostProcess host;
    QVERIFY(host.run({QStringLiteral("--indirect"), folder->path(), QStringLiteral("--working-dir"),
                      working->path(), QStringLiteral("--procedure-code"), QStringLiteral("PA12")},
                     "init\nactivate\nlast\n"));
    QCOMPARE(host.outputLines(), QStringList({QStringLiteral("ok"), QStringLiteral("ok"),
                                              QStringLiteral("ok kv=66 mas=8.5 ma=400 ms=21.25 dap=0.75")}));
    QCOMPARE(host.exitCode(), 0);
    QCOMPARE(console->lastProcedureCode(), QStringLiteral("PA12"));
    // The parameter file was made in the given working folder and copied into the exchange.
    QCOMPARE(fileContent(working->filePath(QStringLiteral("EDVRAD.par"))), QByteArray("RADID=PA12"));
    QCOMPARE(fileContent(folder->filePath(QStringLiteral("EDVRAD.par"))), QByteArray("RADID=PA12"));
}

void tst_HostIndirect::optionsComeFromAConfigurationFile()
{
    QTemporaryDir configFolder;
    QVERIFY(configFolder.isValid());
    const QString configPath = configFolder.filePath(QStringLiteral("host.ini"));
    QFile config(configPath);
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("indirect=" + folder->path().toUtf8() + "\nworking-dir=" + working->path().toUtf8()
                 + "\nprocedure-code=FROMFILE\ntarget-codes=1,2,12\nlog-level=error\n");
    config.close();

    TLHostProcess host;
    // The command line wins over the file.
    QVERIFY(host.run({QStringLiteral("--config"), configPath, QStringLiteral("--procedure-code"),
                      QStringLiteral("FROMLINE")},
                     "init\nactivate\nlast\n"));
    QCOMPARE(host.exitCode(), 0);
    QCOMPARE(host.outputLines().value(2), QStringLiteral("ok kv=66 mas=8.5 ma=400 ms=21.25 dap=0.75"));
    QCOMPARE(console->lastProcedureCode(), QStringLiteral("FROMLINE"));
    // log-level=error from the file: the Notice lines of the exchange are not printed.
    QVERIFY2(!host.errorText().contains(QStringLiteral("NOTICE")), qPrintable(host.errorText()));
}

void tst_HostIndirect::missingProcedureCodeIsOnlyAWarning()
{
    TLHostProcess host;
    QVERIFY(host.run(
        {QStringLiteral("--indirect"), folder->path(), QStringLiteral("--working-dir"), working->path()},
        "init\nactivate\n"));
    QCOMPARE(host.outputLines(),
             QStringList({QStringLiteral("ok"),
                          QStringLiteral("warning: Der Procedure Code für den Generator fehlt.\\n"
                                         "Bitte nehmen Sie die Einstellungen am Bedienpult des "
                                         "Generators manuell vor.")}));
    QCOMPARE(host.exitCode(), 0);
    QVERIFY(!QFile::exists(folder->filePath(QStringLiteral("EDVRAD.par"))));
}

void tst_HostIndirect::missingFolderIsAnError()
{
    const QString missing = folder->filePath(QStringLiteral("not-there"));
    TLHostProcess host;
    QVERIFY(
        host.run({QStringLiteral("--indirect"), missing, QStringLiteral("--language"), QStringLiteral("en")},
                 "init\n"));
    QCOMPARE(
        host.outputLines(),
        QStringList({QStringLiteral("error: The communication folder does not exist. (%1)").arg(missing)}));
    QCOMPARE(host.exitCode(), 1);
}

QTEST_GUILESS_MAIN(tst_HostIndirect)
#include "tst_hostindirect.moc"
