#include "TLKestrovanConsoleSimulator.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QXmlStreamWriter>

#include <chrono>

#include <sys/stat.h>

namespace {
// Polling instead of a file-system watcher: it needs no event loop and also works on shares
// that send no change notifications.
constexpr int PollIntervalMs = 20;
constexpr int HighestTriggerNumber = 9999999; // "T9999999.trg", the first name handed out
constexpr qint64 MaxParameterFileBytes = qint64(64) * 1024;

const QString ParameterFileName = QStringLiteral("EDVRAD.par");
const QString ReportFileName = QStringLiteral("GEN50RFT_A.xml");
const QByteArray ParameterPrefix = QByteArrayLiteral("RADID=");
} // namespace

bool TLKestrovanConsoleSimulator::FileStamp::operator==(const FileStamp &other) const
{
    return exists == other.exists && inode == other.inode && size == other.size
           && modifiedNs == other.modifiedNs && changedNs == other.changedNs;
}

TLKestrovanConsoleSimulator::TLKestrovanConsoleSimulator(QObject *parent) : QObject(parent) {}

TLKestrovanConsoleSimulator::~TLKestrovanConsoleSimulator()
{
    stop();
}

bool TLKestrovanConsoleSimulator::start(const QString &folderPath)
{
    stop();
    if (folderPath.isEmpty() || !QDir(folderPath).exists())
        return false;

    const FileStamp seen = stampOf(QDir(folderPath).filePath(ParameterFileName));
    const int nextTriggerNumber = firstTriggerNumber(folderPath);
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopRequested = false;
        watchedFolder = folderPath;
        procedureCode.clear();
        triggerFile.clear();
        error.clear();
    }
    written.store(0);
    worker = std::thread(&TLKestrovanConsoleSimulator::run, this, folderPath, seen, nextTriggerNumber);
    return true;
}

void TLKestrovanConsoleSimulator::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopRequested = true;
    }
    stopCondition.notify_all();
    if (worker.joinable())
        worker.join();
}

bool TLKestrovanConsoleSimulator::isRunning() const
{
    return worker.joinable();
}

QString TLKestrovanConsoleSimulator::folder() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return watchedFolder;
}

void TLKestrovanConsoleSimulator::setExposure(double kv, double mas, double ma, double ms, double dose)
{
    std::lock_guard<std::mutex> lock(mutex);
    options.exposure = Exposure{kv, mas, ma, ms, dose};
}

void TLKestrovanConsoleSimulator::setResponseDelayMs(int delayMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    options.responseDelayMs = qMax(0, delayMs);
}

void TLKestrovanConsoleSimulator::setKeepOldTriggers(bool keep)
{
    std::lock_guard<std::mutex> lock(mutex);
    options.keepOldTriggers = keep;
}

void TLKestrovanConsoleSimulator::setWriteTrigger(bool write)
{
    std::lock_guard<std::mutex> lock(mutex);
    options.writeTrigger = write;
}

void TLKestrovanConsoleSimulator::setMalformedReport(bool malformed)
{
    std::lock_guard<std::mutex> lock(mutex);
    options.malformedReport = malformed;
}

void TLKestrovanConsoleSimulator::setNestingDepth(int depth)
{
    std::lock_guard<std::mutex> lock(mutex);
    options.nestingDepth = qMax(0, depth);
}

void TLKestrovanConsoleSimulator::setDecimalComma(bool comma)
{
    std::lock_guard<std::mutex> lock(mutex);
    options.decimalComma = comma;
}

QString TLKestrovanConsoleSimulator::lastProcedureCode() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return procedureCode;
}

int TLKestrovanConsoleSimulator::exposuresWritten() const
{
    return written.load();
}

QString TLKestrovanConsoleSimulator::lastTriggerFile() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return triggerFile;
}

QString TLKestrovanConsoleSimulator::lastError() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return error;
}

void TLKestrovanConsoleSimulator::run(const QString &folderPath, FileStamp seen, int nextTriggerNumber)
{
    const QString parameterPath = QDir(folderPath).filePath(ParameterFileName);
    // A change is acted on once the file has kept the same stamp for one poll interval, so
    // that a writer who fills the file in place (not in one step) is not read half-way.
    FileStamp candidate = seen;
    while (sleepUnlessStopped(PollIntervalMs)) {
        const FileStamp now = stampOf(parameterPath);
        if (now != candidate) {
            candidate = now;
            continue;
        }
        if (now == seen)
            continue;
        seen = now;
        if (!now.exists)
            continue; // removed: wait until it appears again

        QFile file(parameterPath);
        if (!file.open(QIODevice::ReadOnly)) {
            setError(QStringLiteral("cannot read %1: %2").arg(parameterPath, file.errorString()));
            continue;
        }
        const QByteArray content = file.read(MaxParameterFileBytes);
        file.close();
        respond(folderPath, content, nextTriggerNumber);
    }
}

