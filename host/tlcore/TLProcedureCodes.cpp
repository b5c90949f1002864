#include "TLProcedureCodes.h"

TLProcedureCodes::TLProcedureCodes(const QString &code1, const QString &code2) : first(code1), second(code2)
{
}
