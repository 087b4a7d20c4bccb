#include "app/IniFile.h"

#include <QDataStream>
#include <QDateTime>
#include <QIODevice>
#include <QMap>
#include <QSet>
#include <QTimeZone>

#include <cstring>
#include <limits>

namespace {

struct LogicalLine
{
    QByteArray text;
    int number = 0; // of its first physical line
};

// Physical lines, joined where a backslash escapes the line end. A comment runs
// to the end of its physical line, as the settings class reads it: a backslash
// at its end does not pull the next line (a section, say) into the comment.
QList<LogicalLine> splitLines(const QByteArray &bytes)
{
    QList<LogicalLine> lines;
    LogicalLine current;
    current.number = 1;
    int physical = 1;
    bool inQuotes = false;
    bool inComment = false;
    bool atStart = true; // nothing but blanks yet on this line
    const int size = bytes.size();
    for (int i = 0; i < size; ++i) {
        const char c = bytes.at(i);
        if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < size && bytes.at(i + 1) == '\n')
                ++i;
            lines << current;
            current = LogicalLine();
            current.number = ++physical;
            inQuotes = inComment = false;
            atStart = true;
            continue;
        }
        if (!inComment && c == '\\' && i + 1 < size) {
            current.text += c;
            const char next = bytes.at(++i);
            current.text += next;
            if (next == '\n' || next == '\r') {
                ++physical;
                if (i + 1 < size && (bytes.at(i + 1) == '\n' || bytes.at(i + 1) == '\r') && bytes.at(i + 1) != next)
                    current.text += bytes.at(++i);
            }
            atStart = false;
            continue;
        }
        if (!inComment) {
            if (c == '"')
                inQuotes = !inQuotes;
            else if (!inQuotes && (c == ';' || (atStart && c == '#')))
                inComment = true;
            if (c != ' ' && c != '\t')
                atStart = false;
        }
        current.text += c;
    }
    if (!current.text.isEmpty())
        lines << current;
    return lines;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "%XX" and "%UXXXX" stand for characters, a backslash for a slash.
QString unescapeKey(const QByteArray &key)
{
    QString result;
    int i = 0;
    const int size = key.size();
    while (i < size) {
        const char c = key.at(i);
        if (c == '\\') {
            result += QLatin1Char('/');
            ++i;
            continue;
        }
        if (c == '%' && i + 1 < size) {
            const bool wide = key.at(i + 1) == 'U';
            const int first = i + (wide ? 2 : 1);
            const int digits = wide ? 4 : 2;
            if (first + digits <= size) {
                int value = 0;
                bool ok = true;
                for (int d = 0; d < digits && ok; ++d) {
                    const int h = hexValue(key.at(first + d));
                    ok = h >= 0;
                    value = value * 16 + h;
                }
                if (ok) {
                    result += QChar(ushort(value));
                    i = first + digits;
                    continue;
                }
            }
        }
        // Runs of plain bytes: UTF-8 from an editor.
        int j = i + 1;
        while (j < size && key.at(j) != '\\' && key.at(j) != '%')
            ++j;
        result += QString::fromUtf8(key.constData() + i, j - i);
        i = j;
    }
    return result;
}

// Blanks at the end of a plain run are layout; from `limit` on only, so that an
// escaped tab ("\t") at the end of a value stays part of it.
void chopTrailingBlanks(QString &text, int limit)
{
    int n = text.size();
    while (n > limit && (text.at(n - 1) == QLatin1Char(' ') || text.at(n - 1) == QLatin1Char('\t')))
        --n;
    text.truncate(n);
}

// The bytes of a special value, one character each; false for a wider character,
// which no byte written by the settings class turns into.
bool latin1Bytes(const QString &text, QByteArray *bytes)
{
    bytes->resize(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const ushort c = text.at(i).unicode();
        if (c > 0xff)
            return false;
        (*bytes)[i] = char(c);
    }
    return true;
}

quint64 bigEndian(const QByteArray &bytes, int at, int count)
{
    quint64 value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | uchar(bytes.at(at + i));
    return value;
}

