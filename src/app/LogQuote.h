#pragma once

#include <QByteArray>
#include <QString>

// How outside input (MQTT payloads, HTTP bodies and fields, configuration lines, command-line
// values) appears in a log line: at most a bounded prefix, followed by the full length when it
// was cut, with every byte or character that is not printable escaped. A peer can thus neither
// flood the log, nor write binary into it, nor forge a line of its own.
//
// Printable text, Greek included, comes out unchanged; "\n", "\r" and "\t" are written as
// those escapes, other control bytes and bytes that are no UTF-8 as "\xNN", invisible or
// line-breaking Unicode characters as "\uNNNN".
//
// A cut that falls inside a URL's authority hides what it leaves of it: the "@" that would mark
// the user-info for the logger's masking may lie beyond the cut.
class LogQuote
{
public:
    // Bytes of the input shown at most (counted in UTF-8 for a QString).
    static constexpr int DefaultLimit = 512;

    static QString quote(const QByteArray &bytes, int limit = DefaultLimit);
    static QString quote(const QString &text, int limit = DefaultLimit);
};
