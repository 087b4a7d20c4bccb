#include "app/Config.h"

#include "app/IniFile.h"
#include "app/JsonRead.h"
#include "app/LogQuote.h"
#include "app/Logger.h"
#include "app/RegularFile.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUrl>

#include <algorithm>
#include <sys/stat.h>

namespace {

const QStringList kSecretKeys = {QStringLiteral("mqtt/password"), QStringLiteral("gui/settingsPin")};

bool hasControl(const QString &text);

// The MQTT base and every device client's base: the will, the requests and the subscriptions
// hang below them.
bool isTopicKey(const QString &key)
{
    return key == QLatin1String("mqtt/base") || key.startsWith(QLatin1String("topics/"));
}

// Why a text cannot be a base topic. With a wildcard (or none) no broker takes the will, the
// requests or the subscriptions; one starting with "$" is never routed to a client.
QString topicRefusal(const QString &text)
{
    if (text.size() > Config::MaxTextLength)
        return QStringLiteral("expected a text of at most %1 characters").arg(Config::MaxTextLength);
    if (text.isEmpty() || text.contains(QLatin1Char('#')) || text.contains(QLatin1Char('+'))
        || text.startsWith(QLatin1Char('$')) || hasControl(text))
        return QStringLiteral("expected a non-empty topic without wildcards, control characters or a leading \"$\"");
    if (Config::refusedByMqtt(text))
        return QStringLiteral("expected a topic without characters MQTT refuses (a noncharacter or a lone surrogate)");
    return QString();
}

// Why a file value cannot stand in for its default, or an empty text when it can.
QString rejectReason(const QString &key, const QVariant &fileValue, const QVariant &defaultValue)
{
    // Taken, a bad topic would fail every subscription from the next start on, with nothing
    // on the lane to tell why.
    if (isTopicKey(key)) {
        const QString topic = fileValue.type() == QVariant::String ? fileValue.toString()
                                                                   : fileValue.toStringList().join(QLatin1Char(','));
        return topicRefusal(topic);
    }
    if (!defaultValue.isValid())
        return QString();
    const QString text = fileValue.type() == QVariant::String ? fileValue.toString().trimmed() : QString();
    // A port out of range would wrap to another one, or never connect.
    if (key == QLatin1String("mqtt/port")) {
        bool ok = false;
        const int port = text.toInt(&ok, 10);
        return ok && port >= 1 && port <= 65535 ? QString() : QStringLiteral("not a port number from 1 to 65535");
    }
    switch (defaultValue.type()) {
    case QVariant::Int: {
        bool ok = false;
        text.toInt(&ok, 10);
        return ok ? QString() : QStringLiteral("not an integer");
    }
    case QVariant::Bool: {
        static const QStringList accepted = {"true", "false", "1", "0"};
        return accepted.contains(text.toLower()) ? QString() : QStringLiteral("not true or false");
    }
    default:
        return QString();
    }
}

// The secret keys and their names inside a section: a line that names either
// shows no value.
QStringList secretNames()
{
    QStringList names;
    for (const QString &key : kSecretKeys)
        names << key << key.section('/', -1);
    return names;
}

// A line of the file that names a secret key shows nothing after the name, in
// whatever form it was written ("password = x", "password: x", "password x").
QByteArray maskNamedSecret(const QByteArray &line)
{
    const QByteArray lower = line.toLower();
    for (const QString &key : kSecretKeys) {
        const QByteArray name = key.section('/', -1).toLower().toLatin1();
        const int at = lower.indexOf(name);
        if (at < 0)
            continue;
        int end = at + name.size();
        while (end < line.size() && (line.at(end) == ' ' || line.at(end) == '\t' || line.at(end) == ':'
                                     || line.at(end) == '=' || line.at(end) == '"'))
            ++end;
        return end < line.size() ? line.left(end) + "****" : line;
    }
    return line;
}

// Texts a flag reads from, as the file may hold them.
bool readFlag(const QString &text, bool *flag)
{
    const QString lower = text.trimmed().toLower();
    if (lower == QLatin1String("true") || lower == QLatin1String("1"))
        *flag = true;
    else if (lower == QLatin1String("false") || lower == QLatin1String("0"))
        *flag = false;
    else
        return false;
    return true;
}

// A stored flag: typed, or a text as the file gives it.
bool isOn(const QVariant &value)
{
    bool flag = false;
    if (value.type() == QVariant::Bool)
        return value.toBool();
    return readFlag(value.toString(), &flag) && flag;
}

bool hasControl(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f))
            return true;
    }
    return false;
}

