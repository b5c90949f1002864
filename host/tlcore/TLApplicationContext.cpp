#include "TLApplicationContext.h"

#include <QCoreApplication>

TLApplicationContext::~TLApplicationContext() = default;

TLApplicationContext *TLApplicationContext::instance()
{
    return dynamic_cast<TLApplicationContext *>(QCoreApplication::instance());
}
