#include "TLKestrovanIndirectCommunicator.h"

#include "KestrovanLog.h"
#include "TLAbstractSystemSettings.h"
#include "TLApplicationContext.h"
#include "TLDAPValue.h"
#include "TLFileSystemHelper.h"
#include "TLKestrovanFolderWatch.h"
#include "TLKestrovanSafeFile.h"

#include <QBuffer>
#include <QDir>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <limits>

QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
#include <QXmlInputSource>
QT_WARNING_POP

using KestrovanLog::log;

namespace {
const QString ParameterFileSuffix = QStringLiteral("\\EDVRAD.par");
const QString ReportFileSuffix = QStringLiteral("/GEN50RFT_A.xml");
const QString TriggerFileSuffix = QStringLiteral(".trg");
const QString TriggerFilePattern = QLatin1Char('*') + TriggerFileSuffix;

// The console software writes a report of a few kilobytes. The DOM parser takes whatever it
// can make sense of (a DOCTYPE, stray Latin-1 bytes, undeclared entities, duplicate
// attributes), and so does this reader, except where a file could hurt the host:
// - size: larger files are refused without being read into memory; hundreds of times what a
//   real report needs, while the copies the parser makes of it stay a few MiB;
constexpr qint64 MaxReportBytes = qint64(1) * 1024 * 1024;
// - nodes: the DOM takes up to about 600 bytes for each element, attribute, text or reference,
//   so a megabyte of tiny nodes would cost a hundred; a real report has a few hundred nodes,
//   and this many cost at most about 12 MiB;
constexpr int MaxReportNodes = 20000;
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

// A measure that cannot be infinite or negative: such a value (the text "inf", or digits past
// what a double holds) reads 0, with a warning naming the element.
double measuredValue(double value, const QString &tag)
{
    if (std::isfinite(value) && value >= 0)
        return value;
    log(LogLevel::Warning,
        QStringLiteral("no valid value in the element %1 of GEN50RFT_A.xml, read as 0").arg(tag));
    return 0;
}

double elementValue(const QDomElement &root, const QString &tag)
{
    return measuredValue(firstElementText(root, tag).toDouble(), tag);
}

// As the listing takes an entry: a name that ends in ".trg" in any case and is not hidden, of a
// regular file or of a link to anything but a folder that exists.
bool isTriggerFile(const QString &folder, const QString &name)
{
    if (!name.endsWith(TriggerFileSuffix, Qt::CaseInsensitive) || name.startsWith(QLatin1Char('.')))
        return false;
    const QFileInfo entry(QDir(folder).filePath(name));
    return entry.isSymLink() ? entry.exists() && !entry.isDir() : entry.isFile();
}

// A cheap pass over the report before the DOM parser sees it: it follows only what ends a
// tag, a comment, a processing instruction, a CDATA section or a DTD, and so needs no stack
// however deep the document is, and counts what may become a node. It judges nothing else;
// the parser does. It reads through the parser's own input source, which Qt marks as
// deprecated along with the parser.
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
// not end it. Adds each "=" outside quotes, an attribute, to the nodes.
TagEnd skipTag(QXmlInputSource &source, qint64 &nodes)
{
    int quote = 0;
    int previous = 0;
    for (int c = nextCharacter(source); c != EndOfReport; c = nextCharacter(source)) {
        if (quote != 0) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '=') {
            ++nodes;
        } else if (c == '>') {
            return previous == '/' ? TagEnd::Empty : TagEnd::Open;
        }
        previous = c;
    }
    return TagEnd::Missing;
}

enum class DocumentType { Plain, DeclaresEntities };

// Reads the rest of a "<!DOCTYPE" up to its final ">", through the internal subset in
// brackets with its declarations, comments and processing instructions, each one a node.
DocumentType skipDocumentType(QXmlInputSource &source, qint64 &nodes)
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
            ++nodes;
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
                    skipTag(source, nodes);
            }
        }
    }
    return DocumentType::Plain;
}
QT_WARNING_POP
} // namespace

TLKestrovanIndirectCommunicator::TLKestrovanIndirectCommunicator(QObject *parent) : QObject(parent) {}

