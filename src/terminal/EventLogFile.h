#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// The operator event log's file, "events.ini": the settings library's array layout, read and
// written without it. It is opened once, following no link and never blocking, checked on the
// descriptor and read from it at once; its text goes through our own INI reader, and an entry
// is taken only in the forms the log writes. It is written whole into a new file that then
// replaces whatever is in its place, which is never followed or written into.
class EventLogFile
{
public:
    // Bytes of a log file read at most: 1001 entries take far less.
    static constexpr qint64 MaxSize = 1024 * 1024;

    struct Entry
    {
        QString category;
        QString name;
        QString description;
        QDateTime timestamp;
    };

    enum class Status {
        Missing,    // nothing there: an empty log
        Read,       // entries taken
        Unusable,   // no log of ours (a link, a pipe, too large, values never written): set it aside
        Unreadable  // a file that could not be opened or read now: it may hold events, leave it
    };

    struct Contents
    {
        Status status = Status::Missing;
        QString reason;       // why it is unusable or unreadable
        int count = 0;        // entries in the file
        int first = 0;        // index of the first entry taken
        QList<Entry> entries; // the last ones, oldest first
    };

    // The file's last `keep` entries.
    static Contents read(const QString &fileName, int keep);
    // The file's text for these entries.
    static QByteArray format(const QList<Entry> &entries);
    // Replaces the file with these entries; false with the reason.
    static bool write(const QString &fileName, const QList<Entry> &entries, QString *error);
};
