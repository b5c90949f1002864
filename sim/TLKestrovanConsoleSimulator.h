#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// The generator's console software on the far side of the communication folder, for tests,
// demonstrations and integrators. A worker thread of its own polls the folder; whenever
// "EDVRAD.par" appears or is replaced after start(), it reads the procedure code, waits the
// response delay, writes the exposure report "GEN50RFT_A.xml" and then a trigger file whose
// name sorts before every older one ("T9999999.trg", "T9999998.trg", ...). Both files appear
// in one step, never half-written. Because it does not need the caller's event loop, a
// caller that blocks its own thread (waiting for the trigger file) still sees it act.
//
// The setters may be called at any time from any thread; they apply to the next exposure.
class TLKestrovanConsoleSimulator : public QObject
{
    Q_OBJECT
public:
    static constexpr int DefaultResponseDelayMs = 200;

    explicit TLKestrovanConsoleSimulator(QObject *parent = nullptr);
    ~TLKestrovanConsoleSimulator() override;

    // Starts watching the folder (a running simulator is stopped first). An "EDVRAD.par"
    // that is already there counts as seen; only a new or replaced one makes an exposure.
    // False when the folder does not exist.
    bool start(const QString &folder);
    // Stops the worker thread, also in the middle of a response delay. Idempotent.
    void stop();
    bool isRunning() const;
    QString folder() const;

    // Values the next reports carry: "kv", "mAs", "ma", "ms" and "mGy_cm2".
    void setExposure(double kv, double mas, double ma, double ms, double dose);
    // Time between seeing the parameter file and writing the report (default 200 ms).
    void setResponseDelayMs(int delayMs);
    // true: older "*.trg" files stay; false (default): they are removed after the new one
    // is written, so that the folder holds exactly one trigger file.
    void setKeepOldTriggers(bool keep);
    // false: the report is written but no trigger file (the driver then waits in vain).
    void setWriteTrigger(bool write);
    // true: the report is cut off in the middle, so it is not well-formed XML.
    void setMalformedReport(bool malformed);
    // Number of extra elements around the exposure values (0: directly below the root).
    void setNestingDepth(int depth);
    // true: numbers are written with a decimal comma ("12,5").
    void setDecimalComma(bool comma);

    // Procedure code of the last parameter file read (empty before the first).
    QString lastProcedureCode() const;
    // Reports written since start().
    int exposuresWritten() const;
    // Name of the last trigger file written (empty before the first).
    QString lastTriggerFile() const;
    // Text of the last failure to read or write a file (empty when none happened).
    QString lastError() const;

signals:
    // Emitted from the worker thread after the report (and the trigger file, if enabled)
    // are written. Receivers in other threads get it queued.
    void exposureWritten(const QString &procedureCode, const QString &triggerFile);

private:
    struct Exposure
    {
        double kv = 70.0;
        double mas = 12.5;
        double ma = 250.0;
        double ms = 50.0;
        double dose = 1.8;
    };
    struct Options
    {
        Exposure exposure;
        int responseDelayMs = DefaultResponseDelayMs;
        bool keepOldTriggers = false;
        bool writeTrigger = true;
        bool malformedReport = false;
        int nestingDepth = 0;
        bool decimalComma = false;
    };
    // Identity of the parameter file on disk: a replaced file has a new inode or time stamp.
    struct FileStamp
    {
        bool exists = false;
        quint64 inode = 0;
        qint64 size = 0;
        qint64 modifiedNs = 0;
        qint64 changedNs = 0;
        bool operator==(const FileStamp &other) const;
        bool operator!=(const FileStamp &other) const { return !(*this == other); }
    };

    void run(const QString &folderPath, FileStamp seen, int nextTriggerNumber);
    // Sleeps up to the time; false when stop() was called meanwhile.
    bool sleepUnlessStopped(int milliseconds);
    void respond(const QString &folderPath, const QByteArray &parameterContent, int &nextTriggerNumber);
    void setError(const QString &text);

    static FileStamp stampOf(const QString &path);
    static QByteArray reportContent(const QString &procedureCode, const Options &options);
    static QString formatNumber(double value, bool decimalComma);
    static bool writeInOneStep(const QString &path, const QByteArray &content, QString *error);
    // Number for the first trigger file, below every "T<digits>.trg" already in the folder.
    static int firstTriggerNumber(const QString &folderPath);

    mutable std::mutex mutex; // guards everything below up to the thread
    Options options;
    QString watchedFolder;
    QString procedureCode;
    QString triggerFile;
    QString error;
    bool stopRequested = false;
    std::condition_variable stopCondition;
    std::atomic<int> written{0};
    std::thread worker; // started and joined only by the owner's thread
};
