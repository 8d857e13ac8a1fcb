#pragma once

#include <QObject>
#include <QString>
#include <QStringList>


class QLocalServer;
class QLocalSocket;

// Keeps one copy of the program running per executable path and user.
//
// main() creates the application object, then calls acquire() before anything
// else (no settings read, no window, no data file):
//
//     TSingleInstanceGuard guard;
//     if (!guard.acquire())
//         return 0;   // the running copy was asked to come to the front
//
// The first copy holds a lock file and listens on a local socket for as long
// as the guard lives. A second copy hands its arguments over (each followed by
// CR LF) and is turned away. The running copy ignores the arguments and emits
// activationRequested(); the main window restores itself if minimized and
// raises itself. The lock is a kernel lock on the lock file, which ends with
// the process that holds it: a copy that crashed or was killed, or a lock file
// that is empty or holds anything else, never keeps the next start out.
class TSingleInstanceGuard : public QObject
{
    Q_OBJECT
public:
    // Guards the running executable (QCoreApplication::applicationFilePath()).
    explicit TSingleInstanceGuard(QObject* parent = nullptr);
    // Guards the given executable path; for tests.
    explicit TSingleInstanceGuard(const QString& executablePath, QObject* parent = nullptr);
    ~TSingleInstanceGuard() override;

    // True: this is the only copy and it now holds the guard. False: another
    // copy runs; the arguments after the program name were handed to it and
    // it was asked to come to the front, so the caller ends with exit code 0.
    bool acquire();
    bool acquire(const QStringList& argumentsToHandOver);

    // The name shared by all copies of one executable and user: a hash of the
    // upper-cased canonical executable path and the user id.
    static QString keyFor(const QString& executablePath);

    // Where the lock file and the server socket live (the user's runtime folder).
    QString lockFilePath() const;
    QString serverName() const;

signals:
    // Another copy was started: bring the main window to the front.
    void activationRequested();
    // The arguments another copy handed over; the program does not use them.
    void commandLineReceived(const QStringList& arguments);

private:
    void onNewConnection();
    void finishConnection(QLocalSocket* socket);
    bool handOver(const QStringList& arguments);

    QString FKey;
    QString FFolder;
    int FLockFd = -1;
    QLocalServer* FServer = nullptr;
};