// Why a text cannot stand for the key, or an empty text when it can.
QString textRefusal(const QString &key, const QString &text, const QVariant &defaultValue)
{
    if (text.size() > Config::MaxTextLength)
        return QStringLiteral("expected a text of at most %1 characters").arg(Config::MaxTextLength);
    if (isTopicKey(key))
        return topicRefusal(text);
    if (key == QLatin1String("mqtt/host")) {
        if (text.trimmed().isEmpty() || text.contains(QLatin1Char(' ')) || hasControl(text))
            return QStringLiteral("expected a host name");
    } else if (key == QLatin1String("gui/settingsPin")) {
        // The PIN page types digits only: anything else locks maintenance out.
        static const QRegularExpression digits(QStringLiteral("^[0-9]{4,8}$"));
        if (!digits.match(text).hasMatch())
            return QStringLiteral("expected 4 to 8 digits");
    } else if (key == QLatin1String("card-bo/url")) {
        // The API key goes with every request: never in clear.
        const QUrl url(text, QUrl::StrictMode);
        if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty())
            return QStringLiteral("expected an https URL");
    } else if (key.startsWith(QLatin1String("terminal/")) && key.endsWith(QLatin1String("Id"))) {
        // Files are named on the board, not from outside: a path would have the terminal read
        // whatever file it names and report it as its id. The key's own file, as the board
        // ships, is the one path that may be named again.
        if (!Config::namesFile(text)) {
            if (!Config::isIdToken(text))
                return QStringLiteral("expected an id of at most %1 printable characters without blanks")
                    .arg(Config::MaxIdLength);
        } else if (text != defaultValue.toString()) {
            return QStringLiteral("expected an id, not a file path");
        }
    }
    return QString();
}

// Keys the back office's answer never sets: the link's trust and address, the terminal's
// identity, its MQTT session and its secrets. Whoever answers in the back office's place would
// otherwise take the next request, with the API key, elsewhere.
bool closedToBackOffice(const QString &key)
{
    static const QStringList keys{
        QStringLiteral("card-bo/url"),        QStringLiteral("card-bo/ignoreSslErrors"),
        QStringLiteral("card-bo/rootCA"),     QStringLiteral("card-bo/pubCert"),
        QStringLiteral("card-bo/privKey"),    QStringLiteral("terminal/deviceId"),
        QStringLiteral("terminal/customsId"), QStringLiteral("terminal/locationId"),
        QStringLiteral("gui/settingsPin"),
    };
    return keys.contains(key) || key.startsWith(QLatin1String("mqtt/"));
}

// The URL's text with its user-info shown as "****". The line rule covers what the text shows;
// a parser may find user-info where the text has no "://" before it, and takes it out as well.
QString withoutUserInfo(const QString &text)
{
    static const QString Mask = QStringLiteral("****");
    QString shown = manager::Logger::maskUserInfo(text);
    const QUrl url(shown, QUrl::TolerantMode);
    if (url.isValid() && !url.userInfo().isEmpty() && url.userInfo() != Mask) {
        QUrl bare = url;
        bare.setUserInfo(QString());
        bare.setUserName(Mask);
        shown = bare.toString();
    }
    return shown;
}

// The back-office link reads these files at every request. From outside, only a file that is
// there and regular names one: a pipe would hold the link in open() at every start. Looked at,
// never opened.
QString tlsFileRefusal(const QString &key, const QString &text)
{
    static const QStringList keys{QStringLiteral("card-bo/rootCA"), QStringLiteral("card-bo/pubCert"),
                                  QStringLiteral("card-bo/privKey")};
    if (!keys.contains(key))
        return QString();
    struct stat info;
    if (text.isEmpty() || ::stat(QFile::encodeName(text).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return QStringLiteral("expected the path of a regular file");
    return QString();
}

QString shown(const QVariant &value)
{
    if (value.type() == QVariant::StringList || value.type() == QVariant::List)
        return value.toStringList().join(',');
    return value.toString();
}

} // namespace

Config::Config(const QString &fileName, const QMap<QString, QVariant> &defaults, QObject *parent)
    : QObject(parent)
    , m_fileName(fileName)
    , m_values(defaults)
    , m_defaults(defaults)
{
    // Before the first read: lines quoting the file may name a secret.
    manager::Logger::setSecretNames(secretNames());
    if (!QFileInfo::exists(m_fileName)) {
        qWarning().noquote().nospace() << "[Config] Creating default config file : " << m_fileName;
        save();
    }
    load();
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &Config::onFileChanged);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &Config::onDirectoryChanged);
    watch();
}