// The stream behind "@Variant(" as the settings class writes it (QDataStream::Qt_4_0), read only
// for the types a value of ours can hold: texts, numbers, flags, byte arrays, and lists and maps
// of them. Every count and length is checked against the bytes left before anything is made,
// nesting is bounded, and any other type refuses the whole value.
class VariantBytes
{
public:
    explicit VariantBytes(const QByteArray &bytes) : m_bytes(bytes) {}

    bool read(QVariant *value) { return variant(value, 0) && m_pos == m_bytes.size(); }

private:
    static constexpr int MaxDepth = 8;
    static constexpr quint32 Null = 0xffffffffu;

    int left() const { return m_bytes.size() - m_pos; }

    bool take(int count, quint64 *value)
    {
        if (left() < count)
            return false;
        *value = bigEndian(m_bytes, m_pos, count);
        m_pos += count;
        return true;
    }

    // A number of items, each taking at least `each` bytes of what is left.
    bool count(int each, int *items)
    {
        quint64 n = 0;
        if (!take(4, &n) || n > quint64(left() / each))
            return false;
        *items = int(n);
        return true;
    }

    // A whole number of T's width, as a value of T's type.
    template <typename T>
    bool number(QVariant *out)
    {
        quint64 raw = 0;
        if (!take(int(sizeof(T)), &raw))
            return false;
        *out = QVariant::fromValue(T(raw));
        return true;
    }

    bool text(QString *out)
    {
        quint64 length = 0;
        if (!take(4, &length))
            return false;
        if (length == Null) {
            *out = QString();
            return true;
        }
        if (length % 2 != 0 || length > quint64(left()))
            return false;
        QString result(int(length / 2), Qt::Uninitialized);
        for (int i = 0; i < result.size(); ++i)
            result[i] = QChar(ushort(bigEndian(m_bytes, m_pos + 2 * i, 2)));
        m_pos += int(length);
        *out = result;
        return true;
    }

    bool variant(QVariant *out, int depth)
    {
        quint64 type = 0;
        quint64 raw = 0;
        if (depth > MaxDepth || !take(4, &type))
            return false;
        switch (type) {
        case QMetaType::UnknownType: {
            // An invalid value is followed by a null text.
            if (!take(4, &raw) || raw != Null)
                return false;
            *out = QVariant();
            return true;
        }
        case QMetaType::Bool:
            if (!take(1, &raw) || raw > 1)
                return false;
            *out = raw != 0;
            return true;
        case QMetaType::Int:
            return number<qint32>(out);
        case QMetaType::UInt:
            return number<quint32>(out);
        case QMetaType::LongLong:
            return number<qint64>(out);
        case QMetaType::ULongLong:
            return number<quint64>(out);
        case QMetaType::Double: {
            if (!take(8, &raw))
                return false;
            double number = 0;
            std::memcpy(&number, &raw, sizeof number);
            *out = number;
            return true;
        }
        case QMetaType::QString: {
            QString value;
            if (!text(&value))
                return false;
            *out = value;
            return true;
        }
        case QMetaType::QByteArray: {
            quint64 length = 0;
            if (!take(4, &length))
                return false;
            if (length == Null) {
                *out = QByteArray();
                return true;
            }
            if (length > quint64(left()))
                return false;
            *out = m_bytes.mid(m_pos, int(length));
            m_pos += int(length);
            return true;
        }
        case QMetaType::QStringList: {
            int items = 0;
            if (!count(4, &items))
                return false;
            QStringList values;
            for (int i = 0; i < items; ++i) {
                QString value;
                if (!text(&value))
                    return false;
                values << value;
            }
            *out = values;
            return true;
        }
        case QMetaType::QVariantList: {
            int items = 0;
            if (!count(4, &items))
                return false;
            QVariantList values;
            for (int i = 0; i < items; ++i) {
                QVariant value;
                if (!variant(&value, depth + 1))
                    return false;
                values << value;
            }
            *out = values;
            return true;
        }
        case QMetaType::QVariantMap: {
            int items = 0;
            if (!count(8, &items))
                return false;
            QVariantMap values;
            for (int i = 0; i < items; ++i) {
                QString key;
                QVariant value;
                if (!text(&key) || !variant(&value, depth + 1))
                    return false;
                values.insert(key, value);
            }
            *out = values;
            return true;
        }
        default:
            return false;
        }
    }

