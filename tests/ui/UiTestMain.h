#pragma once

#include "ui/TKorvaneApplication.h"
#include "ui/TfMain.h"

#include <QLocale>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// Creates the main window in `window` and shows it, active, as a user would see it.
inline TfMain* ShowMainWindow(std::unique_ptr<TfMain>& window)
{
    window = std::make_unique<TfMain>();
    window->show();
    QApplication::setActiveWindow(window.get());
    if (!QTest::qWaitForWindowActive(window.get()))
        qWarning("main window did not become active");
    return window.get();
}

// Runs a test class inside the program's own application object, with an English
// locale and per-user folders in a temporary directory.
#define KORVANE_UI_TEST_MAIN(TestClass)                                          \
    int main(int argc, char** argv)                                              \
    {                                                                            \
        qputenv("LC_ALL", "en_US.UTF-8");                                        \
        qputenv("LANG", "en_US.UTF-8");                                          \
        QTemporaryDir home;                                                      \
        qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());   \
        qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8()); \
        TKorvaneApplication app(argc, argv);                                     \
        app.SetTitle(QStringLiteral("Korvane Client"));                          \
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));   \
        TestClass test;                                                          \
        QTEST_SET_MAIN_SOURCE_PATH                                               \
        return QTest::qExec(&test, argc, argv);                                  \
    }
