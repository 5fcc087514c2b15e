#ifndef FILEOPS_H
#define FILEOPS_H

#include <QString>
#include <QStringList>

namespace FileOps {

// The path as the user's system writes it, for messages.
QString native(const QString &path);

// Stores text where out points, when it points anywhere.
void setText(QString *out, const QString &text);

// Removes one file, or a link of any kind without following it. A read-only
// file is made writable and tried once more. On failure, error (when given)
// receives the system's reason.
bool removeFile(const QString &path, QString *error = nullptr);

// Removes a file and treats one that is already absent as removed. On
// failure, failure (when given) receives a line naming the file and the reason.
bool removeFileIfPresent(const QString &path, QString *failure = nullptr);

// True when another program holds the file or folder open in a way that
// keeps it from being removed, as a running launcher holds its files. Only
// Windows locks files like that.
bool isInUse(const QString &path);

// Puts the given files, copied into folder, on disk before returning.
bool syncToDisk(const QString &folder, const QStringList &files, QString *error = nullptr);

// The absolute path without . and .. and with links resolved as far as the
// path exists, so that two spellings of one folder compare equal.
QString comparablePath(const QString &path);

// True when inner is outer itself or lies somewhere below it, comparing
// letter case the way the platform's file system does.
bool isSameOrInside(const QString &inner, const QString &outer);

} // namespace FileOps

#endif
