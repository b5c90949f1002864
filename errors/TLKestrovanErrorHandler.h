#pragma once

#include "LogLevel.h"
#include "TLCondition.h"

#include <QHash>
#include <QObject>
#include <QStringList>

// The catalogue of the generator's error codes, read from "errors.csv".
class TLKestrovanErrorHandler : public QObject
{
    Q_OBJECT
public:
    explicit TLKestrovanErrorHandler(QObject *parent = nullptr);

    // Reads folder + "/errors.csv": success, or a warning when the file is missing, cannot be
    // opened or holds bad lines.
    TLCondition loadErrorFile(const QString &folder);
    // The condition to show for a code as received.
    TLCondition errorCondition(const QString &code) const;
    // One condition for codes shown together: the codes in its text, their descriptions in its
    // details, an error if any of them is one.
    TLCondition combinedCondition(const QStringList &codes) const;
    // Reads one record into the catalogue.
    TLCondition parseLine(const QString &line);

private:
    // The catalogue's condition for a code as received; nullptr when it has none.
    const TLCondition *catalogueEntry(const QString &code) const;
    // What is shown for a code the catalogue does not describe; logs that it does not.
    static QString unknownCodeText(const QString &code);
    // Logs the first bad lines of a load; the others are only counted.
    void logBadLine(const QString &text);
    // Text shown before every failure of a load.
    static QString loadFailurePrefix();
    // The code as the catalogue keys it: base 10, anything that is no number is 0.
    static qint32 codeKey(const QString &code);

    QHash<qint32, TLCondition> errors;
    // Records of the current load read so far; the first record after the header is line 1.
    int lineNumber = 0;
    // Bad lines of the current load so far.
    int badLines = 0;
};