    const QByteArray &m_bytes;
    int m_pos = 0;
};

// "@DateTime(...)" as the settings class writes a date-time: a variant of type QDateTime,
// not null, then the julian day (qint64), the milliseconds of the day (quint32) and the kind
// of time (qint8: local, UTC, offset or zone), with the offset (qint32) for a fixed offset.
// Only these exact layouts are read, and only the fields are taken from them; a zone would be
// looked up by a name from the file and is refused.
bool decodeDateTime(const QString &payload, QVariant *value)
{
    QByteArray bytes;
    if (!latin1Bytes(payload, &bytes) || (bytes.size() != 18 && bytes.size() != 22))
        return false;
    if (bigEndian(bytes, 0, 4) != quint64(QMetaType::QDateTime) || bytes.at(4) != 0)
        return false;
    const qint64 day = qint64(bigEndian(bytes, 5, 8));
    const quint32 msecs = quint32(bigEndian(bytes, 13, 4));
    const int kind = bytes.at(17);
    if (bytes.size() == 18 && kind == Qt::LocalTime && day == std::numeric_limits<qint64>::min()
        && msecs == 0xffffffffu) {
        *value = QDateTime(); // as the settings class writes a null date-time
        return true;
    }
    static const qint64 firstDay = QDate(1, 1, 1).toJulianDay();
    static const qint64 lastDay = QDate(9999, 12, 31).toJulianDay();
    if (day < firstDay || day > lastDay || msecs >= 24u * 3600 * 1000)
        return false;
    const QDate date = QDate::fromJulianDay(day);
    const QTime time = QTime::fromMSecsSinceStartOfDay(int(msecs));
    if (bytes.size() == 18 && (kind == Qt::LocalTime || kind == Qt::UTC)) {
        *value = QDateTime(date, time, Qt::TimeSpec(kind));
        return true;
    }
    if (bytes.size() == 22 && kind == Qt::OffsetFromUTC) {
        const qint32 offset = qint32(quint32(bigEndian(bytes, 18, 4)));
        if (offset < QTimeZone::MinUtcOffsetSecs || offset > QTimeZone::MaxUtcOffsetSecs)
            return false;
        *value = QDateTime(date, time, Qt::OffsetFromUTC, offset);
        return true;
    }
    return false;
}

// A special value as the settings class reads it, except that "@Variant(...)" and
// "@DateTime(...)" are read only as above (the settings class makes whatever type and size
// their bytes announce, a list of 2^31 entries, say): false for anything else, and the line
// counts as unreadable.
bool stringToVariant(const QString &s, QVariant *value)
{
    *value = s;
    if (!s.startsWith(QLatin1Char('@')))
        return true;
    if (s.endsWith(QLatin1Char(')'))) {
        if (s.startsWith(QLatin1String("@ByteArray("))) {
            *value = QVariant(s.toLatin1().mid(11, s.size() - 12));
            return true;
        }
        if (s.startsWith(QLatin1String("@String("))) {
            *value = QVariant(s.mid(8, s.size() - 9));
            return true;
        }
        if (s.startsWith(QLatin1String("@Variant("))) {
            QByteArray bytes;
            return latin1Bytes(s.mid(9, s.size() - 10), &bytes) && VariantBytes(bytes).read(value);
        }
        if (s.startsWith(QLatin1String("@DateTime(")))
            return decodeDateTime(s.mid(10, s.size() - 11), value);
        if (s == QLatin1String("@Invalid()")) {
            *value = QVariant();
            return true;
        }
    }
    if (s.startsWith(QLatin1String("@@")))
        *value = QVariant(s.mid(1));
    return true;
}

