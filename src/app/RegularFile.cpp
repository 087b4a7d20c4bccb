#include "app/RegularFile.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

RegularFile::Contents &fail(RegularFile::Contents &file, int error)
{
    file.status = RegularFile::Contents::Failed;
    file.error = error;
    return file;
}

RegularFile::Contents &refuse(RegularFile::Contents &file, RegularFile::Contents::Status status)
{
    file.status = status;
    return file;
}

// Closed however the read ends.
struct Descriptor
{
    int fd;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

QString RegularFile::Contents::why(qint64 maxSize) const
{
    switch (status) {
    case Read:
        return QString();
    case Irregular:
        return QStringLiteral("not a regular file");
    case TooLarge:
        return QStringLiteral("larger than %1 bytes").arg(maxSize);
    case Failed:
        break;
    }
    return QString::fromLocal8Bit(std::strerror(error));
}

namespace {

enum Beyond { RefuseLonger, CutLonger };

RegularFile::Contents readFile(const QString &path, qint64 maxSize, RegularFile::Links links,
                               const RegularFile::BeforeRead &beforeRead, Beyond beyond)
{
    using Contents = RegularFile::Contents;
    const bool cut = beyond == CutLonger;
    Contents file;
    const QByteArray name = QFile::encodeName(path);
    if (::lstat(name.constData(), &file.info) != 0) {
        file.missing = errno == ENOENT || errno == ENOTDIR;
        return fail(file, errno);
    }
    file.link = S_ISLNK(file.info.st_mode);
    if (file.link && links == RegularFile::RefuseLinks)
        return refuse(file, Contents::Irregular);
    // What a link leads to is looked at too: a device behind it is not opened either.
    if (file.link && ::stat(name.constData(), &file.info) != 0)
        return fail(file, errno);
    if (!S_ISREG(file.info.st_mode))
        return refuse(file, Contents::Irregular);
    if (!cut && file.info.st_size > maxSize)
        return refuse(file, Contents::TooLarge);

    // Not blocking, should a pipe have taken the name's place since.
    const bool noLinks = links == RegularFile::RefuseLinks;
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (noLinks ? O_NOFOLLOW : 0);
    const Descriptor fd{::open(name.constData(), flags)};
    if (fd.fd < 0)
        return errno == ELOOP && noLinks ? refuse(file, Contents::Irregular) : fail(file, errno);
    file.opened = true;
    if (::fstat(fd.fd, &file.info) != 0)
        return fail(file, errno);
    if (!S_ISREG(file.info.st_mode))
        return refuse(file, Contents::Irregular);
    if (!cut && file.info.st_size > maxSize)
        return refuse(file, Contents::TooLarge);
    if (beforeRead)
        beforeRead(fd.fd, file);

    // One byte over the bound at most: a file that grows meanwhile is caught too. A head is
    // never read past the bound.
    const qint64 limit = cut ? maxSize : maxSize + 1;
    QByteArray bytes;
    bytes.resize(int(qMin<qint64>(limit, qint64(file.info.st_size) + 1)));
    qint64 total = 0;
    for (;;) {
        if (total == bytes.size()) {
            if (total >= limit && cut)
                break;
            if (total > maxSize)
                return refuse(file, Contents::TooLarge);
            bytes.resize(int(qMin<qint64>(limit, total * 2 + 4096)));
        }
        const ssize_t n = ::read(fd.fd, bytes.data() + total, size_t(bytes.size() - total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(file, errno);
        if (n == 0)
            break;
        total += n;
    }
    bytes.truncate(int(total));
    file.bytes = bytes;
    file.status = Contents::Read;
    return file;
}

} // namespace

RegularFile::Contents RegularFile::read(const QString &path, qint64 maxSize, Links links, const BeforeRead &beforeRead)
{
    return readFile(path, maxSize, links, beforeRead, RefuseLonger);
}

RegularFile::Contents RegularFile::readHead(const QString &path, qint64 maxSize, Links links)
{
    return readFile(path, maxSize, links, nullptr, CutLonger);
}

bool RegularFile::replace(const QString &path, const QByteArray &bytes, int mode, QString *error)
{
    const auto systemError = [error]() {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    };
    const QByteArray name = QFile::encodeName(path);

    // A new file beside it, never one that is already there.
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temporary = name + ".new-" + QByteArray::number(QRandomGenerator::global()->generate(), 16);
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    mode == KeepMode ? 0666 : mode_t(mode));
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return systemError();
    // An operator who narrowed the file's permissions keeps them; set-id and sticky bits are
    // not handed on by whoever put the file there.
    struct stat old;
    if (mode == KeepMode && ::lstat(name.constData(), &old) == 0 && S_ISREG(old.st_mode))
        static_cast<void>(::fchmod(fd, old.st_mode & 0777));

    bool ok = true;
    qint64 done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;
        ok = n > 0;
        done += ok ? n : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    if (!ok)
        systemError();
    if (::close(fd) != 0 && ok)
        ok = systemError();
    // rename() replaces a link or a pipe in its place, never what they point to.
    if (ok && ::rename(temporary.constData(), name.constData()) != 0)
        ok = systemError();
    if (!ok) {
        ::unlink(temporary.constData());
        return false;
    }
    // The rename is the folder's to keep: on the disk too before the old file counts as gone.
    const int slash = name.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : name.left(slash);
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        static_cast<void>(::fsync(dir));
        ::close(dir);
    }
    return true;
}

QString RegularFile::throughLink(const QString &path, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    // No link there to keep: whatever keeps the name from being replaced is told by replacing it.
    if (::lstat(name.constData(), &info) != 0 || !S_ISLNK(info.st_mode))
        return path;
    // The whole chain, each link's text taken from its own folder.
    char *resolved = ::realpath(name.constData(), nullptr);
    if (!resolved) {
        *error = errno == ENOENT ? QStringLiteral("a link to nothing") : QString::fromLocal8Bit(std::strerror(errno));
        return QString();
    }
    const QByteArray target(resolved);
    ::free(resolved);
    if (::lstat(target.constData(), &info) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return QString();
    }
    if (!S_ISREG(info.st_mode)) {
        *error = QStringLiteral("a link to no regular file");
        return QString();
    }
    if (info.st_uid != ::geteuid()) {
        *error = QStringLiteral("a link to another user's file");
        return QString();
    }
    return QFile::decodeName(target);
}
