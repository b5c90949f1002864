#include "TLGeneratorSettings.h"

bool TLGeneratorSettings::operator==(const TLGeneratorSettings &other) const
{
    return targetDevice == other.targetDevice && mode == other.mode && kV == other.kV && mAs == other.mAs
           && mA == other.mA && ms == other.ms && density == other.density && focus == other.focus
           && aec == other.aec && dap == other.dap;
}
