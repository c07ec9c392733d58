#pragma once

#include <QFile>
#include <QString>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Makes a file unwritable for the lifetime of the object. Permission bits do
// not stop root (tests run as root in CI), so for root the file is made
// immutable instead, which stops every writer.
class ReadOnlyFile
{
public:
    explicit ReadOnlyFile(const QString &path)
        : path(path)
    {
        originalPermissions = QFile::permissions(path);
        if (geteuid() != 0) {
            ok = QFile::setPermissions(
                    path, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);
            return;
        }
        ok = setImmutable(true);
    }
    ~ReadOnlyFile()
    {
        if (geteuid() == 0)
            setImmutable(false);
        else
            QFile::setPermissions(path, originalPermissions);
    }
    ReadOnlyFile(const ReadOnlyFile &) = delete;
    ReadOnlyFile &operator=(const ReadOnlyFile &) = delete;

    // False when the file system or the process's capabilities do not allow it.
    bool isEffective() const { return ok; }

private:
    bool setImmutable(bool on)
    {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            return false;
        int flags = 0;
        bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (done) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return done;
    }

    QString path;
    QFileDevice::Permissions originalPermissions;
    bool ok = false;
};
