#include "TLKestrovanIndirectCommunicator.h"

#include "KestrovanLog.h"
#include "TLAbstractSystemSettings.h"
#include "TLApplicationContext.h"
#include "TLDAPValue.h"
#include "TLFileSystemHelper.h"
#include "TLKestrovanFolderWatch.h"

#include <QBuffer>
#include <QDir>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
#include <QXmlInputSource>
QT_WARNING_POP

using KestrovanLog::log;

namespace {
const QString ParameterFileSuffix = QStringLiteral("\\EDVRAD.par");
const QString ReportFileSuffix = QStringLiteral("/GEN50RFT_A.xml");
const QString TriggerFilePattern = QStringLiteral("*.trg");
// The folder is listed again at least this often while a trigger file is awaited: shares and
// some file systems report no changes.
constexpr int RelistMs = 20;

// The console software writes a report of a few kilobytes. The DOM parser takes whatever it
// can make sense of (a DOCTYPE, stray Latin-1 bytes, undeclared entities, duplicate
// attributes), and so does this reader, except where a file could hurt the host:
// - size: larger files are refused without being read into memory;
constexpr qint64 MaxReportBytes = qint64(16) * 1024 * 1024;
// - nesting: the DOM recurses once per level, so about 100,000 levels overflow the stack,
//   and 10,000 already take a third of a second; a report needs a handful;
constexpr int MaxReportDepth = 256;
// - entity declarations in the document's own DTD: they can expand exponentially, and a
//   report has no use for them.

// Latin-1 bytes of the text; every character outside Latin-1 becomes one "?", also one that
// takes two UTF-16 code units.
QByteArray toLatin1PerCharacter(const QString &text)
{
    QByteArray bytes;
    const QVector<uint> codePoints = text.toUcs4();
    bytes.reserve(codePoints.size());
    for (const uint codePoint : codePoints)
        bytes.append(codePoint <= 0xFF ? static_cast<char>(codePoint) : '?');
    return bytes;
}

// Whole text content of the first element of that exact tag name below the root, in
// document order at any depth; empty when there is none.
QString firstElementText(const QDomElement &root, const QString &tag)
{
    return root.elementsByTagName(tag).at(0).toElement().text();
}

// A cheap pass over the report before the DOM parser sees it: it follows only what ends a
// tag, a comment, a processing instruction, a CDATA section or a DTD, and so needs no stack
// however deep the document is. It judges nothing else; the parser does. It reads through
// the parser's own input source, which Qt marks as deprecated along with the parser.
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
constexpr int EndOfReport = -1;

int nextCharacter(QXmlInputSource &source)
{
    for (;;) {
        const ushort c = source.next().unicode();
        if (c == QXmlInputSource::EndOfDocument)
            return EndOfReport;
        if (c != QXmlInputSource::EndOfData) // only the end of a chunk
            return c;
    }
}

// Reads up to and including the terminator (two or three characters).
void skipPast(QXmlInputSource &source, QLatin1String terminator)
{
    int last[3] = {EndOfReport, EndOfReport, EndOfReport};
    const int length = terminator.size();
    for (int c = nextCharacter(source); c != EndOfReport; c = nextCharacter(source)) {
        last[0] = last[1];
        last[1] = last[2];
        last[2] = c;
        bool matches = true;
        for (int i = 0; i < length && matches; ++i)
            matches = last[3 - length + i] == terminator[i].unicode();
        if (matches)
            return;
    }
}

// Reads the rest of a comment after its "<!-": the second "-" must not count towards the
// "-->" that ends it.
void skipComment(QXmlInputSource &source)
{
    if (nextCharacter(source) == '-')
        skipPast(source, QLatin1String("-->"));
}

enum class TagEnd { Open, Empty, Missing };

// Reads the rest of a tag or markup declaration up to its ">"; a ">" in a quoted value does
// not end it.
TagEnd skipTag(QXmlInputSource &source)
{
    int quote = 0;
    int previous = 0;
    for (int c = nextCharacter(source); c != EndOfReport; c = nextCharacter(source)) {
        if (quote != 0) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return previous == '/' ? TagEnd::Empty : TagEnd::Open;
        }
        previous = c;
    }
    return TagEnd::Missing;
}

enum class DocumentType { Plain, DeclaresEntities };

