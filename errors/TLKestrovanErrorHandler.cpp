#include "TLKestrovanErrorHandler.h"

#include "KestrovanLog.h"
#include "TLFileSystemHelper.h"
#include "TLKestrovanSafeFile.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>

using KestrovanLog::log;

namespace {
constexpr char RecordSeparator = '\n';
constexpr QChar FieldSeparator = QLatin1Char(';');
// code; description; details; type
constexpr int FieldCount = 4;
// A catalogue of every code a generator has is some tens of kilobytes; a larger file is no
// catalogue, and reading it whole could cost the host seconds and its memory.
constexpr qint64 MaxCatalogueBytes = qint64(1) * 1024 * 1024;
// Enough bad lines in the log to see what is wrong with a file; the rest are only counted.
constexpr int MaxLoggedBadLines = 100;
// The host's alarm box lays out the text in lines of this width; the blank line keeps the code
// and the description apart there.
constexpr int SpacerWidthChars = 83;

// Entries of weight error would each write a host log line while they are made; a catalogue of
// a few hundred codes must not flood the log. Switched on again however the parse loop is left.
class QuietErrorConditions
{
public:
    QuietErrorConditions() { TLCondition::enableAutoLoggingErrors(false); }
    ~QuietErrorConditions() { TLCondition::enableAutoLoggingErrors(true); }
    QuietErrorConditions(const QuietErrorConditions &) = delete;
    QuietErrorConditions &operator=(const QuietErrorConditions &) = delete;
};

const QString &spacerLine()
{
    static const QString line(SpacerWidthChars, QLatin1Char(' '));
    return line;
}
} // namespace

TLKestrovanErrorHandler::TLKestrovanErrorHandler(QObject *parent) : QObject(parent) {}

TLCondition TLKestrovanErrorHandler::loadErrorFile(const QString &folder)
{
    lineNumber = 0;
    badLines = 0;
    const QString prefix = loadFailurePrefix();
    const QString path = TLFileSystemHelper::adaptFileOrPathToSystem(folder + QStringLiteral("/errors.csv"));

    if (!QFile::exists(path)) {
        log(LogLevel::Error, QStringLiteral("error handling: file does not exists: ") + path);
        return TLCondition::warning(prefix + tr("Die Datei mit Fehlerinformationen existiert nicht."), path);
    }

    // Only a plain file is read. A directory cannot be read, and a pipe or a device under that
    // name could block the host's thread or never reach an end.
    // Text mode drops every carriage return, so CR LF files read like LF files.
    QFile file;
    QByteArray content;
    TLKestrovanSafeFile::Read read = TLKestrovanSafeFile::Read::Failed;
    if (TLKestrovanSafeFile::openRegularFile(file, path, QIODevice::Text))
        read = TLKestrovanSafeFile::readAtMost(file, MaxCatalogueBytes, content);
    if (read == TLKestrovanSafeFile::Read::TooLarge)
        log(LogLevel::Warning, QStringLiteral("error handling: file too large (%1 bytes, at most %2): %3")
                                   .arg(qMax(file.size(), MaxCatalogueBytes + 1))
                                   .arg(MaxCatalogueBytes)
                                   .arg(path));
    else if (read == TLKestrovanSafeFile::Read::Failed)
        log(LogLevel::Error, QStringLiteral("error handling: failed to open file: ") + path);
    if (read != TLKestrovanSafeFile::Read::Whole)
        return TLCondition::warning(
            prefix + tr("Die Datei mit Fehlerinformationen kann nicht geöffnet werden nicht."), path);
    file.close();

    TLCondition lastBadLine;
    {
        const QuietErrorConditions quiet;
        // The piece before the first line feed is the header. Every piece after a line feed is
        // a record, the empty one after a final line feed included. Walked in place so that a
        // large file costs one pass and no list of copies.
        int separator = content.indexOf(RecordSeparator);
        while (separator >= 0) {
            const int begin = separator + 1;
            separator = content.indexOf(RecordSeparator, begin);
            const int end = separator >= 0 ? separator : content.size();
            const TLCondition outcome =
                parseLine(QString::fromUtf8(content.constData() + begin, end - begin));
            if (!outcome.isSuccess())
                lastBadLine = outcome;
        }
    }
    if (badLines > MaxLoggedBadLines)
        log(LogLevel::Error,
            QStringLiteral("error handling: %1 more bad lines not logged").arg(badLines - MaxLoggedBadLines));

    log(LogLevel::Info, QStringLiteral("error handling: readed %1 entries from error file %2")
                            .arg(QString::number(errors.size()), path));
    if (lastBadLine.isSuccess())
        return TLCondition();
    return TLCondition::warning(prefix + lastBadLine.text(), lastBadLine.details());
}

