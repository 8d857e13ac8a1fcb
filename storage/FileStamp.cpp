#include "storage/FileStamp.h"

#include <QFile>

#include <sys/stat.h>

TFileStamp TFileStamp::Of(const QString& fileName)
{
    TFileStamp stamp;
    struct stat info {};
    if (::stat(QFile::encodeName(fileName).constData(), &info) != 0)
        return stamp;
    stamp.Exists = true;
    stamp.Device = quint64(info.st_dev);
    stamp.Inode = quint64(info.st_ino);
    stamp.Size = qint64(info.st_size);
    stamp.ModifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    stamp.ChangedNs = qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    return stamp;
}
