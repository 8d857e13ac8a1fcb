#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

// A folder whose disk can be filled up and freed again, without touching the real disk.
//
// Where the test may mount (root), it is a small tmpfs mounted in a mount namespace of
// this process alone, so it vanishes with the process whatever happens; filling it makes
// writes fail with ENOSPC, as on a full disk. Elsewhere the process's file size limit
// stands in: writes past it fail with EFBIG, through the very same code paths.
class TFullDiskFolder
{
public:
    TFullDiskFolder()
    {
        if (!FTemp.isValid())
            return;
        FPath = FTemp.path() + QStringLiteral("/disk");
        QDir().mkpath(FPath);
        const QByteArray path = QFile::encodeName(FPath);
        FMounted = ::unshare(CLONE_NEWNS) == 0
                   && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
                   && ::mount("korvane-test", path.constData(), "tmpfs", 0, "size=512k") == 0;
        ::signal(SIGXFSZ, SIG_IGN);   // a write past the limit then fails instead of killing us
    }
    ~TFullDiskFolder()
    {
        Free();
        if (FMounted)
            ::umount2(QFile::encodeName(FPath).constData(), MNT_DETACH);
    }

    QString Path() const { return FPath; }
    bool RealFullDisk() const { return FMounted; }
    // The system's words for the failure a write meets while the disk is full.
    QString ExpectedReason() const { return QString::fromLocal8Bit(std::strerror(FMounted ? ENOSPC : EFBIG)); }

    void Fill()
    {
        if (!FMounted) {
            ::getrlimit(RLIMIT_FSIZE, &FOldLimit);
            rlimit limit = FOldLimit;
            limit.rlim_cur = 16;
            ::setrlimit(RLIMIT_FSIZE, &limit);
            FLimited = true;
            return;
        }
        const QByteArray filler = QFile::encodeName(FPath + QStringLiteral("/filler"));
        const int fd = ::open(filler.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0)
            return;
        const QByteArray block(4096, 'x');
        // Bounded: the tmpfs holds 512 KiB.
        for (int i = 0; i < 1024 && ::write(fd, block.constData(), size_t(block.size())) > 0; ++i) {
        }
        for (int i = 0; i < 4096 && ::write(fd, block.constData(), 1) > 0; ++i) {
        }
        ::close(fd);
    }
    void Free()
    {
        if (FLimited) {
            ::setrlimit(RLIMIT_FSIZE, &FOldLimit);
            FLimited = false;
        }
        if (FMounted)
            QFile::remove(FPath + QStringLiteral("/filler"));
    }

private:
    QTemporaryDir FTemp;
    QString FPath;
    bool FMounted = false;
    bool FLimited = false;
    rlimit FOldLimit{};
};