QVariant Config::get(const QString &key) const
{
    if (m_overrides.contains(key))
        return m_overrides.value(key);
    if (m_values.contains(key))
        return m_values.value(key);
    return m_defaults.value(key);
}

bool Config::set(const QString &key, const QVariant &value)
{
    return set(QVariantMap{{key, value}});
}

bool Config::set(const QVariantMap &changes)
{
    QVariantMap changed;
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        if (!m_values.contains(it.key()) || m_values.value(it.key()) != it.value())
            changed.insert(it.key(), it.value());
    }
    if (changed.isEmpty())
        return true;
    if (!fits(changed))
        return false;
    for (auto it = changed.cbegin(); it != changed.cend(); ++it) {
        m_overrides.remove(it.key());
        m_rejected.remove(it.key());
        m_values.insert(it.key(), it.value());
    }
    emit configChanged(changed);
    save();
    return true;
}

QStringList Config::keys() const
{
    return m_values.keys();
}

bool Config::contains(const QMap<QString, QVariant> &map, const QString &pattern)
{
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (QRegularExpression(pattern).match(it.key()).hasMatch())
            return true;
    }
    return false;
}

void Config::print() const
{
    const QString rule = QStringLiteral("[Config] ") + QString(60, '-');
    // Keys and values may come from the file as anybody wrote them.
    int width = 0;
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
        width = std::max(width, int(LogQuote::quote(it.key()).size()));

    qInfo().noquote().nospace() << rule;
    qInfo().noquote().nospace() << "[Config]  SETTINGS (" << LogQuote::quote(m_fileName) << ")";
    qInfo().noquote().nospace() << rule;
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it) {
        // Joined, not filled in: a key from the file may itself hold "%1".
        qInfo().noquote().nospace() << QStringLiteral("[Config]  ")
                                           + LogQuote::quote(it.key()).leftJustified(width) + QStringLiteral(" : ")
                                           + forLog(it.key(), get(it.key()));
    }
    qInfo().noquote().nospace() << rule;
}

QString Config::filename() const
{
    return m_fileName;
}

QDateTime Config::lastModified() const
{
    const QFileInfo info(m_fileName);
    return info.exists() ? info.lastModified() : QDateTime();
}

QMap<QString, QVariant> Config::defaults()
{
    return m_defaults;
}

void Config::addOverrides(const QMap<QString, QVariant> &map)
{
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        m_overrides.insert(it.key(), it.value());
}

void Config::addDefaults(const QMap<QString, QVariant> &map)
{
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        m_defaults.insert(it.key(), it.value());
}

QJsonObject Config::toJson() const
{
    QMap<QString, QVariantMap> groups;
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it) {
        const QStringList parts = it.key().split('/');
        // A key outside every section has no place in the document.
        if (parts.size() < 2)
            continue;
        groups[parts.at(0)].insert(parts.at(1), it.value());
    }
    QJsonObject json;
    for (auto it = groups.cbegin(); it != groups.cend(); ++it)
        json.insert(it.key(), QJsonObject::fromVariantMap(it.value()));
    return json;
}

bool Config::fromJson(const QJsonObject &json)
{
    QVariantMap flat;
    for (auto group = json.begin(); group != json.end(); ++group) {
        const QJsonObject members = group.value().toObject();
        for (auto member = members.begin(); member != members.end(); ++member)
            flat.insert(group.key() + '/' + member.key(), member.value().toVariant());
    }

    QVariantMap changes;
    for (auto it = flat.cbegin(); it != flat.cend(); ++it) {
        if (!m_values.contains(it.key()) || m_values.value(it.key()) == it.value())
            continue;
        changes.insert(it.key(), it.value());
    }
    if (changes.isEmpty())
        return true;
    if (!fits(changes))
        return false;
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        m_values.insert(it.key(), it.value());
        m_rejected.remove(it.key());
    }
    save();
    emit configChanged(changes);
    return true;
}

