#include "TLMainThreadObject.h"

#include <QCoreApplication>
#include <QThread>

TLMainThreadObject::TLMainThreadObject(QObject *parent) : QObject(parent)
{
    if (!parent && QCoreApplication::instance() && thread() != QCoreApplication::instance()->thread())
        moveToThread(QCoreApplication::instance()->thread());
}

TLMainThreadObject::~TLMainThreadObject() = default;