bool TLKestrovanConsoleSimulator::sleepUnlessStopped(int milliseconds)
{
    std::unique_lock<std::mutex> lock(mutex);
    stopCondition.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return stopRequested; });
    return !stopRequested;
}

void TLKestrovanConsoleSimulator::respond(const QString &folderPath, const QByteArray &parameterContent,
                                          int &nextTriggerNumber)
{
    if (!parameterContent.startsWith(ParameterPrefix)) {
        setError(QStringLiteral("parameter file does not start with RADID=: %1")
                     .arg(QString::fromLatin1(parameterContent.left(40))));
        return;
    }
    const QString code = QString::fromLatin1(parameterContent.mid(ParameterPrefix.size()));
    int delayMs = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        procedureCode = code;
        delayMs = options.responseDelayMs;
    }
    if (!sleepUnlessStopped(delayMs))
        return;

    Options current;
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = options;
    }
    const QDir dir(folderPath);
    QString failure;
    if (!writeInOneStep(dir.filePath(ReportFileName), reportContent(code, current), &failure)) {
        setError(failure);
        return;
    }

    QString name;
    if (current.writeTrigger) {
        name = QStringLiteral("T%1.trg").arg(nextTriggerNumber, 7, 10, QLatin1Char('0'));
        if (!writeInOneStep(dir.filePath(name), QByteArray(), &failure)) {
            setError(failure);
            return;
        }
        // Below zero there is no shorter name; the last one is then rewritten.
        if (nextTriggerNumber > 0)
            --nextTriggerNumber;
        // Removed only after the new one exists, so that the first name in the folder
        // changes in one step from the old trigger file to the new one.
        if (!current.keepOldTriggers) {
            const QStringList triggers = dir.entryList(QStringList(QStringLiteral("*.trg")), QDir::Files);
            for (const QString &old : triggers) {
                if (old != name)
                    QFile::remove(dir.filePath(old));
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        triggerFile = name;
    }
    written.fetch_add(1);
    emit exposureWritten(code, name);
}

void TLKestrovanConsoleSimulator::setError(const QString &text)
{
    std::lock_guard<std::mutex> lock(mutex);
    error = text;
}

TLKestrovanConsoleSimulator::FileStamp TLKestrovanConsoleSimulator::stampOf(const QString &path)
{
    FileStamp stamp;
    struct stat info
    {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return stamp;
    stamp.exists = true;
    stamp.inode = static_cast<quint64>(info.st_ino);
    stamp.size = static_cast<qint64>(info.st_size);
    stamp.modifiedNs = static_cast<qint64>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    stamp.changedNs = static_cast<qint64>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    return stamp;
}

QByteArray TLKestrovanConsoleSimulator::reportContent(const QString &code, const Options &options)
{
    QByteArray content;
    QXmlStreamWriter writer(&content);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("GEN50RFT_A"));
    writer.writeTextElement(QStringLiteral("RADID"), code);
    for (int level = 0; level < options.nestingDepth; ++level)
        writer.writeStartElement(QStringLiteral("group"));
    writer.writeStartElement(QStringLiteral("exposure"));
    const Exposure &e = options.exposure;
    writer.writeTextElement(QStringLiteral("kv"), formatNumber(e.kv, options.decimalComma));
    writer.writeTextElement(QStringLiteral("mAs"), formatNumber(e.mas, options.decimalComma));
    writer.writeTextElement(QStringLiteral("ma"), formatNumber(e.ma, options.decimalComma));
    writer.writeTextElement(QStringLiteral("ms"), formatNumber(e.ms, options.decimalComma));
    writer.writeTextElement(QStringLiteral("mGy_cm2"), formatNumber(e.dose, options.decimalComma));
    writer.writeEndDocument(); // closes every open element
    if (options.malformedReport) {
        // Cut inside the values: an unclosed element and no end of the root.
        content.truncate(content.indexOf("</ma>"));
    }
    return content;
}

QString TLKestrovanConsoleSimulator::formatNumber(double value, bool decimalComma)
{
    QString text = QString::number(value, 'g', 10);
    if (decimalComma)
        text.replace(QLatin1Char('.'), QLatin1Char(','));
    return text;
}

bool TLKestrovanConsoleSimulator::writeInOneStep(const QString &path, const QByteArray &content,
                                                 QString *error)
{
    // QSaveFile writes a temporary "<name>.XXXXXX" beside the target and renames it: the
    // temporary never matches "*.trg" and the target is never seen half-written.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

int TLKestrovanConsoleSimulator::firstTriggerNumber(const QString &folderPath)
{
    static const QRegularExpression ownName(QStringLiteral("^T(\\d{7})\\.trg$"));
    int lowest = HighestTriggerNumber + 1;
    const QStringList names = QDir(folderPath).entryList(QStringList(QStringLiteral("T*.trg")), QDir::Files);
    for (const QString &name : names) {
        const QRegularExpressionMatch match = ownName.match(name);
        if (match.hasMatch())
            lowest = qMin(lowest, match.captured(1).toInt());
    }
    return qMax(0, lowest - 1);
}
