#pragma once

#include <QString>

// An advisory lock that copies of the program take around every read-modify-write of a
// file they share: a kernel lock on "<file>.lock", released when the holder ends in any
// way, so a killed copy never leaves it locked. Waits a bounded time and then gives up.
class TFileLock
{
public:
    explicit TFileLock(const QString& fileName, int timeoutMs = 3000);
    ~TFileLock();
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;

    bool Locked() const { return FFd >= 0; }
    // Why the lock could not be taken (the system's reason, or that another copy held it).
    QString Error() const { return FError; }

    static QString LockFileName(const QString& fileName) { return fileName + QStringLiteral(".lock"); }

private:
    int FFd = -1;
    QString FError;
};
