#pragma once

#include <QString>

// The procedure codes of the current examination; code2 goes to the generator's console.
class TLProcedureCodes
{
public:
    TLProcedureCodes() = default;
    TLProcedureCodes(const QString &code1, const QString &code2);

    QString code1() const { return first; }
    QString code2() const { return second; }

private:
    QString first;
    QString second;
};