bool Config::fits(const QVariantMap &changes) const
{
    QVariantMap values = m_values;
    QVariantMap rejected = m_rejected;
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        values.insert(it.key(), it.value());
        rejected.remove(it.key());
    }
    QByteArray bytes;
    int losses = 0;
    QString why;
    // A file that cannot be read is not written either: nothing to bound.
    if (!render(values, rejected, &bytes, &losses, &why) || bytes.size() <= MaxFileSize)
        return true;
    // Written, the file would be refused at the next start, and every later write with it.
    qCritical().noquote().nospace() << "[Config] ERROR: Not changing " << LogQuote::quote(changes.keys().join(QLatin1String(", ")))
                                    << " : the config file would have " << bytes.size() << " bytes, more than the "
                                    << MaxFileSize << " it may have";
    return false;
}

QString Config::refusal(const QString &key, const QJsonValue &value, QVariant *typed, From from) const
{
    if (from == From::BackOffice && closedToBackOffice(key))
        return QStringLiteral("never set by the back office");

    const QVariant stored = m_values.value(key);
    // As published: a secret as "****", a URL without its user-info. Sent back, it changes nothing.
    if (value.isString() && stored.isValid()) {
        const QString text = value.toString();
        const QString storedText = shown(stored);
        if (text != storedText && text == masked(key, storedText)) {
            *typed = stored;
            return QString();
        }
    }
    // What the document showed, sent back unchanged: taken as it is stored, whatever its form.
    const bool sameForm = (value.isString() && stored.type() == QVariant::String)
        || (value.isBool() && stored.type() == QVariant::Bool)
        || (value.isDouble() && (stored.type() == QVariant::Int || stored.type() == QVariant::Double));
    if (sameForm && stored == value.toVariant()) {
        *typed = stored;
        return QString();
    }

    // With another root, whoever holds a certificate it vouches for is the back office.
    if (key == QLatin1String("card-bo/rootCA"))
        return QStringLiteral("the root certificate is changed on site only");

    const QVariant defaultValue = m_defaults.value(key);
    switch (defaultValue.isValid() ? defaultValue.type() : QVariant::String) {
    case QVariant::Int: {
        // A whole number within an int, or a text that reads as one (as the document shows
        // a value read from the file).
        bool ok = false;
        int number = 0;
        if (value.isDouble()) {
            number = JsonRead::integer(value);
            ok = double(number) == value.toDouble();
        } else if (value.isString()) {
            number = value.toString().trimmed().toInt(&ok, 10);
        }
        if (!ok)
            return QStringLiteral("expected an integer");
        if (key == QLatin1String("mqtt/port") && (number < 1 || number > 65535))
            return QStringLiteral("expected a port number from 1 to 65535");
        if (key == QLatin1String("card-bo/hbIntervalSec") && (number < 1 || number > 3600))
            return QStringLiteral("expected a number of seconds from 1 to 3600");
        *typed = number;
        return QString();
    }
    case QVariant::Bool: {
        bool flag = false;
        if (value.isBool())
            flag = value.toBool();
        else if (!value.isString() || !readFlag(value.toString(), &flag))
            return QStringLiteral("expected true or false");
        // With the checks off, whoever answers at the back office's address gets the API key.
        // Switching them back on is always taken.
        if (key == QLatin1String("card-bo/ignoreSslErrors") && flag && !isOn(stored))
            return QStringLiteral("certificate checks can be switched off on site only");
        *typed = flag;
        return QString();
    }
    default: {
        // Keys without a default are texts, as the file gives them.
        if (!value.isString())
            return QStringLiteral("expected a text");
        QString reason = textRefusal(key, value.toString(), defaultValue);
        if (reason.isEmpty())
            reason = tlsFileRefusal(key, value.toString());
        if (reason.isEmpty())
            *typed = value.toString();
        return reason;
    }
    }
}

bool Config::namesFile(const QString &value)
{
    return value.contains(QLatin1Char('/')) || value.contains(QLatin1Char('.')) || QFileInfo::exists(value);
}

bool Config::isIdToken(const QString &id)
{
    if (id.size() > MaxIdLength)
        return false;
    for (const QChar c : id) {
        if (!c.isPrint() || c.isSpace())
            return false;
    }
    return true;
}

void Config::load()
{
    const QVariantMap changes = takeFileValues();
    if (!changes.isEmpty())
        emit configChanged(changes);
}

