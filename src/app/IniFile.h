#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// The INI text of the configuration file, read and written in memory: the same
// format the toolkit's settings class writes ("[group]" sections, escaped
// values, comma lists), without its per-file cache and its scratch files.
//
// Deliberate differences from the settings class: bytes that are not escaped
// are read as UTF-8 (an editor's Greek stays Greek), '#' starts a comment as
// ';' does, and a quote left open ends with its line instead of swallowing the
// lines after it (the line is reported as unreadable). A "@Variant(...)" value is
// read only when it holds texts, numbers, flags, byte arrays, or lists and maps
// of them, and a "@DateTime(...)" only in the layouts the settings class writes
// for a local, UTC or fixed-offset time: nothing else is built from such bytes,
// and the line is reported as unreadable.
class IniFile
{
public:
    // What a rewrite from the parsed entries would not carry over.
    enum Loss {
        Comments = 0x01,        // comment lines
        UnreadableLines = 0x02, // lines that are no setting
        InlineComments = 0x04,  // "; ..." after a value
        RepeatedKeys = 0x08,    // a key set twice: only the last counts
        RepeatedSections = 0x10 // a section opened twice: merged
    };

    struct Parsed
    {
        QVariantMap entries;       // "group/name" (or "name" before any section) -> text or list of texts
        QList<int> unreadable;     // 1-based numbers of the lines that are no setting
        QMap<QString, QList<int>> repeated; // keys set more than once -> their lines
        int losses = 0;            // Loss flags
    };

    static Parsed parse(const QByteArray &bytes);
    static QByteArray format(const QVariantMap &entries);

    // The losses as words for a log line ("comments, repeated keys").
    static QString describe(int losses);
};