// A value: escapes resolved, quotes removed, split into a list at commas
// outside quotes. Blanks around unquoted items do not count. False for a value
// that is not read (see stringToVariant).
bool unescapeValue(const QByteArray &bytes, QVariant *value)
{
    QString item;
    QStringList items;
    bool isList = false;
    bool inQuotes = false;
    bool quoted = false;
    // Characters of the item before this index came from escapes or quotes.
    int chopLimit = 0;
    // The settings class keeps the blanks of a value that ends in a lone
    // backslash or "\x".
    bool endedInEscape = false;
    int i = 0;
    const int size = bytes.size();
    const auto skipBlanks = [&] {
        while (i < size && isBlank(bytes.at(i)))
            ++i;
        chopLimit = item.size();
    };
    skipBlanks();
    while (i < size) {
        const char c = bytes.at(i);
        if (c == '\\') {
            ++i;
            if (i >= size) {
                endedInEscape = true;
                break;
            }
            const char e = bytes.at(i++);
            if (e == 'x' && i >= size)
                endedInEscape = true;
            switch (e) {
            case 'a': item += QLatin1Char('\a'); break;
            case 'b': item += QLatin1Char('\b'); break;
            case 'f': item += QLatin1Char('\f'); break;
            case 'n': item += QLatin1Char('\n'); break;
            case 'r': item += QLatin1Char('\r'); break;
            case 't': item += QLatin1Char('\t'); break;
            case 'v': item += QLatin1Char('\v'); break;
            case '"': case '?': case '\'': case '\\': item += QLatin1Char(e); break;
            case 'x': {
                if (i >= size || hexValue(bytes.at(i)) < 0)
                    break; // "\x" without digits stands for nothing
                uint value = 0;
                while (i < size && hexValue(bytes.at(i)) >= 0)
                    value = (value << 4) + uint(hexValue(bytes.at(i++)));
                item += QChar(ushort(value));
                break;
            }
            case '\n':
            case '\r':
                // A continued line.
                if (i < size && (bytes.at(i) == '\n' || bytes.at(i) == '\r') && bytes.at(i) != e)
                    ++i;
                break;
            default:
                if (e >= '0' && e <= '7') {
                    uint value = uint(e - '0');
                    while (i < size && bytes.at(i) >= '0' && bytes.at(i) <= '7')
                        value = (value << 3) + uint(bytes.at(i++) - '0');
                    item += QChar(ushort(value));
                }
                break; // any other escaped character is dropped
            }
            chopLimit = item.size();
            continue;
        }
        if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes)
                skipBlanks();
            continue;
        }
        if (c == ',' && !inQuotes) {
            if (!quoted)
                chopTrailingBlanks(item, chopLimit);
            isList = true;
            items << item;
            item.clear();
            quoted = false;
            ++i;
            skipBlanks();
            continue;
        }
        int j = i + 1;
        while (j < size && bytes.at(j) != '\\' && bytes.at(j) != '"' && bytes.at(j) != ',')
            ++j;
        item += QString::fromUtf8(bytes.constData() + i, j - i);
        i = j;
    }
    if (!quoted && !endedInEscape)
        chopTrailingBlanks(item, chopLimit);
    if (!isList)
        return stringToVariant(item, value);
    items << item;
    // As the settings class reads a list: texts, with "@@" standing for "@",
    // unless an item is a special value ("@Invalid()", "@String(...)"), which
    // makes every item a variant of its own.
    QStringList texts;
    for (const QString &text : qAsConst(items)) {
        if (!text.startsWith(QLatin1Char('@'))) {
            texts << text;
        } else if (text.startsWith(QLatin1String("@@"))) {
            texts << text.mid(1);
        } else {
            QVariantList values;
            for (const QString &each : qAsConst(items)) {
                QVariant one;
                if (!stringToVariant(each, &one))
                    return false;
                values << one;
            }
            *value = values;
            return true;
        }
    }
    *value = texts;
    return true;
}

