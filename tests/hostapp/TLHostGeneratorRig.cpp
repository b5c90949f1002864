#include "TLHostGeneratorRig.h"

#include "TLHostProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

TLHostGeneratorRig::TLHostGeneratorRig()
{
    simulator.setDapEnabled(true);
    simulator.setVersion("V7.3");
    // xs counts half milliseconds: 100 reads as 50 ms.
    simulator.setLastExposure("81", "16", "250", "100", "3.5");
    if (!simulator.start() || !data.isValid() || !QDir(data.path()).mkpath(QStringLiteral("kestrovan")))
        return;
    QFile catalogue(data.filePath(QStringLiteral("kestrovan/errors.csv")));
    if (!catalogue.open(QIODevice::WriteOnly))
        return;
    catalogue.write("Code;Beschreibung;Details;Typ\n105;Röhrenüberlast;Abkühlzeit abwarten.;Error");
    ready = true;
}

QStringList TLHostGeneratorRig::arguments(const QString &logLevel) const
{
    return {QStringLiteral("--port"),      simulator.slavePath(),
            QStringLiteral("--data-dir"),  data.path(),
            QStringLiteral("--log-level"), logLevel};
}

bool TLHostGeneratorRig::sleepUntil(TLHostProcess &host, const std::function<bool()> &check, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!check()) {
        if (timer.elapsed() > timeoutMs || host.process().state() == QProcess::NotRunning)
            return false;
        host.write(QByteArrayLiteral("sleep ") + QByteArray::number(PollStepMs) + '\n');
        host.process().waitForReadyRead(2 * PollStepMs);
    }
    return true;
}