TLCondition TLKestrovanErrorHandler::errorCondition(const QString &code) const
{
    if (const TLCondition *entry = catalogueEntry(code))
        return *entry;
    return TLCondition::error(unknownCodeText(code));
}

TLCondition TLKestrovanErrorHandler::combinedCondition(const QStringList &codes) const
{
    // Only the combined condition is made, so that only it is logged as made: a storm of codes
    // must not become a storm of log lines.
    bool anyError = false;
    QStringList texts;
    for (const QString &code : codes) {
        const TLCondition *entry = catalogueEntry(code);
        anyError = anyError || !entry || entry->isError();
        texts << (entry ? entry->text() : unknownCodeText(code));
    }
    const QString text = tr("Generatorfehler: %1").arg(codes.join(QStringLiteral(", ")));
    const QString details = texts.join(QStringLiteral("\n\n"));
    return anyError ? TLCondition::error(text, details) : TLCondition::warning(text, details);
}

const TLCondition *TLKestrovanErrorHandler::catalogueEntry(const QString &code) const
{
    // A code that is no number is no code of the catalogue: looked up as 0, a fault would read
    // as "no fault".
    bool isNumber = false;
    const qint32 key = code.toInt(&isNumber, 10);
    const auto entry = isNumber ? errors.constFind(key) : errors.cend();
    return entry != errors.cend() ? &entry.value() : nullptr;
}

QString TLKestrovanErrorHandler::unknownCodeText(const QString &code)
{
    log(LogLevel::Debug, QStringLiteral("no description found for error code ") + code);
    return tr("Generatorfehler: ") + code;
}

TLCondition TLKestrovanErrorHandler::parseLine(const QString &line)
{
    ++lineNumber;

    // Counted before splitting: a garbage line full of separators is refused without making
    // thousands of fields.
    if (line.count(FieldSeparator) != FieldCount - 1) {
        logBadLine(QStringLiteral("error handling: wrong number of elements in line: %1").arg(lineNumber));
        return TLCondition::error(tr("Fehlerhafte Anzahl von Elementen in Zeile %1.").arg(lineNumber));
    }

    const QStringList fields = line.split(FieldSeparator, Qt::KeepEmptyParts);
    const QString &code = fields.at(0);
    const QString &description = fields.at(1);
    const QString &details = fields.at(2);
    const QString &type = fields.at(3);

    const bool isWarning = type == QLatin1String("Warning");
    if (!isWarning && type != QLatin1String("Error")) {
        logBadLine(QStringLiteral("error handling: type failure in line: %1").arg(lineNumber));
        return TLCondition::error(tr("Fehlerhafter Typ in Zeile %1.").arg(lineNumber));
    }

    // The text shows the code as written ("007"), the key holds its value (7).
    const QString text =
        tr("Generatorfehler: ") + code + QLatin1Char('\n') + spacerLine() + QLatin1Char('\n') + description;
    errors.insert(codeKey(code),
                  isWarning ? TLCondition::warning(text, details) : TLCondition::error(text, details));
    return TLCondition();
}

void TLKestrovanErrorHandler::logBadLine(const QString &text)
{
    if (++badLines <= MaxLoggedBadLines)
        log(LogLevel::Error, text);
}

QString TLKestrovanErrorHandler::loadFailurePrefix()
{
    return tr("Fehler bei Initialisierung der Fehlerdatei.\n"
              "Unter Umständen sind keine weiteren Infomationen zu den Fehlercodes des "
              "Generators verfügbar.\n");
}

qint32 TLKestrovanErrorHandler::codeKey(const QString &code)
{
    // toInt gives 0 for anything that is no number in range, blanks around the digits allowed.
    return code.toInt(nullptr, 10);
}
