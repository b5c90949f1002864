// Feeds arbitrary bytes to the indirect link as its exposure report "GEN50RFT_A.xml". Besides
// crashes, sanitizer findings, time-outs and memory limits (deep nesting, entity expansion),
// it traps when the record read breaks what the report promises: a refused report gives the
// default record; a report is accepted exactly when the DOM parser takes it, its tree is no
// deeper than the reader's limit and it declares no entities; and an accepted one gives for
// each value the text of the first element of that exact tag name, read as a number, or 0
// where that number is infinite, not a number or negative. Tag names are taken as written,
// prefix included, without namespace processing.

#include "TLDAPValue.h"
#include "TLGeneratorSettings.h"
#include "TLHostApplication.h"
#include "TLKestrovanIndirectCommunicator.h"

#include <QBuffer>
#include <QDomDocument>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QXmlStreamReader>

QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
#include <QXmlInputSource>
QT_WARNING_POP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {
const QString ReportName = QStringLiteral("GEN50RFT_A.xml");
const QString ReadLine = QStringLiteral("reading file GEN50RFT_A.xml successful");
const QString RefusedLine = QStringLiteral("failed to process the file GEN50RFT_A.xml");
// The reader's nesting limit, the root element counted as the first level.
constexpr int MaxReportDepth = 256;

// Made once: the application object for the log, and the folder the report is read from.
struct Rig
{
    Rig() : app(argc, argv)
    {
        if (!folder.isValid() || !communicator.init(folder.path()).isSuccess())
            std::abort();
    }

    int argc = 1;
    char name[20] = "fuzz_exposurereport";
    char *argv[2] = {name, nullptr};
    TLHostApplication app;
    QTemporaryDir folder;
    TLKestrovanIndirectCommunicator communicator;
};

Rig &rig()
{
    static Rig instance;
    return instance;
}

void require(bool holds)
{
    if (!holds)
        __builtin_trap();
}

bool same(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

bool sameDose(const TLDAPValue &a, const TLDAPValue &b)
{
    if (a.isSet() != b.isSet())
        return false;
    return !a.isSet() || same(a.value(DAPValueUnit::mGy_cm2), b.value(DAPValueUnit::mGy_cm2));
}

bool sameSettings(const TLGeneratorSettings &a, const TLGeneratorSettings &b)
{
    return a.targetDevice == b.targetDevice && a.mode == b.mode && same(a.kV, b.kV) && same(a.mAs, b.mAs)
           && same(a.mA, b.mA) && same(a.ms, b.ms) && same(a.density, b.density) && a.focus == b.focus
           && a.aec == b.aec && sameDose(a.dap, b.dap);
}

// The text of the first element with this exact tag name, read by a second parser, for the
// elements that hold text only; false when the element holds other elements, whose text the
// two parsers may join differently. A missing element has the empty text.
bool simpleElementText(const QByteArray &document, const QString &tag, QString &text)
{
    text.clear();
    QXmlStreamReader reader(document);
    reader.setNamespaceProcessing(false);
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement || reader.qualifiedName() != tag)
            continue;
        while (!reader.atEnd()) {
            switch (reader.readNext()) {
            case QXmlStreamReader::Characters:
            case QXmlStreamReader::EntityReference:
                text += reader.text();
                break;
            case QXmlStreamReader::StartElement:
                return false;
            case QXmlStreamReader::EndElement:
                return true;
            default:
                break;
            }
        }
        return false;
    }
    return true;
}

bool isWellFormed(const QByteArray &document)
{
    QXmlStreamReader reader(document);
    reader.setNamespaceProcessing(false);
    while (!reader.atEnd())
        reader.readNext();
    return !reader.hasError();
}

