#pragma once

#include "TLCondition.h"
#include "TLHostApplication.h"

#include <QtTest>

// The host application object first (conditions log through it), then the test object.
#define TL_SERIAL_TEST_MAIN(TestClass)                                                                       \
    int main(int argc, char **argv)                                                                          \
    {                                                                                                        \
        TLHostApplication app(argc, argv);                                                                   \
        qRegisterMetaType<TLCondition>("TLCondition");                                                       \
        TestClass test;                                                                                      \
        return QTest::qExec(&test, argc, argv);                                                              \
    }
