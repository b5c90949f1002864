#pragma once

#include "TLApplicationContext.h"
#include "TLCondition.h"

#include <QCoreApplication>
#include <QList>
#include <QStringList>

#include <cstdio>
#include <mutex>

class TLHostAlarmProvider;
class TLHostSystemSettings;

// Our stand-in for the host application: the Qt application object and the host context in one.
// It records every log line and alarm (for tests) and can print them (for a person).
// Log and alarm calls may come from any thread.
class TLHostApplication : public QCoreApplication, public TLApplicationContext
{
    Q_OBJECT
public:
    struct LogRecord
    {
        QString category;
        LogLevel level;
        QString text;
    };
    struct AlarmRecord
    {
        TLCondition condition;
        QString text;
        bool flag;
    };
    enum class PrintFormat {
        Full,   // time stamp, level name, category, text
        Compact // level name, category, text; line feeds shown as \n
    };

    TLHostApplication(int &argc, char **argv);
    ~TLHostApplication() override;

    static TLHostApplication *host();

    void log(const QString &category, const QString &text, LogLevel level) override;
    QSharedPointer<TLAbstractAlarmProvider> alarm() const override;
    QSharedPointer<TLAbstractSystemSettings> system() const override;
    TLHostSystemSettings &systemSettings() const;

    // Recording is on from the start; a long run may switch it off to keep memory flat.
    void setRecording(bool on);
    // Print log lines at or above minLevel, and every alarm, to the stream (null: print nothing).
    void setPrinting(FILE *stream, LogLevel minLevel, PrintFormat format = PrintFormat::Full);

    QList<LogRecord> logRecords() const;
    QList<AlarmRecord> alarms() const;
    // Texts of the recorded lines of one category, in order.
    QStringList logTexts(const QString &category = QStringLiteral("KESTROVAN")) const;
    int countLog(const QString &text, const QString &category = QStringLiteral("KESTROVAN")) const;
    void clearRecords();

private:
    void recordAlarm(const TLCondition &condition, const QString &text, bool flag);
    void print(const QString &line);

    mutable std::mutex mutex;
    bool recording = true;
    FILE *printStream = nullptr;
    LogLevel printLevel = LogLevel::Info;
    PrintFormat printFormat = PrintFormat::Full;
    QList<LogRecord> records;
    QList<AlarmRecord> alarmRecords;
    QSharedPointer<TLHostAlarmProvider> alarmProvider;
    QSharedPointer<TLHostSystemSettings> settings;
};
