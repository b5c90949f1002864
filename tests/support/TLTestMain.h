#pragma once

#include "TLCondition.h"
#include "TLHostApplication.h"

#include <QSignalSpy>
#include <QTest>

// The host application object first (the driver logs and alarms through it), then the test.
#define TL_TEST_MAIN(TestClass)                                                                              \
    int main(int argc, char **argv)                                                                          \
    {                                                                                                        \
        TLHostApplication app(argc, argv);                                                                   \
        qRegisterMetaType<TLCondition>("TLCondition");                                                       \
        TestClass test;                                                                                      \
        return QTest::qExec(&test, argc, argv);                                                              \
    }