// Reads the rest of a "<!DOCTYPE" up to its final ">", through the internal subset in
// brackets with its declarations, comments and processing instructions.
DocumentType skipDocumentType(QXmlInputSource &source)
{
    const QLatin1String entity("ENTITY");
    int quote = 0;
    bool inSubset = false;
    for (int c = nextCharacter(source); c != EndOfReport; c = nextCharacter(source)) {
        if (quote != 0) {
            if (c == quote)
                quote = 0;
        } else if (!inSubset) {
            if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '[') {
                inSubset = true;
            } else if (c == '>') {
                return DocumentType::Plain;
            }
        } else if (c == ']') {
            inSubset = false;
        } else if (c == '<') {
            c = nextCharacter(source);
            if (c == '?') {
                skipPast(source, QLatin1String("?>"));
            } else if (c == '!' && (c = nextCharacter(source)) == '-') {
                skipComment(source);
            } else {
                int matched = 0;
                while (matched < entity.size() && c == entity[matched].unicode()) {
                    ++matched;
                    c = nextCharacter(source);
                }
                if (matched == entity.size())
                    return DocumentType::DeclaresEntities;
                if (c != '>')
                    skipTag(source);
            }
        }
    }
    return DocumentType::Plain;
}
QT_WARNING_POP
} // namespace

TLKestrovanIndirectCommunicator::TLKestrovanIndirectCommunicator(QObject *parent) : QObject(parent) {}

TLCondition TLKestrovanIndirectCommunicator::init(const QString &communicationFolder)
{
    communicationPath = communicationFolder;
    if (communicationPath.isEmpty()) {
        log(LogLevel::Error, QStringLiteral("communication path not set"));
        return TLCondition::error(tr("Es ist kein Kommunikationsverzeichnis angegeben."), QString());
    }
    if (!QDir(communicationPath).exists()) {
        log(LogLevel::Error, QStringLiteral("communication path does not exist (%1)").arg(communicationPath));
        return TLCondition::error(tr("Das Kommunikationsverzeichnis existiert nicht."), communicationPath);
    }
    return TLCondition();
}

TLCondition TLKestrovanIndirectCommunicator::activate(const QString &procedureCode)
{
    if (procedureCode.isEmpty()) {
        log(LogLevel::Warning, QStringLiteral("no procedure code"));
        return TLCondition::warning(
            tr("Der Procedure Code für den Generator fehlt.\n"
               "Bitte nehmen Sie die Einstellungen am Bedienpult des Generators manuell vor."),
            QString());
    }

    // Without a host there is no working directory; building the path from nothing would
    // write into the file system's root.
    TLApplicationContext *context = TLApplicationContext::instance();
    const QSharedPointer<TLAbstractSystemSettings> settings =
        context ? context->system() : QSharedPointer<TLAbstractSystemSettings>();
    if (!settings)
        return TLCondition::error(tr("Fehler bei der Erstellung der Parameterdatei."), QString());

    const QString localPath =
        TLFileSystemHelper::adaptFileOrPathToSystem(settings->workingDirectory() + ParameterFileSuffix);
    TLCondition created = createParameterFile(localPath, procedureCode);
    if (!created.isSuccess())
        return created;

    const QString targetPath =
        TLFileSystemHelper::adaptFileOrPathToSystem(communicationPath + ParameterFileSuffix);
    TLCondition copied = TLFileSystemHelper::copyFile(localPath, targetPath, true);
    if (!copied.isSuccess())
        return copied;
    log(LogLevel::Notice, QStringLiteral("copy file EDVRAD.par successful (%1)").arg(targetPath));

    const QStringList triggers = triggerFiles();
    if (triggers.size() >= 2) {
        log(LogLevel::Warning, QStringLiteral("more than one trigger files in folder (%1)")
                                   .arg(triggers.join(QLatin1Char(';'))));
        return TLCondition::warning(
            tr("Im Kommunikationsverzeichnis sind mehrere Trigger-Dateien vorhanden.\n"
               "Bitte prüfen Sie das Verzeichnis."),
            communicationPath);
    }

    // Listed again on purpose: the console may have changed the folder in between.
    currentTriggerFile = firstTriggerFile();
    log(LogLevel::Info, QStringLiteral("current trigger file: ") + currentTriggerFile);
    return TLCondition();
}

bool TLKestrovanIndirectCommunicator::waitForNewTriggerFile(qint32 timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    // Watched before the first listing, so that a file made in between is not missed; an empty
    // folder text names the current directory, as for the listing.
    TLKestrovanFolderWatch watch(QDir(communicationPath).absolutePath());
    QString first = firstTriggerFile();
    while (first == currentTriggerFile) {
        const qint64 left = qint64(timeoutMs) - timer.elapsed();
        if (left < 0) {
            log(LogLevel::Warning, QStringLiteral("no new trigger file found"));
            return false;
        }
        watch.waitForChange(int(qMin<qint64>(RelistMs, left + 1)));
        first = firstTriggerFile();
    }
    log(LogLevel::Info, QStringLiteral("found new trigger file: ") + first);
    return true;
}