TLKestrovanIndirectCommunicator::~TLKestrovanIndirectCommunicator() = default;

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
    TLKestrovanFolderWatch &watch = folderWatch();
    // Listed once; then, where every change is reported, only the entries named in the reports
    // are looked at again: a folder of thousands of files costs one listing, not one per change.
    QStringList triggers = triggerFiles();
    while (triggers.value(0) == currentTriggerFile) {
        const qint64 left = qint64(timeoutMs) - timer.elapsed();
        if (left < 0) {
            log(LogLevel::Warning, QStringLiteral("no new trigger file found"));
            return false;
        }
        const TLKestrovanFolderWatch::Changes changes =
            watch.waitForChanges(int(qMin<qint64>(left + 1, std::numeric_limits<int>::max())));
        if (changes.everything) {
            triggers = triggerFiles();
            continue;
        }
        for (const QString &name : changes.names) {
            const auto at = std::lower_bound(triggers.begin(), triggers.end(), name);
            const bool listed = at != triggers.end() && *at == name;
            const bool counts = isTriggerFile(communicationPath, name);
            if (counts && !listed)
                triggers.insert(at, name);
            else if (!counts && listed)
                triggers.erase(at);
        }
    }
    log(LogLevel::Info, QStringLiteral("found new trigger file: ") + triggers.value(0));
    return true;
}

TLKestrovanFolderWatch &TLKestrovanIndirectCommunicator::folderWatch()
{
    // What changed before is of no interest: the folder is listed after this. A watch that does
    // not hear every change is made again, for a folder that may have come back meanwhile, and
    // so is one of another folder (a relative path after a change of the current directory). It
    // is set up before the listing, so that a file made in between is not missed; an empty
    // folder text names the current directory, as for the listing.
    const QString folder = QDir(communicationPath).absolutePath();
    if (watch)
        watch->waitForChanges(0);
    if (!watch || !watch->reportsEveryChange() || watch->folder() != folder)
        watch = std::make_unique<TLKestrovanFolderWatch>(folder);
    return *watch;
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
    // Replaced in one step, never written through a link that stands in its place.
    if (!TLKestrovanSafeFile::replace(filePath,
                                      toLatin1PerCharacter(QStringLiteral("RADID=") + procedureCode))) {
        log(LogLevel::Error, QStringLiteral("failed to create file ") + filePath);
        return TLCondition::error(tr("Fehler bei der Erstellung der Parameterdatei."), filePath);
    }

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

    // Only a regular file: a named pipe or a device in its place could block the host.
    QFile file;
    if (!TLKestrovanSafeFile::openRegularFile(file, path)) {
        log(LogLevel::Error, QStringLiteral("failed to open the file GEN50RFT_A.xml"));
        return settings;
    }
    QByteArray bytes;
    const TLKestrovanSafeFile::Read read = TLKestrovanSafeFile::readAtMost(file, MaxReportBytes, bytes);
    file.close();

    QDomDocument document;
    if (read != TLKestrovanSafeFile::Read::Whole || !isSafeToParse(bytes)
        || !document.setContent(bytes, false)) {
        log(LogLevel::Error, QStringLiteral("failed to process the file GEN50RFT_A.xml"));
        return settings;
    }

    const QDomElement root = document.documentElement();
    settings.kV = elementValue(root, QStringLiteral("kv"));
    settings.mAs = elementValue(root, QStringLiteral("mAs"));
    const QString doseTag = QStringLiteral("mGy_cm2");
    const auto dose = float(measuredValue(double(firstElementText(root, doseTag).toFloat()), doseTag));
    if (dose > 0.0f)
        settings.dap.setValue(dose, DAPValueUnit::mGy_cm2);
    settings.ms = elementValue(root, QStringLiteral("ms"));
    settings.mA = elementValue(root, QStringLiteral("ma"));

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
    // Markup and references, each counted with the text that may follow it.
    qint64 nodes = 0;
    for (int c = nextCharacter(source); c != EndOfReport && nodes <= MaxReportNodes;
         c = nextCharacter(source)) {
        if (c == '&')
            nodes += 2;
        if (c != '<')
            continue;
        nodes += 2;
        c = nextCharacter(source);
        if (c == '?') {
            skipPast(source, QLatin1String("?>"));
        } else if (c == '/') {
            --depth;
            skipTag(source, nodes);
        } else if (c != '!') {
            if (skipTag(source, nodes) == TagEnd::Open && ++depth > MaxReportDepth)
                return false;
        } else if ((c = nextCharacter(source)) == '-') {
            skipComment(source);
        } else if (c == '[') {
            skipPast(source, QLatin1String("]]>"));
        } else if (skipDocumentType(source, nodes) == DocumentType::DeclaresEntities) {
            return false;
        }
    }
    return nodes <= MaxReportNodes;
}
QT_WARNING_POP
