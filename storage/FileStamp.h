#pragma once

#include <QString>

// What identifies one version of a file without reading it: a write through a rename
// gives a new inode, an edit in place a new size or time.
struct TFileStamp
{
    bool Exists = false;
    quint64 Device = 0;
    quint64 Inode = 0;
    qint64 Size = 0;
    qint64 ModifiedNs = 0;
    qint64 ChangedNs = 0;

    static TFileStamp Of(const QString& fileName);
    bool operator==(const TFileStamp&) const = default;
};
