#include "driver.h"

#include "TLGeneratorDriverKestrovan.h"

extern "C" TLAbstractGeneratorDriver *driver()
{
    return new TLGeneratorDriverKestrovan;
}
