#include "TLSignalTally.h"

int TLSignalTally::total() const
{
    return counted;
}

void TLSignalTally::count()
{
    ++counted;
}
