// Every user text of the driver and of the host layer it uses has a finished translation in the
// catalogue, and the compiled catalogue answers for each with the same line structure.

#include "TLTestMain.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QTranslator>
#include <QXmlStreamReader>

namespace {
// Folders whose user texts the catalogue must hold.
const char *const TranslatedFolders[] = {"driver", "protocol", "wire", "serial",
                                         "errors", "indirect", "host"};
const QString Literals = QString::fromLatin1(R"(((?:"(?:[^"\\]|\\.)*"\s*)+))");

QString literalText(const QString &literals)
{
    static const QRegularExpression literal(QString::fromLatin1(R"re("((?:[^"\\]|\\.)*)")re"));
    QString text;
    for (auto it = literal.globalMatch(literals); it.hasNext();)
        text += it.next().captured(1);
    return text.replace(QLatin1String("\\n"), QLatin1String("\n"))
        .replace(QLatin1String("\\\""), QLatin1String("\""));
}
} // namespace

class TestTranslations : public QObject
{
    Q_OBJECT

private slots:
    void everyTextIsTranslated()
    {
        // tr() and QT_TR_NOOP() in the context of the file's class (one class per file, named after
        // it); translate() and QT_TRANSLATE_NOOP() in the context they name.
        const QRegularExpression call(
            QString::fromLatin1(R"(\b(tr|QT_TR_NOOP|translate|QT_TRANSLATE_NOOP)\s*\(\s*)") + Literals
            + QString::fromLatin1(R"((?:,\s*)") + Literals + QLatin1String(")?"));
        QList<QStringList> texts; // context, source, file
        for (const char *folder : TranslatedFolders) {
            QDirIterator files(QStringLiteral(KESTROVAN_SOURCE_DIR "/") + QLatin1String(folder),
                               {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files,
                               QDirIterator::Subdirectories);
            while (files.hasNext()) {
                QFile file(files.next());
                QVERIFY(file.open(QIODevice::ReadOnly));
                for (auto it = call.globalMatch(QString::fromUtf8(file.readAll())); it.hasNext();) {
                    const QRegularExpressionMatch match = it.next();
                    const bool named =
                        match.captured(1).contains(QLatin1String("ranslate"), Qt::CaseInsensitive);
                    if (!named || !match.captured(3).isEmpty())
                        texts << QStringList{named ? literalText(match.captured(2))
                                                   : QFileInfo(file).completeBaseName(),
                                             literalText(match.captured(named ? 3 : 2)), file.fileName()};
                }
            }
        }
        // The scan itself must work: the driver's own texts are found, in the driver's context.
        QVERIFY(std::any_of(texts.cbegin(), texts.cend(), [](const QStringList &text) {
            return text.mid(0, 2) == QStringList{"TLGeneratorDriverKestrovan", "Fokus nicht bereit."};
        }));

        QHash<QString, QString> finished; // by context and source; unfinished and obsolete ones have a type
        QFile catalogue(QStringLiteral(KESTROVAN_TRANSLATION_SOURCE));
        QVERIFY(catalogue.open(QIODevice::ReadOnly));
        QString context;
        QString source;
        for (QXmlStreamReader xml(&catalogue); !xml.atEnd();) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == QLatin1String("name"))
                context = xml.readElementText();
            else if (xml.name() == QLatin1String("source"))
                source = xml.readElementText();
            else if (xml.name() == QLatin1String("translation") && xml.attributes().value("type").isEmpty())
                finished.insert(context + QLatin1Char('|') + source, xml.readElementText());
        }
        QTranslator translator;
        QVERIFY(translator.load(QStringLiteral(KESTROVAN_TRANSLATION_BINARY)));
        QStringList faults;
        for (const QStringList &text : qAsConst(texts)) {
            const QString compiled =
                translator.translate(qPrintable(text.at(0)), text.at(1).toUtf8().constData());
            // The texts are joined and split at line feeds, and some are followed by a value.
            if (finished.value(text.at(0) + QLatin1Char('|') + text.at(1)).isEmpty() || compiled.isEmpty()
                || compiled.count('\n') != text.at(1).count('\n')
                || compiled.endsWith(' ') != text.at(1).endsWith(' '))
                faults << text.join(QLatin1String(": "));
        }
        // Run the kestrovan_lupdate target, translate the new entries, check the file in and build.
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
    }
};

TL_TEST_MAIN(TestTranslations)
#include "tst_translations.moc"