TLGeneratorSettings TLKestrovanIndirectCommunicator::lastExposureSettings()
{
    constexpr qint32 TriggerFileTimeoutMs = 3000;
    if (!waitForNewTriggerFile(TriggerFileTimeoutMs))
        return TLGeneratorSettings();
    return readExposureReport();
}

TLCondition TLKestrovanIndirectCommunicator::createParameterFile(const QString &filePath,
                                                                 const QString &procedureCode)
{
    if (QFile::exists(filePath))
        QFile::remove(filePath);

    QFile file(filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        log(LogLevel::Error, QStringLiteral("failed to create file ") + filePath);
        return TLCondition::error(tr("Fehler bei der Erstellung der Parameterdatei."), filePath);
    }
    file.write(toLatin1PerCharacter(QStringLiteral("RADID=") + procedureCode));
    file.close();

    log(LogLevel::Notice, QStringLiteral("creating parameter file successful (%1)").arg(filePath));
    return TLCondition();
}

QStringList TLKestrovanIndirectCommunicator::triggerFiles() const
{
    // A fresh QDir each time: QDir caches its listing.
    return QDir(communicationPath)
        .entryList(QStringList(TriggerFilePattern), QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
}

QString TLKestrovanIndirectCommunicator::firstTriggerFile() const
{
    const QStringList triggers = triggerFiles();
    return triggers.isEmpty() ? QString() : triggers.first();
}

TLGeneratorSettings TLKestrovanIndirectCommunicator::readExposureReport() const
{
    TLGeneratorSettings settings;
    const QString path = TLFileSystemHelper::adaptFileOrPathToSystem(communicationPath + ReportFileSuffix);

    // Only a regular file: opening a named pipe would block until somebody writes to it.
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        log(LogLevel::Error, QStringLiteral("failed to open the file GEN50RFT_A.xml"));
        return settings;
    }
    QByteArray bytes;
    if (file.size() <= MaxReportBytes)
        bytes = file.read(file.size() + 1); // one byte more shows a file that grew meanwhile
    const bool tooLarge = file.size() > MaxReportBytes || bytes.size() > MaxReportBytes;
    file.close();

    QDomDocument document;
    if (tooLarge || !isSafeToParse(bytes) || !document.setContent(bytes, false)) {
        log(LogLevel::Error, QStringLiteral("failed to process the file GEN50RFT_A.xml"));
        return settings;
    }

    const QDomElement root = document.documentElement();
    settings.kV = firstElementText(root, QStringLiteral("kv")).toDouble();
    settings.mAs = firstElementText(root, QStringLiteral("mAs")).toDouble();
    const float dose = firstElementText(root, QStringLiteral("mGy_cm2")).toFloat();
    if (dose > 0.0f)
        settings.dap.setValue(dose, DAPValueUnit::mGy_cm2);
    settings.ms = firstElementText(root, QStringLiteral("ms")).toDouble();
    settings.mA = firstElementText(root, QStringLiteral("ma")).toDouble();

    log(LogLevel::Notice, QStringLiteral("reading file GEN50RFT_A.xml successful"));
    return settings;
}

QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
bool TLKestrovanIndirectCommunicator::isSafeToParse(const QByteArray &document)
{
    // The same input source as the DOM parser's, so that this pass sees the characters the
    // parser will see: after a byte order mark, in UTF-16 without one, or in a declared
    // encoding such as UTF-7, where "+ADw-" is a "<". It keeps one chunk in memory.
    QBuffer buffer;
    buffer.setData(document);
    QXmlInputSource source(&buffer);
    int depth = 0;
    for (int c = nextCharacter(source); c != EndOfReport; c = nextCharacter(source)) {
        if (c != '<')
            continue;
        c = nextCharacter(source);
        if (c == '?') {
            skipPast(source, QLatin1String("?>"));
        } else if (c == '/') {
            --depth;
            skipTag(source);
        } else if (c != '!') {
            if (skipTag(source) == TagEnd::Open && ++depth > MaxReportDepth)
                return false;
        } else if ((c = nextCharacter(source)) == '-') {
            skipComment(source);
        } else if (c == '[') {
            skipPast(source, QLatin1String("]]>"));
        } else if (skipDocumentType(source) == DocumentType::DeclaresEntities) {
            return false;
        }
    }
    return true;
}
QT_WARNING_POP
