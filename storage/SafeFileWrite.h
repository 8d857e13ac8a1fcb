#pragma once

#include <QByteArray>
#include <QString>

// Replaces a file with new bytes so that it is either the old file or the new one, never
// a cut one: the bytes go to a temporary file beside it, and every step (write, fsync,
// close, rename) is checked. On failure the temporary is removed, the old file stays
// whole and the system's reason is returned ("No space left on device").
class TSafeFileWrite
{
public:
    // Empty on success, else the system's reason. The new file keeps the old one's
    // permissions; a new file gets the usual ones for the user's umask.
    static QString Write(const QString& fileName, const QByteArray& bytes);

    // Removes temporaries a killed write left beside the file. Call it while holding
    // whatever lock the writers of that file hold, so no write in progress is hit.
    static void RemoveLeftovers(const QString& fileName);

    // Temporaries are named <file name>.tmp-<six characters>.
    static bool IsTemporaryOf(const QString& candidate, const QString& fileName);
};