bool Config::render(const QVariantMap &values, const QVariantMap &rejected, QByteArray *bytes, int *losses,
                    QString *why) const
{
    QVariantMap entries;
    *losses = 0;
    if (QFileInfo::exists(m_fileName) || QFileInfo(m_fileName).isSymLink()) {
        QByteArray current;
        if (!readBytes(&current, why))
            return false;
        const IniFile::Parsed parsed = IniFile::parse(current);
        entries = parsed.entries;
        *losses = parsed.losses;
    }

    // Keep what the operator wrote for values we could not take.
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (rejected.contains(it.key()) && entries.contains(it.key()))
            continue;
        entries.insert(it.key(), it.value());
    }
    *bytes = IniFile::format(entries);
    return true;
}

void Config::save()
{
    QByteArray bytes;
    int losses = 0;
    QString why;
    if (!render(m_values, m_rejected, &bytes, &losses, &why)) {
        // Writing now would replace content we never saw.
        qCritical().noquote().nospace() << "[Config] ERROR: Not writing config file " << LogQuote::quote(m_fileName)
                                        << " : it cannot be read (" << why << ")";
        return;
    }

    // A rewrite from the entries drops comments, unreadable lines and repeated
    // keys or sections: keep the previous file beside the new one instead of
    // losing them silently.
    if (losses != 0) {
        const QString backup = m_fileName + QStringLiteral(".bak");
        QFile::remove(backup);
        if (QFile::copy(m_fileName, backup)) {
            qWarning().noquote().nospace() << "[Config] WARN: Rewriting " << LogQuote::quote(m_fileName) << " drops its "
                                           << IniFile::describe(losses) << "; the previous file is kept as "
                                           << LogQuote::quote(backup);
        } else {
            qCritical().noquote().nospace() << "[Config] ERROR: Not writing config file " << LogQuote::quote(m_fileName)
                                            << " : could not keep its " << IniFile::describe(losses) << " in "
                                            << LogQuote::quote(backup);
            return;
        }
    }

    m_watcher.removePath(m_fileName);
    QSaveFile file(m_fileName);
    const bool written = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
    if (!written) {
        qCritical().noquote().nospace() << "[Config] ERROR: Could not write config file : " << LogQuote::quote(m_fileName)
                                        << " (" << file.errorString() << ")";
    }
    watch();
}

bool Config::readBytes(QByteArray *bytes, QString *why) const
{
    // Not blocking: a pipe or a device named as the file must not hang the start.
    const RegularFile::Contents file = RegularFile::read(m_fileName, MaxFileSize);
    *bytes = file.bytes;
    if (file.ok())
        return true;
    if (file.status != RegularFile::Contents::TooLarge)
        *why = file.why(MaxFileSize);
    else if (file.info.st_size > MaxFileSize)
        *why = QStringLiteral("%1 bytes, more than the %2 a configuration file may have").arg(file.info.st_size).arg(MaxFileSize);
    else // grown while it was read
        *why = QStringLiteral("more than the %1 bytes a configuration file may have").arg(MaxFileSize);
    return false;
}

bool Config::isSecret(const QString &key)
{
    return kSecretKeys.contains(key);
}

bool Config::refusedByMqtt(const QString &text)
{
    for (int i = 0; i < text.size(); ++i) {
        uint cp = text.at(i).unicode();
        if (QChar::isHighSurrogate(cp) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            cp = QChar::surrogateToUcs4(ushort(cp), text.at(++i).unicode());
        else if (QChar::isSurrogate(cp))
            return true;
        if ((cp >= 0xfdd0 && cp <= 0xfdef) || (cp & 0xfffe) == 0xfffe)
            return true;
    }
    return false;
}

QString Config::masked(const QString &key, const QString &text)
{
    if (isSecret(key) && !text.isEmpty())
        return QStringLiteral("****");
    return withoutUserInfo(text);
}

QVariantMap Config::forLog(const QVariantMap &changes)
{
    QVariantMap shownChanges;
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        shownChanges.insert(it.key(), it.value().type() == QVariant::String || isSecret(it.key())
                                          ? QVariant(forLog(it.key(), it.value()))
                                          : it.value());
    return shownChanges;
}

QString Config::forLog(const QString &key, const QVariant &value)
{
    return LogQuote::quote(masked(key, shown(value)));
}

void Config::onFileChanged(const QString &path)
{
    Q_UNUSED(path)
    // Re-arm first (a replaced file has lost its watch), so that an edit
    // landing while we read is reported again rather than missed.
    watch();
    const QVariantMap changes = takeFileValues();
    if (!changes.isEmpty()) {
            emit configFileChanged();
        emit configChanged(changes);
    }
}

void Config::onDirectoryChanged(const QString &path)
{
    Q_UNUSED(path)
    // An editor that saves by writing a new file and renaming it over ours
    // (or by deleting and recreating it) ends the watch on the old file; the
    // directory tells when the new one is there.
    if (QFileInfo::exists(m_fileName) && !m_watcher.files().contains(m_fileName))
        onFileChanged(m_fileName);
}

QVariantMap Config::takeFileValues()
{
    const QVariantMap entries = readFile();
    QVariantMap changes;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        if (m_values.contains(it.key()) && m_values.value(it.key()) == it.value())
            continue;
        m_values.insert(it.key(), it.value());
        changes.insert(it.key(), it.value());
    }
    return changes;
}