QString sectionName(const QByteArray &raw)
{
    const QString name = unescapeKey(raw.trimmed());
    if (name.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0)
        return QString();
    if (name.compare(QLatin1String("%General"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("General");
    return name;
}

const char hexDigits[] = "0123456789ABCDEF";

QByteArray escapeKey(const QString &key)
{
    QByteArray result;
    for (const QChar qc : key) {
        uint c = qc.unicode();
        if (c == '/') {
            result += '\\';
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-'
                   || c == '.') {
            result += char(c);
        } else if (c <= 0xff) {
            result += '%';
            result += hexDigits[c / 16];
            result += hexDigits[c % 16];
        } else {
            result += "%U";
            QByteArray code;
            for (int d = 0; d < 4; ++d) {
                code.prepend(hexDigits[c % 16]);
                c >>= 4;
            }
            result += code;
        }
    }
    return result;
}

void escapeString(const QString &text, QByteArray &out)
{
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    const int start = out.size();
    for (const QChar qc : text) {
        const uint c = qc.unicode();
        if (c == ';' || c == ',' || c == '=')
            needsQuotes = true;
        // "\x1" followed by "9" would read back as "\x19".
        if (escapeNextIfDigit && hexValue(char(c < 0x80 ? c : 0)) >= 0) {
            out += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        escapeNextIfDigit = false;
        switch (c) {
        case '\0': out += "\\0"; escapeNextIfDigit = true; break;
        case '\a': out += "\\a"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\v': out += "\\v"; break;
        case '"':
        case '\\':
            out += '\\';
            out += char(c);
            break;
        default:
            if (c <= 0x1f || c >= 0x7f) {
                out += "\\x" + QByteArray::number(c, 16);
                escapeNextIfDigit = true;
            } else {
                out += char(c);
            }
        }
    }
    if (needsQuotes || (start < out.size() && (out.at(start) == ' ' || out.at(out.size() - 1) == ' '))) {
        out.insert(start, '"');
        out += '"';
    }
}

QString variantToString(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
        return QStringLiteral("@Invalid()");
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return QLatin1String("@ByteArray(") + QLatin1String(bytes.constData(), bytes.size()) + QLatin1Char(')');
    }
    case QMetaType::QString:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Bool:
    case QMetaType::Double: {
        QString text = value.toString();
        if (text.contains(QChar::Null))
            return QLatin1String("@String(") + text + QLatin1Char(')');
        if (text.startsWith(QLatin1Char('@')))
            text.prepend(QLatin1Char('@'));
        return text;
    }
    default: {
        // A date-time in the stream version the settings class uses for it.
        const bool dateTime = value.userType() == QMetaType::QDateTime;
        QByteArray bytes;
        {
            QDataStream stream(&bytes, QIODevice::WriteOnly);
            stream.setVersion(dateTime ? QDataStream::Qt_5_6 : QDataStream::Qt_4_0);
            stream << value;
        }
        return QLatin1String(dateTime ? "@DateTime(" : "@Variant(") + QLatin1String(bytes.constData(), bytes.size())
            + QLatin1Char(')');
    }
    }
}

QByteArray formatValue(const QVariant &value)
{
    QByteArray out;
    const bool textList = value.userType() == QMetaType::QStringList;
    const bool variantList = value.userType() == QMetaType::QVariantList && value.toList().size() != 1;
    if (!textList && !variantList) {
        escapeString(variantToString(value), out);
        return out;
    }
    // Every item as a value of its own: "@" doubled, a zero byte as "@String(...)".
    QStringList items;
    const QVariantList values = value.toList();
    for (const QVariant &v : values)
        items << variantToString(v);
    if (items.isEmpty())
        return "@Invalid()";
    for (int i = 0; i < items.size(); ++i) {
        if (i > 0)
            out += ", ";
        escapeString(items.at(i), out);
    }
    return out;
}

} // namespace

IniFile::Parsed IniFile::parse(const QByteArray &bytes)
{
    Parsed parsed;
    QString section;
    bool sectionUsable = true;
    QSet<QString> sections;
    QMap<QString, int> firstLine;

    // An editor's byte-order mark is skipped, as the settings class skips it: else it would
    // spoil the first section's name and move its keys out of it.
    static const QByteArray byteOrderMark("\xef\xbb\xbf");
    const QList<LogicalLine> lines = splitLines(bytes.startsWith(byteOrderMark) ? bytes.mid(byteOrderMark.size()) : bytes);
    for (const LogicalLine &line : lines) {
        int start = 0;
        while (start < line.text.size() && isBlank(line.text.at(start)))
            ++start;
        const QByteArray text = line.text.mid(start);
        if (text.isEmpty())
            continue;
        if (text.startsWith(';') || text.startsWith('#')) {
            parsed.losses |= Comments;
            continue;
        }

        if (text.startsWith('[')) {
            const int close = text.indexOf(']');
            const QString name = sectionName(text.mid(1, close < 0 ? -1 : close - 1));
            const bool bad = close < 0 || text.mid(1, close - 1).trimmed().isEmpty();
            if (bad) {
                parsed.unreadable << line.number;
                parsed.losses |= UnreadableLines;
            } else {
                const QByteArray rest = text.mid(close + 1).trimmed();
                if (rest.startsWith(';') || rest.startsWith('#')) {
                    parsed.losses |= InlineComments;
                } else if (!rest.isEmpty()) {
                    parsed.unreadable << line.number;
                    parsed.losses |= UnreadableLines;
                }
            }
            // "[mqtt" still opens "mqtt", as the settings class reads it; "[]" opens nothing usable.
            section = name;
            sectionUsable = close >= 0 ? !text.mid(1, close - 1).trimmed().isEmpty() : !name.isEmpty();
            if (sectionUsable) {
                if (sections.contains(section))
                    parsed.losses |= RepeatedSections;
                sections.insert(section);
            }
            continue;
        }

        int equals = -1;
        int end = text.size();
        bool inQuotes = false;
        for (int i = 0; i < text.size(); ++i) {
            const char c = text.at(i);
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inQuotes = !inQuotes;
            } else if (!inQuotes && c == '=' && equals < 0) {
                equals = i;
            } else if (!inQuotes && c == ';') {
                end = i;
                break;
            }
        }
        int keyEnd = equals;
        while (keyEnd > 0 && isBlank(text.at(keyEnd - 1)))
            --keyEnd;
        QVariant value;
        if (inQuotes || equals < 0 || keyEnd <= 0 || !sectionUsable
            || !unescapeValue(text.mid(equals + 1, end - equals - 1), &value)) {
            parsed.unreadable << line.number;
            parsed.losses |= UnreadableLines;
            continue;
        }
        if (end < text.size())
            parsed.losses |= InlineComments;

        const QString name = unescapeKey(text.left(keyEnd));
        const QString key = section.isEmpty() ? name : section + QLatin1Char('/') + name;
        if (firstLine.contains(key)) {
            parsed.losses |= RepeatedKeys;
            QList<int> &seen = parsed.repeated[key];
            if (seen.isEmpty())
                seen << firstLine.value(key);
            seen << line.number;
        } else {
            firstLine.insert(key, line.number);
        }
        parsed.entries.insert(key, value);
    }
    return parsed;
}

