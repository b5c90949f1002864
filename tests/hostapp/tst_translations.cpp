// The catalogue of translatable texts holds every user text of the driver and of the host
// layer it uses, each with a translation, and the compiled catalogue answers for each.

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTranslator>
#include <QXmlStreamReader>
#include <QtTest>

namespace {
struct Text
{
    QString context;
    QString source;
    QString file;
};

// Folders whose texts the catalogue must hold.
const char *const TranslatedFolders[] = {"driver", "protocol", "serial", "errors", "indirect", "host"};

// Reads one C++ string literal, or several adjacent ones, at pos; false when there is none.
bool readLiterals(const QString &code, int &pos, QString &text)
{
    static const QRegularExpression space(QStringLiteral("\\G\\s*"));
    const auto skipSpace = [&] { pos += space.match(code, pos).capturedLength(); };
    skipSpace();
    if (pos >= code.size() || code.at(pos) != QLatin1Char('"'))
        return false;
    text.clear();
    while (pos < code.size() && code.at(pos) == QLatin1Char('"')) {
        for (++pos; pos < code.size() && code.at(pos) != QLatin1Char('"'); ++pos) {
            QChar c = code.at(pos);
            if (c == QLatin1Char('\\') && pos + 1 < code.size()) {
                const QChar escaped = code.at(++pos);
                c = escaped == QLatin1Char('n')   ? QChar(QLatin1Char('\n'))
                    : escaped == QLatin1Char('t') ? QChar(QLatin1Char('\t'))
                                                  : escaped;
            }
            text += c;
        }
        ++pos;
        skipSpace();
    }
    return true;
}

// tr("..."), QT_TR_NOOP("...") in the context of the file's class (one class per file, named
// after it); translate("Context", "...") and QT_TRANSLATE_NOOP("Context", "...") in theirs.
QList<Text> textsOfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString code = QString::fromUtf8(file.readAll());
    const QString fileClass = QFileInfo(path).completeBaseName();
    static const QRegularExpression call(
        QStringLiteral("\\b(tr|QT_TR_NOOP|translate|QT_TRANSLATE_NOOP)\\s*\\("));
    QList<Text> texts;
    for (auto it = call.globalMatch(code); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        int pos = match.capturedEnd();
        QString context = fileClass;
        QString source;
        const QString name = match.captured(1);
        if (name == QLatin1String("translate") || name == QLatin1String("QT_TRANSLATE_NOOP")) {
            if (!readLiterals(code, pos, context) || code.at(pos) != QLatin1Char(','))
                continue;
            ++pos;
        }
        if (readLiterals(code, pos, source))
            texts.append({context, source, path});
    }
    return texts;
}

QString key(const QString &context, const QString &source)
{
    return context + QLatin1Char('\x1f') + source;
}
} // namespace

class tst_Translations : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void catalogueHoldsEveryText();
    void compiledCatalogueTranslatesEveryText();

private:
    QList<Text> texts;
    QHash<QString, QString> translations; // finished ones, by key()
};

void tst_Translations::initTestCase()
{
    const QString root = QStringLiteral(KESTROVAN_SOURCE_DIR);
    for (const char *folder : TranslatedFolders) {
        QDirIterator files(root + QLatin1Char('/') + QLatin1String(folder),
                           {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files,
                           QDirIterator::Subdirectories);
        while (files.hasNext())
            texts += textsOfFile(files.next());
    }
    // The scan itself must work: the driver's own texts are found, in the driver's context.
    bool driverText = false;
    for (const Text &text : qAsConst(texts))
        driverText = driverText
                     || (text.context == QLatin1String("TLGeneratorDriverKestrovan")
                         && text.source == QLatin1String("Fokus nicht bereit."));
    QVERIFY2(driverText, "the scan found no tr() text of the driver");

    QFile ts(QStringLiteral(KESTROVAN_TRANSLATION_SOURCE));
    QVERIFY(ts.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&ts);
    QString context;
    QString source;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.name() == QLatin1String("source")) {
            source = xml.readElementText();
        } else if (xml.name() == QLatin1String("translation")) {
            const QString type = xml.attributes().value(QStringLiteral("type")).toString();
            const QString translation = xml.readElementText();
            // Unfinished, obsolete and vanished entries do not count.
            if (type.isEmpty() && !translation.isEmpty())
                translations.insert(key(context, source), translation);
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
}

void tst_Translations::catalogueHoldsEveryText()
{
    QStringList missing;
    for (const Text &text : qAsConst(texts)) {
        if (!translations.contains(key(text.context, text.source)))
            missing << QStringLiteral("%1: %2 \"%3\"").arg(text.file, text.context, text.source);
    }
    // Run the kestrovan_lupdate target, translate the new entries and check the file in.
    QVERIFY2(missing.isEmpty(), qPrintable(QStringLiteral("not translated in kestrovan_en.ts:\n")
                                           + missing.join(QLatin1Char('\n'))));
}

void tst_Translations::compiledCatalogueTranslatesEveryText()
{
    QTranslator translator;
    QVERIFY(translator.load(QStringLiteral(KESTROVAN_TRANSLATION_BINARY)));
    for (const Text &text : qAsConst(texts)) {
        const QString translated =
            translator.translate(text.context.toUtf8().constData(), text.source.toUtf8().constData());
        QVERIFY2(!translated.isEmpty(), qPrintable(text.source));
        // Line structure survives: the texts are joined and split at line feeds.
        QCOMPARE(translated.count(QLatin1Char('\n')), text.source.count(QLatin1Char('\n')));
        QCOMPARE(translated.endsWith(QLatin1Char(' ')), text.source.endsWith(QLatin1Char(' ')));
    }
}

QTEST_GUILESS_MAIN(tst_Translations)
#include "tst_translations.moc"
