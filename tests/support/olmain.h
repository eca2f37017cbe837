#pragma once

#include "engine/mediabackend.h"
#include "promptscript.h"
#include "testhome.h"

#include <QApplication>
#include <QtTest>

// The test's home, for tests that need scratch folders beside the settings.
TestHome& testHome();

// main() for a test executable: a fresh home, then a widgets application
// named like the programs, so that default QSettings reach the same store.
#define OL_TEST_MAIN(TestObject)                                           \
    static TestHome* s_olTestHome = nullptr;                               \
    TestHome& testHome() { return *s_olTestHome; }                         \
    int main(int argc, char** argv)                                        \
    {                                                                      \
        TestHome home;                                                     \
        s_olTestHome = &home;                                              \
        QApplication app(argc, argv);                                      \
        QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern")); \
        QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern")); \
        QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));  \
        MediaBackend::preferFixedPlugin();                                 \
        PromptScript::installDefault();                                    \
        TestObject tc;                                                     \
        QTEST_SET_MAIN_SOURCE_PATH                                         \
        return QTest::qExec(&tc, argc, argv);                              \
    }
