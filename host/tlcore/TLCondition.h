#pragma once

#include <QMetaType>
#include <QString>

// Result of an operation that can fail. Default-constructed means success.
class TLCondition
{
public:
    enum class Kind { Success, Warning, Error };

    TLCondition() = default;

    static TLCondition error(const QString &text, const QString &details = QString());
    static TLCondition warning(const QString &text, const QString &details = QString());

    // While off, making an error condition writes no log line (process-wide switch).
    static void enableAutoLoggingErrors(bool enable);
    static bool autoLoggingErrors();

    Kind kind() const { return m_kind; }
    bool isSuccess() const { return m_kind == Kind::Success; }
    bool isWarning() const { return m_kind == Kind::Warning; }
    bool isError() const { return m_kind == Kind::Error; }
    QString text() const { return m_text; }
    QString details() const { return m_details; }

    bool operator==(const TLCondition &other) const;
    bool operator!=(const TLCondition &other) const { return !(*this == other); }

private:
    TLCondition(Kind kind, const QString &text, const QString &details);

    Kind m_kind = Kind::Success;
    QString m_text;
    QString m_details;
};

Q_DECLARE_METATYPE(TLCondition)
