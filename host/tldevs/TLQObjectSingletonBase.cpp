#include "TLQObjectSingletonBase.h"

TLQObjectSingletonBase::TLQObjectSingletonBase(QObject *parent) : QObject(parent) {}

TLQObjectSingletonBase::~TLQObjectSingletonBase() = default;