QByteArray IniFile::format(const QVariantMap &entries)
{
    // Keys outside every section come first, under "[General]".
    QMap<QString, QList<QPair<QString, QVariant>>> sections;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        const int slash = it.key().indexOf(QLatin1Char('/'));
        const QString section = slash < 0 ? QString() : it.key().left(slash);
        const QString name = slash < 0 ? it.key() : it.key().mid(slash + 1);
        sections[section] << qMakePair(name, it.value());
    }
    QByteArray out;
    for (auto it = sections.cbegin(); it != sections.cend(); ++it) {
        if (!out.isEmpty())
            out += '\n';
        if (it.key().isEmpty())
            out += "[General]";
        else if (it.key() == QLatin1String("General"))
            out += "[%General]";
        else
            out += '[' + escapeKey(it.key()) + ']';
        out += '\n';
        for (const auto &entry : it.value())
            out += escapeKey(entry.first) + '=' + formatValue(entry.second) + '\n';
    }
    return out;
}

QString IniFile::describe(int losses)
{
    QStringList words;
    if (losses & Comments)
        words << QStringLiteral("comments");
    if (losses & InlineComments)
        words << QStringLiteral("comments behind values");
    if (losses & UnreadableLines)
        words << QStringLiteral("unreadable lines");
    if (losses & RepeatedKeys)
        words << QStringLiteral("repeated keys (only the last one counts)");
    if (losses & RepeatedSections)
        words << QStringLiteral("repeated sections (merged into one)");
    return words.join(QLatin1String(", "));
}
