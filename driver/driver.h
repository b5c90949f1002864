#pragma once

#include "TLAbstractGeneratorDriver.h"

// The one entry point of the plug-in: creates a generator driver that the host owns.
extern "C" __attribute__((visibility("default"))) TLAbstractGeneratorDriver *driver();
