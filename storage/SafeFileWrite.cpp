#include "storage/SafeFileWrite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString TemporaryMark = QStringLiteral(".tmp-");
constexpr int TemporaryTagLength = 6;

QString Reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString RandomTag()
{
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QString tag;
    for (int i = 0; i < TemporaryTagLength; ++i)
        tag += QLatin1Char(alphabet[QRandomGenerator::global()->bounded(int(sizeof alphabet - 1))]);
    return tag;
}

bool WriteAll(int fd, const char* data, qsizetype size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0) {   // no progress and no reason: treat as a full disk
            errno = ENOSPC;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

} // namespace

QString TSafeFileWrite::Write(const QString& fileName, const QByteArray& bytes)
{
    const QByteArray target = QFile::encodeName(fileName);
    struct stat old {};
    const bool existed = ::stat(target.constData(), &old) == 0;

    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = QFile::encodeName(fileName + TemporaryMark + RandomTag());
        // 0666 under the umask, like any new file of the user's.
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return Reason(errno);
    }
    if (fd < 0)
        return Reason(EEXIST);

    auto fail = [&](int error) {
        if (fd >= 0)
            ::close(fd);
        ::unlink(temporary.constData());
        return Reason(error);
    };
    if (existed && ::fchmod(fd, old.st_mode & 07777) != 0)
        return fail(errno);
    if (!WriteAll(fd, bytes.constData(), bytes.size()))
        return fail(errno);
    // Only once the data is on the disk may the name point at it.
    if (::fsync(fd) != 0)
        return fail(errno);
    const int closing = ::close(fd);
    fd = -1;
    if (closing != 0)
        return fail(errno);
    if (::rename(temporary.constData(), target.constData()) != 0)
        return fail(errno);

    // Make the rename itself durable; a folder that cannot be synced changes nothing above.
    const QByteArray folder = QFile::encodeName(QFileInfo(fileName).absolutePath());
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return QString();
}

bool TSafeFileWrite::IsTemporaryOf(const QString& candidate, const QString& fileName)
{
    const QString prefix = QFileInfo(fileName).fileName() + TemporaryMark;
    return candidate.size() == prefix.size() + TemporaryTagLength && candidate.startsWith(prefix);
}

void TSafeFileWrite::RemoveLeftovers(const QString& fileName)
{
    const QFileInfo info(fileName);
    QDir folder = info.absoluteDir();
    const QStringList candidates =
        folder.entryList({info.fileName() + TemporaryMark + QLatin1Char('*')}, QDir::Files | QDir::Hidden);
    for (const QString& candidate : candidates)
        if (IsTemporaryOf(candidate, fileName))
            folder.remove(candidate);
}
