#include "TLHostApplication.h"

#include "TLHostAlarmProvider.h"
#include "TLHostSystemSettings.h"

#include <QDateTime>

namespace {
QString escapeLineFeeds(QString text)
{
    return text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
}
} // namespace

TLHostApplication::TLHostApplication(int &argc, char **argv)
    : QCoreApplication(argc, argv),
      alarmProvider(new TLHostAlarmProvider(
          [this](const TLCondition &c, const QString &t, bool f) { recordAlarm(c, t, f); })),
      settings(new TLHostSystemSettings)
{
}

TLHostApplication::~TLHostApplication() = default;

TLHostApplication *TLHostApplication::host()
{
    return qobject_cast<TLHostApplication *>(QCoreApplication::instance());
}

void TLHostApplication::log(const QString &category, const QString &text, LogLevel level)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (recording)
        records.append({category, level, text});
    if (printStream && static_cast<int>(level) >= static_cast<int>(printLevel)) {
        const QString name = QString::fromLatin1(logLevelName(level));
        if (printFormat == PrintFormat::Full)
            print(QStringLiteral("%1 %2 %3 %4")
                      .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs), name, category, text));
        else
            print(QStringLiteral("%1 %2 %3").arg(name, category, escapeLineFeeds(text)));
    }
}

QSharedPointer<TLAbstractAlarmProvider> TLHostApplication::alarm() const
{
    return alarmProvider;
}

QSharedPointer<TLAbstractSystemSettings> TLHostApplication::system() const
{
    return settings;
}

TLHostSystemSettings &TLHostApplication::systemSettings() const
{
    return *settings;
}

void TLHostApplication::setRecording(bool on)
{
    std::lock_guard<std::mutex> lock(mutex);
    recording = on;
}

void TLHostApplication::setPrinting(FILE *stream, LogLevel minLevel, PrintFormat format)
{
    std::lock_guard<std::mutex> lock(mutex);
    printStream = stream;
    printLevel = minLevel;
    printFormat = format;
}

QList<TLHostApplication::LogRecord> TLHostApplication::logRecords() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return records;
}

QList<TLHostApplication::AlarmRecord> TLHostApplication::alarms() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return alarmRecords;
}

QStringList TLHostApplication::logTexts(const QString &category) const
{
    std::lock_guard<std::mutex> lock(mutex);
    QStringList texts;
    for (const LogRecord &record : records) {
        if (record.category == category)
            texts << record.text;
    }
    return texts;
}

int TLHostApplication::countLog(const QString &text, const QString &category) const
{
    return logTexts(category).count(text);
}

void TLHostApplication::clearRecords()
{
    std::lock_guard<std::mutex> lock(mutex);
    records.clear();
    alarmRecords.clear();
}

void TLHostApplication::recordAlarm(const TLCondition &condition, const QString &text, bool flag)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (recording)
        alarmRecords.append({condition, text, flag});
    if (printStream) {
        if (printFormat == PrintFormat::Full)
            print(QStringLiteral("%1 ALARM %2")
                      .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs), condition.text()));
        else
            print(QStringLiteral("ALARM %1").arg(escapeLineFeeds(condition.text())));
    }
}

void TLHostApplication::print(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), printStream);
    std::fflush(printStream);
}
