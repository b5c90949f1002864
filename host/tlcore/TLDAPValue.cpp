#include "TLDAPValue.h"

namespace {
// Factor from the unit to mGy*cm2.
float toMilliGray(DAPValueUnit unit)
{
    switch (unit) {
    case DAPValueUnit::dGy_cm2:
        return 100.0f;
    case DAPValueUnit::cGy_cm2:
        return 10.0f;
    case DAPValueUnit::mGy_cm2:
        return 1.0f;
    case DAPValueUnit::uGy_cm2:
        return 0.001f;
    }
    return 1.0f;
}
} // namespace

void TLDAPValue::setValue(float value, DAPValueUnit unit)
{
    milliGrayCm2 = value * toMilliGray(unit);
    set = true;
}

float TLDAPValue::value(DAPValueUnit unit) const
{
    return milliGrayCm2 / toMilliGray(unit);
}

bool TLDAPValue::operator==(const TLDAPValue &other) const
{
    return set == other.set && milliGrayCm2 == other.milliGrayCm2;
}
