#include "storage/FileLock.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

TFileLock::TFileLock(const QString& fileName, int timeoutMs)
{
    const QByteArray path = QFile::encodeName(LockFileName(fileName));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        FError = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    // Holders keep it for one file write, so a short wait is enough; the window is not
    // served meanwhile, hence the bound.
    const QDeadlineTimer deadline(timeoutMs);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK || deadline.hasExpired()) {
            FError = errno == EWOULDBLOCK ? QStringLiteral("another copy of the program keeps it locked")
                                          : QString::fromLocal8Bit(std::strerror(errno));
            ::close(fd);
            return;
        }
        QThread::msleep(5);
    }
    FFd = fd;
}

TFileLock::~TFileLock()
{
    if (FFd >= 0)
        ::close(FFd);   // releases the lock; the file stays for the next holder
}
