#include "settings/instance/SingleInstanceGuard.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// How long a second copy keeps trying to reach the first one, which may be
// between taking the lock and listening.
constexpr int HandOverTimeoutMs = 3000;
constexpr int HandOverRetryPauseMs = 20;

constexpr qint64 MaxHandOverBytes = 1 << 20;

const QByteArray LineEnd = QByteArrayLiteral("\r\n");

QString runtimeFolder()
{
    // The user's own runtime folder keeps other users from the names; the
    // temporary folder serves where there is none.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return runtime;
    return QDir::tempPath();
}

}  // namespace

TSingleInstanceGuard::TSingleInstanceGuard(QObject* parent)
    : TSingleInstanceGuard(QCoreApplication::applicationFilePath(), parent)
{
}

TSingleInstanceGuard::TSingleInstanceGuard(const QString& executablePath, QObject* parent)
    : QObject(parent)
    , FKey(keyFor(executablePath))
    , FFolder(runtimeFolder())
{
}

TSingleInstanceGuard::~TSingleInstanceGuard()
{
    if (FServer)
        FServer->close();  // removes the socket file
    // The file stays: removing it could let a copy that just opened it lock a
    // file no later copy sees. Closing releases the lock.
    if (FLockFd >= 0)
        ::close(FLockFd);
}

QString TSingleInstanceGuard::keyFor(const QString& executablePath)
{
    const QFileInfo info(executablePath);
    QString path = info.canonicalFilePath();
    if (path.isEmpty())
        path = info.absoluteFilePath();
    const QByteArray identity = path.toUpper().toUtf8() + '\n' + QByteArray::number(qulonglong(::getuid()));
    return QStringLiteral("korvane-")
        + QString::fromLatin1(QCryptographicHash::hash(identity, QCryptographicHash::Sha256).toHex().left(32));
}

QString TSingleInstanceGuard::lockFilePath() const
{
    return FFolder + QLatin1Char('/') + FKey + QStringLiteral(".lock");
}

QString TSingleInstanceGuard::serverName() const
{
    return FFolder + QLatin1Char('/') + FKey + QStringLiteral(".sock");
}

bool TSingleInstanceGuard::acquire()
{
    QStringList arguments = QCoreApplication::arguments();
    if (!arguments.isEmpty())
        arguments.removeFirst();  // the program name is not handed over
    return acquire(arguments);
}

bool TSingleInstanceGuard::acquire(const QStringList& argumentsToHandOver)
{
    if (FServer)
        return true;

    const QByteArray lockPath = QFile::encodeName(lockFilePath());
    const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            // Only a live process holds the lock, whatever the file says.
            handOver(argumentsToHandOver);
            return false;
        }
        qWarning("Single-instance lock %s unavailable (%s); running unguarded", lockPath.constData(),
                 std::strerror(error));
        return true;
    }
    if (fd < 0) {
        // The lock cannot be made at all (no folder, no rights): refusing to
        // start would lock the user out, so this copy runs unguarded.
        qWarning("Single-instance lock %s unavailable (%s); running unguarded", lockPath.constData(),
                 std::strerror(errno));
        return true;
    }
    FLockFd = fd;
    // The process id is only for people looking at the file; nothing reads it.
    const QByteArray owner = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) != 0 || ::write(fd, owner.constData(), size_t(owner.size())) < 0)
        qWarning("Single-instance lock %s: cannot record the owner", lockPath.constData());

    // A copy that crashed may have left its socket file behind.
    QLocalServer::removeServer(serverName());
    FServer = new QLocalServer(this);
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    connect(FServer, &QLocalServer::newConnection, this, &TSingleInstanceGuard::onNewConnection);
    if (!FServer->listen(serverName()))
        qWarning("Single-instance server %s: %s", qPrintable(serverName()), qPrintable(FServer->errorString()));
    return true;
}

bool TSingleInstanceGuard::handOver(const QStringList& arguments)
{
    QByteArray message;
    for (const QString& argument : arguments)
        message += argument.toUtf8() + LineEnd;

    // Runs before any event loop, so waiting here blocks nothing that needs serving.
    const QDeadlineTimer deadline(HandOverTimeoutMs);
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(serverName());
        if (socket.waitForConnected(int(std::max<qint64>(1, deadline.remainingTime())))) {
            socket.write(message);
            bool sent = socket.waitForBytesWritten(int(std::max<qint64>(1, deadline.remainingTime())))
                        || socket.bytesToWrite() == 0;
            socket.disconnectFromServer();
            if (socket.state() != QLocalSocket::UnconnectedState)
                socket.waitForDisconnected(int(std::max<qint64>(1, deadline.remainingTime())));
            return sent;
        }
        QThread::msleep(HandOverRetryPauseMs);
    }
    return false;
}

void TSingleInstanceGuard::onNewConnection()
{
    while (QLocalSocket* socket = FServer->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { finishConnection(socket); });
        // The arguments are dropped anyway; a peer that floods us is cut off.
        connect(socket, &QLocalSocket::readyRead, socket, [socket] {
            if (socket->bytesAvailable() > MaxHandOverBytes) {
                socket->setProperty("finished", true);  // no copy of ours sends that much
                socket->abort();
                socket->deleteLater();
            }
        });
        if (socket->state() != QLocalSocket::ConnectedState)
            finishConnection(socket);
    }
}

void TSingleInstanceGuard::finishConnection(QLocalSocket* socket)
{
    if (socket->property("finished").toBool())
        return;
    socket->setProperty("finished", true);

    const QByteArray data = socket->isOpen() ? socket->readAll() : QByteArray();
    socket->deleteLater();

    QStringList arguments;
    qsizetype start = 0;
    for (qsizetype end = data.indexOf(LineEnd); end >= 0; end = data.indexOf(LineEnd, start)) {
        arguments << QString::fromUtf8(data.mid(start, end - start));
        start = end + LineEnd.size();
    }
    emit commandLineReceived(arguments);
    emit activationRequested();
}