QVariantMap Config::readFile()
{
    QVariantMap accepted;
    QStringList problems;
    QByteArray bytes;
    QString why;
    if (!QFileInfo::exists(m_fileName) && !QFileInfo(m_fileName).isSymLink()) {
        m_lastProblems.clear();
        return accepted;
    }
    if (!readBytes(&bytes, &why)) {
        problems << QStringLiteral("[Config] ERROR: Cannot read config file %1 (%2); using the values in memory")
                        .arg(LogQuote::quote(m_fileName), why);
    } else {
        const IniFile::Parsed parsed = IniFile::parse(bytes);
        const QList<QByteArray> lines = bytes.split('\n');
        for (const int number : parsed.unreadable) {
            const QByteArray line = lines.value(number - 1).trimmed();
            problems << QStringLiteral("[Config] WARN: Skipping unreadable line %1 of %2 : %3")
                            .arg(number)
                            .arg(LogQuote::quote(m_fileName), LogQuote::quote(maskNamedSecret(line)));
        }
        for (auto it = parsed.repeated.cbegin(); it != parsed.repeated.cend(); ++it) {
            QStringList numbers;
            for (const int number : it.value())
                numbers << QString::number(number);
            problems << QStringLiteral("[Config] WARN: %1 is set more than once in %2 (lines %3); the last one counts")
                            .arg(LogQuote::quote(it.key()), LogQuote::quote(m_fileName), numbers.join(QLatin1String(", ")));
        }
        m_rejected.clear();
        for (auto it = parsed.entries.cbegin(); it != parsed.entries.cend(); ++it) {
            const QString &key = it.key();
            const QVariant defaultValue = m_defaults.value(key);
            const QString reason = rejectReason(key, it.value(), defaultValue);
            if (!reason.isEmpty()) {
                m_rejected.insert(key, it.value());
                problems << QStringLiteral("[Config] WARN: Ignoring %1 = %2 in %3 : %4; keeping %5")
                                .arg(LogQuote::quote(key), forLog(key, it.value()), LogQuote::quote(m_fileName), reason,
                                     forLog(key, m_values.value(key)));
                continue;
            }
            QVariant value = it.value();
            // An unquoted comma makes the reader split a text into a list (of variants when an
            // item starts with "@"). A topic is a text too, with or without a default: as a list
            // it would read as no topic at all.
            if ((defaultValue.type() == QVariant::String || isTopicKey(key))
                && (value.type() == QVariant::StringList || value.type() == QVariant::List))
                value = value.toStringList().join(',');
            accepted.insert(key, value);
        }
    }

    // Report each problem once, not again on every re-read of an unchanged file.
    if (problems != m_lastProblems) {
        for (const QString &line : qAsConst(problems)) {
            if (line.contains(QLatin1String("ERROR: ")))
                qCritical().noquote() << line;
            else
                qWarning().noquote() << line;
        }
        m_lastProblems = problems;
    }
    return accepted;
}

void Config::watch()
{
    // A device or pipe named as the file is never watched: /dev/null would
    // report every write anybody makes to it.
    const QFileInfo info(m_fileName);
    if (info.exists() && info.isFile() && !m_watcher.files().contains(m_fileName))
        m_watcher.addPath(m_fileName);
    const QString dir = info.absolutePath();
    if (!m_watcher.directories().contains(dir))
        m_watcher.addPath(dir);
}
