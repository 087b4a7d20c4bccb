#include "app/LogQuote.h"

#include <QChar>

namespace {

bool printable(uint cp)
{
    if (cp < 0x80)
        return cp >= 0x20 && cp < 0x7f;
    if (cp >= 0xd800 && cp <= 0xdfff)
        return false;
    const QChar::Category category = QChar::category(cp);
    // Line and paragraph separators break a line in a log viewer just as "\n" does.
    return QChar::isPrint(cp) && category != QChar::Separator_Line && category != QChar::Separator_Paragraph;
}

void appendHex(QString &out, const char *prefix, uint value, int digits)
{
    out += QLatin1String(prefix);
    out += QString::number(value, 16).rightJustified(digits, QLatin1Char('0'));
}

void appendCodePoint(QString &out, uint cp)
{
    if (printable(cp)) {
        if (QChar::requiresSurrogates(cp)) {
            out += QChar(QChar::highSurrogate(cp));
            out += QChar(QChar::lowSurrogate(cp));
        } else {
            out += QChar(ushort(cp));
        }
        return;
    }
    switch (cp) {
    case '\n':
        out += QLatin1String("\\n");
        return;
    case '\r':
        out += QLatin1String("\\r");
        return;
    case '\t':
        out += QLatin1String("\\t");
        return;
    default:
        break;
    }
    if (cp < 0x80)
        appendHex(out, "\\x", cp, 2);
    else if (cp > 0xffff)
        appendHex(out, "\\U", cp, 8);
    else
        appendHex(out, "\\u", cp, 4);
}

// Length of the valid UTF-8 sequence at `at` and its code point; 0 when the byte there starts
// none (a stray continuation byte, an overlong form, a surrogate, a sequence cut short).
int decodeUtf8(const QByteArray &bytes, int at, int end, uint *cp)
{
    const uchar lead = uchar(bytes.at(at));
    int length = 0;
    uint value = 0;
    uint minimum = 0;
    if (lead < 0x80) {
        *cp = lead;
        return 1;
    } else if ((lead & 0xe0) == 0xc0) {
        length = 2;
        value = lead & 0x1f;
        minimum = 0x80;
    } else if ((lead & 0xf0) == 0xe0) {
        length = 3;
        value = lead & 0x0f;
        minimum = 0x800;
    } else if ((lead & 0xf8) == 0xf0) {
        length = 4;
        value = lead & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (at + length > end)
        return 0;
    for (int i = 1; i < length; ++i) {
        const uchar next = uchar(bytes.at(at + i));
        if ((next & 0xc0) != 0x80)
            return 0;
        value = (value << 6) | (next & 0x3f);
    }
    if (value < minimum || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff))
        return 0;
    *cp = value;
    return length;
}

int utf8Length(uint cp)
{
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

QString withLength(QString shown, qint64 total)
{
    // Cut before the "@" that ends it, a URL's user-info would no longer read as such to the
    // logger's masking: what the cut leaves of an authority is hidden whole. Only the last "://"
    // can be open, as every other one is followed by the "/" of the next.
    const int scheme = shown.lastIndexOf(QLatin1String("://"));
    if (scheme >= 0) {
        const int start = scheme + 3;
        int end = start;
        while (end < shown.size() && shown.at(end) != QLatin1Char('/') && shown.at(end) != QLatin1Char('?')
               && shown.at(end) != QLatin1Char('#'))
            ++end;
        if (end == shown.size() && start < end)
            shown.replace(start, end - start, QStringLiteral("****"));
    }
    shown += QStringLiteral("[... %1 bytes in all]").arg(total);
    return shown;
}

} // namespace

QString LogQuote::quote(const QByteArray &bytes, int limit)
{
    limit = qMax(0, limit);
    const bool cut = bytes.size() > limit;
    const int end = cut ? limit : bytes.size();
    QString out;
    out.reserve(end);
    int at = 0;
    while (at < end) {
        uint cp = 0;
        const int length = decodeUtf8(bytes, at, end, &cp);
        if (length > 0) {
            appendCodePoint(out, cp);
            at += length;
            continue;
        }
        // A character the limit cuts in two is left out rather than shown as broken bytes.
        if (cut && decodeUtf8(bytes, at, bytes.size(), &cp) > 0)
            break;
        appendHex(out, "\\x", uchar(bytes.at(at)), 2);
        ++at;
    }
    return cut ? withLength(out, bytes.size()) : out;
}

QString LogQuote::quote(const QString &text, int limit)
{
    limit = qMax(0, limit);
    QString out;
    qint64 used = 0;
    qint64 total = 0;
    bool cut = false;
    const int size = text.size();
    for (int i = 0; i < size; ++i) {
        uint cp = text.at(i).unicode();
        if (QChar::isHighSurrogate(cp) && i + 1 < size && text.at(i + 1).isLowSurrogate())
            cp = QChar::surrogateToUcs4(ushort(cp), text.at(++i).unicode());
        // A lone surrogate would be written as the three bytes of U+FFFD.
        const int bytes = utf8Length(cp);
        total += bytes;
        if (cut)
            continue;
        if (used + bytes > limit) {
            cut = true;
            continue;
        }
        used += bytes;
        appendCodePoint(out, cp);
    }
    return cut ? withLength(out, total) : out;
}
