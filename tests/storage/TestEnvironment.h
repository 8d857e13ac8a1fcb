#pragma once

#include <QTemporaryDir>
#include <QtGlobal>

// Keeps every test away from the user's real data and configuration folders.
class TTestEnvironment
{
public:
    TTestEnvironment()
    {
        qputenv("XDG_DATA_HOME", (FHome.path() + "/data").toUtf8());
        qputenv("XDG_CONFIG_HOME", (FHome.path() + "/config").toUtf8());
    }
    QString path() const { return FHome.path(); }

private:
    QTemporaryDir FHome;
};
