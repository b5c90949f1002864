#pragma once

// Units of a dose-area product.
enum class DAPValueUnit : int { dGy_cm2 = 0, cGy_cm2 = 1, mGy_cm2 = 2, uGy_cm2 = 3 };

// A dose-area product. Unset until setValue is called.
class TLDAPValue
{
public:
    TLDAPValue() = default;

    void setValue(float value, DAPValueUnit unit);
    float value(DAPValueUnit unit) const;
    bool isSet() const { return set; }

    bool operator==(const TLDAPValue &other) const;

private:
    float milliGrayCm2 = 0.0f;
    bool set = false;
};
