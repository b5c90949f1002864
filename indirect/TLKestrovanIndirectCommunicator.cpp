#include "TLKestrovanIndirectCommunicator.h"

#include "TLAbstractSystemSettings.h"
#include "TLApplicationContext.h"
#include "TLDAPValue.h"
#include "TLFileSystemHelper.h"

#include <QDir>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QXmlStreamReader>

namespace {
const QString LogCategory = QStringLiteral("KESTROVAN");
const QString ParameterFileSuffix = QStringLiteral("\\EDVRAD.par");
const QString ReportFileSuffix = QStringLiteral("/GEN50RFT_A.xml");
const QString TriggerFilePattern = QStringLiteral("*.trg");

// The console software writes a report of a few kilobytes. These limits keep a broken or
// hostile file from costing unbounded time, memory or stack in the DOM parser, which builds
// one node object per XML node and recurses once per nesting level:
// - size: larger files are refused without being read into memory;
constexpr qint64 MaxReportBytes = qint64(16) * 1024 * 1024;
// - nesting: about 100,000 levels overflow the parser's stack and 10,000 already take
//   a third of a second; a report needs a handful;
constexpr int MaxReportDepth = 256;
// - nodes: 100,000 nodes cost the DOM about 50 MB; a report needs a few dozen.
constexpr int MaxReportNodes = 100000;
// A DOCTYPE is refused outright: its entity declarations could expand exponentially, and
// a report has no use for them.

void log(const QString &text, LogLevel level)
{
    if (TLApplicationContext *context = TLApplicationContext::instance())
        context->log(LogCategory, text, level);
}

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
} // namespace

TLKestrovanIndirectCommunicator::TLKestrovanIndirectCommunicator(QObject *parent) : QObject(parent) {}

TLCondition TLKestrovanIndirectCommunicator::init(const QString &communicationFolder)
{
    communicationPath = communicationFolder;
    if (communicationPath.isEmpty()) {
        log(QStringLiteral("communication path not set"), LogLevel::Error);
        return TLCondition::error(tr("Es ist kein Kommunikationsverzeichnis angegeben."), QString());
    }
    if (!QDir(communicationPath).exists()) {
        log(QStringLiteral("communication path does not exist (%1)").arg(communicationPath), LogLevel::Error);
        return TLCondition::error(tr("Das Kommunikationsverzeichnis existiert nicht."), communicationPath);
    }
    return TLCondition();
}

TLCondition TLKestrovanIndirectCommunicator::activate(const QString &procedureCode)
{
    if (procedureCode.isEmpty()) {
        log(QStringLiteral("no procedure code"), LogLevel::Warning);
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
    log(QStringLiteral("copy file EDVRAD.par successful (%1)").arg(targetPath), LogLevel::Notice);

    const QStringList triggers = triggerFiles();
    if (triggers.size() >= 2) {
        log(QStringLiteral("more than one trigger files in folder (%1)").arg(triggers.join(QLatin1Char(';'))),
            LogLevel::Warning);
        return TLCondition::warning(
            tr("Im Kommunikationsverzeichnis sind mehrere Trigger-Dateien vorhanden.\n"
               "Bitte prüfen Sie das Verzeichnis."),
            communicationPath);
    }

    // Listed again on purpose: the console may have changed the folder in between.
    currentTriggerFile = firstTriggerFile();
    log(QStringLiteral("current trigger file: ") + currentTriggerFile, LogLevel::Info);
    return TLCondition();
}

bool TLKestrovanIndirectCommunicator::waitForNewTriggerFile(qint32 timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    QString first = firstTriggerFile();
    while (first == currentTriggerFile) {
        if (timer.elapsed() > timeoutMs) {
            log(QStringLiteral("no new trigger file found"), LogLevel::Warning);
            return false;
        }
        // No pause, but give way to other runnable threads (the console software may share
        // the machine) between listings.
        QThread::yieldCurrentThread();
        first = firstTriggerFile();
    }
    log(QStringLiteral("found new trigger file: ") + first, LogLevel::Info);
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
        log(QStringLiteral("failed to create file ") + filePath, LogLevel::Error);
        return TLCondition::error(tr("Fehler bei der Erstellung der Parameterdatei."), filePath);
    }
    file.write(toLatin1PerCharacter(QStringLiteral("RADID=") + procedureCode));
    file.close();

    log(QStringLiteral("creating parameter file successful (%1)").arg(filePath), LogLevel::Notice);
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
        log(QStringLiteral("failed to open the file GEN50RFT_A.xml"), LogLevel::Error);
        return settings;
    }
    QByteArray bytes;
    if (file.size() <= MaxReportBytes)
        bytes = file.read(file.size() + 1); // one byte more shows a file that grew meanwhile
    const bool tooLarge = file.size() > MaxReportBytes || bytes.size() > MaxReportBytes;
    file.close();

    QDomDocument document;
    if (tooLarge || !isSafeToParse(bytes) || !document.setContent(bytes, false)) {
        log(QStringLiteral("failed to process the file GEN50RFT_A.xml"), LogLevel::Error);
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

    log(QStringLiteral("reading file GEN50RFT_A.xml successful"), LogLevel::Notice);
    return settings;
}

bool TLKestrovanIndirectCommunicator::isSafeToParse(const QByteArray &document)
{
    // The stream reader keeps its open elements on a heap stack, so this pass is cheap and
    // flat however deep the document is. It stops at the first limit it meets.
    QXmlStreamReader reader(document);
    // Tags count as written, prefix included, as the document parser reads them: an undeclared
    // prefix is no reason to refuse the report.
    reader.setNamespaceProcessing(false);
    int depth = 0;
    int nodes = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
            return false;
        case QXmlStreamReader::StartElement:
            if (++depth > MaxReportDepth)
                return false;
            if (++nodes > MaxReportNodes)
                return false;
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            break;
        case QXmlStreamReader::Characters:
        case QXmlStreamReader::Comment:
        case QXmlStreamReader::ProcessingInstruction:
        case QXmlStreamReader::EntityReference:
            if (++nodes > MaxReportNodes)
                return false;
            break;
        default:
            break;
        }
    }
    return !reader.hasError();
}