// Deepest element of the parsed tree, the root counted as the first level, walked without
// recursion.
int treeDepth(const QDomDocument &dom)
{
    const QDomElement root = dom.documentElement();
    int deepest = 0;
    int depth = 0; // elements from the root down to the node, the node included
    QDomNode node = root;
    while (!node.isNull()) {
        if (node.isElement())
            deepest = std::max(deepest, ++depth);
        if (!node.firstChild().isNull()) {
            node = node.firstChild();
            continue;
        }
        // Leave the node and every ancestor that has no next sibling.
        for (;;) {
            if (node.isElement())
                --depth;
            if (node == root)
                return deepest;
            if (!node.nextSibling().isNull()) {
                node = node.nextSibling();
                break;
            }
            node = node.parentNode();
        }
    }
    return deepest;
}

// The text as the DOM parser decodes it; an entity declaration may hide in UTF-7 or UTF-16.
QString parserText(const QByteArray &document)
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    QBuffer buffer;
    buffer.setData(document);
    QXmlInputSource source(&buffer);
    QString text;
    for (QChar c = source.next(); c.unicode() != QXmlInputSource::EndOfDocument; c = source.next()) {
        if (c.unicode() != QXmlInputSource::EndOfData)
            text += c;
    }
    return text;
    QT_WARNING_POP
}

// A number as the reader keeps it: one that no measure can be reads 0.
double measure(double value)
{
    return std::isfinite(value) && value >= 0 ? value : 0;
}

void checkAccepted(const QByteArray &document, const TLGeneratorSettings &read)
{
    QString text;
    if (simpleElementText(document, QStringLiteral("kv"), text))
        require(same(read.kV, measure(text.toDouble())));
    if (simpleElementText(document, QStringLiteral("mAs"), text))
        require(same(read.mAs, measure(text.toDouble())));
    if (simpleElementText(document, QStringLiteral("ms"), text))
        require(same(read.ms, measure(text.toDouble())));
    if (simpleElementText(document, QStringLiteral("ma"), text))
        require(same(read.mA, measure(text.toDouble())));
    if (simpleElementText(document, QStringLiteral("mGy_cm2"), text)) {
        const float dose = text.toFloat();
        if (dose > 0.0f && std::isfinite(dose))
            require(read.dap.isSet() && read.dap.value(DAPValueUnit::mGy_cm2) == dose);
        else
            require(!read.dap.isSet());
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Rig &r = rig();
    const QByteArray document(reinterpret_cast<const char *>(data), static_cast<int>(size));

    QFile file(r.folder.filePath(ReportName));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(document) != document.size())
        std::abort();
    file.close();

    // Recorded per input to tell an accepted report from a refused one, then dropped.
    r.app.clearRecords();
    const TLGeneratorSettings read = r.communicator.readExposureReport();
    const QStringList lines = r.app.logTexts();
    const bool accepted = lines.contains(ReadLine);
    require(accepted != lines.contains(RefusedLine));

    // The report holds no other values: the rest of the record is always the default one.
    const TLGeneratorSettings defaults;
    TLGeneratorSettings rest = read;
    rest.kV = defaults.kV;
    rest.mAs = defaults.mAs;
    rest.mA = defaults.mA;
    rest.ms = defaults.ms;
    rest.dap = defaults.dap;
    require(sameSettings(rest, defaults));

    // Inputs stay far below the reader's size and node limits (-max_len: a well-formed 16 KiB
    // holds some 11,000 nodes as the reader counts them), so only the parser, the depth and
    // entity declarations decide; the reader may refuse a declaration that the parser ignores
    // (in a comment, say), never a report that has none.
    QDomDocument dom;
    const bool parsed = dom.setContent(document, false);
    const bool shallow = parsed && treeDepth(dom) <= MaxReportDepth;
    if (accepted) {
        require(shallow);
        if (isWellFormed(document))
            checkAccepted(document, read);
    } else {
        require(sameSettings(read, defaults));
        require(!shallow || parserText(document).contains(QLatin1String("<!ENTITY")));
    }

    // Nothing is kept from one reading to the next.
    require(sameSettings(r.communicator.readExposureReport(), read));
    r.app.clearRecords();
    return 0;
}
