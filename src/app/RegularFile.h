#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

#include <sys/stat.h>

// A file that someone else may have put in place, read once and bounded, and a file of ours
// replaced whole.
//
// Reading takes only a regular file: a pipe, a device, a socket or a folder is not even opened
// (a pipe would block, a device may never end), and whatever took the name's place since the
// first look is told by the descriptor, whose bytes are the ones checked and read. A file that
// grows past the bound while it is read is caught too.
//
// Replacing writes a new file beside the old one, never one already there, on the disk before
// it takes the old one's place: a power cut leaves one or the other, and a link in its place is
// replaced, never followed.
class RegularFile
{
public:
    enum Links { FollowLinks, RefuseLinks };

    struct Contents
    {
        enum Status {
            Read,       // bytes holds the whole file
            Failed,     // a system call failed: error holds its errno
            Irregular,  // no regular file (with RefuseLinks, a link is none either)
            TooLarge    // more bytes than the bound, seen on its size or while read
        };

        Status status = Failed;
        QByteArray bytes;    // empty unless Read
        int error = 0;       // errno when Failed
        bool missing = false; // Failed because the name itself does not exist
        bool link = false;   // the name is a link
        bool opened = false; // a descriptor was had
        // What was last seen of it: the descriptor's status once opened, the name's before.
        struct stat info = {};

        bool ok() const { return status == Read; }
        // "not a regular file", "larger than N bytes" or the system's text of error.
        QString why(qint64 maxSize) const;
    };

    // Called with the open descriptor of a regular file within the bound, before its bytes are
    // read: for what must be done to the very file read.
    using BeforeRead = std::function<void(int descriptor, const Contents &file)>;

    static Contents read(const QString &path, qint64 maxSize, Links links = FollowLinks,
                         const BeforeRead &beforeRead = nullptr);
    // As read, but a longer file gives its first maxSize bytes and the rest is left unread:
    // for files of which only a short head counts (an id before a chip image's padding).
    static Contents readHead(const QString &path, qint64 maxSize, Links links = FollowLinks);

    // Not a mode: the new file is made 0666 less the umask, then given the permission bits of
    // the regular file it replaces, if any.
    static constexpr int KeepMode = -1;

    // The new file is made with mode (or as KeepMode says); on failure the old one stays as it
    // was, nothing is left beside it, and error holds the system's text.
    static bool replace(const QString &path, const QByteArray &bytes, int mode, QString *error);

    // What to replace so that a link in path's place stays: path itself when it is no link (or
    // nothing yet); through a link, or a chain of them, the regular file it ends at when that is
    // the user's own (a board that keeps the file on a partition of its own). Anything else (a
    // dangling link, a link to a folder, a device, a pipe or another user's file) gives an empty
    // text and error says why.
    static QString throughLink(const QString &path, QString *error);
};
