#include "app/Config.h"

#include "app/LogQuote.h"
#include "app/Logger.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryFile>

#include <algorithm>

namespace {

const QStringList kSecretKeys = {QStringLiteral("mqtt/password"), QStringLiteral("gui/settingsPin")};

// QSettings keeps a process-wide cache per file name that trusts size and
// modification time; an outside edit within the same clock tick would read
// stale. Parsing and writing go through a scratch file of a fresh name instead.
bool parseIni(const QByteArray &bytes, QVariantMap *entries)
{
    QTemporaryFile scratch(QDir::temp().filePath(QStringLiteral("vorn-ini-XXXXXX.conf")));
    if (!scratch.open() || scratch.write(bytes) != bytes.size() || !scratch.flush())
        return false;
    QSettings ini(scratch.fileName(), QSettings::IniFormat);
    const QStringList keys = ini.allKeys();
    for (const QString &key : keys)
        entries->insert(key, ini.value(key));
    return ini.status() != QSettings::AccessError;
}

bool writeIni(const QVariantMap &entries, QByteArray *bytes)
{
    QTemporaryFile scratch(QDir::temp().filePath(QStringLiteral("vorn-ini-XXXXXX.conf")));
    if (!scratch.open())
        return false;
    {
        QSettings ini(scratch.fileName(), QSettings::IniFormat);
        for (auto it = entries.cbegin(); it != entries.cend(); ++it)
            ini.setValue(it.key(), it.value());
        ini.sync();
        if (ini.status() != QSettings::NoError)
            return false;
    }
    QFile written(scratch.fileName());
    if (!written.open(QIODevice::ReadOnly))
        return false;
    *bytes = written.readAll();
    return true;
}

enum class LineKind { Blank, Comment, Section, Entry, Garbage };

LineKind classify(const QByteArray &raw)
{
    const QByteArray line = raw.trimmed();
    if (line.isEmpty())
        return LineKind::Blank;
    if (line.startsWith(';') || line.startsWith('#'))
        return LineKind::Comment;
    if (line.startsWith('['))
        return line.endsWith(']') && line.size() > 2 ? LineKind::Section : LineKind::Garbage;
    const int eq = line.indexOf('=');
    if (eq > 0 && !line.left(eq).trimmed().isEmpty())
        return LineKind::Entry;
    return LineKind::Garbage;
}

// Why a file value cannot stand in for its default, or an empty text when it can.
QString rejectReason(const QVariant &fileValue, const QVariant &defaultValue)
{
    if (!defaultValue.isValid())
        return QString();
    const QString text = fileValue.type() == QVariant::String ? fileValue.toString().trimmed() : QString();
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
QString maskNamedSecret(const QString &line)
{
    for (const QString &key : kSecretKeys) {
        const QString name = key.section('/', -1);
        const int at = line.indexOf(name, 0, Qt::CaseInsensitive);
        if (at < 0)
            continue;
        int end = at + name.size();
        while (end < line.size() && (line.at(end).isSpace() || line.at(end) == ':' || line.at(end) == '='
                                     || line.at(end) == '"'))
            ++end;
        return end < line.size() ? line.left(end) + QStringLiteral("****") : line;
    }
    return line;
}

QString shown(const QVariant &value)
{
    if (value.type() == QVariant::StringList)
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

void Config::set(const QString &key, const QVariant &value)
{
    if (m_values.contains(key) && m_values.value(key) == value)
        return;
    m_overrides.remove(key);
    m_rejected.remove(key);
    m_values.insert(key, value);
    emit configChanged(QVariantMap{{key, value}});
    save();
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
        qInfo().noquote().nospace() << QStringLiteral("[Config]  %1 : %2")
                                           .arg(LogQuote::quote(it.key()), -width)
                                           .arg(forLog(it.key(), get(it.key())));
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

void Config::fromJson(const QJsonObject &json)
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
        m_values.insert(it.key(), it.value());
        m_rejected.remove(it.key());
        changes.insert(it.key(), it.value());
    }
    if (changes.isEmpty())
        return;
    save();
    emit configChanged(changes);
}

void Config::load()
{
    const QVariantMap changes = takeFileValues();
    if (!changes.isEmpty())
        emit configChanged(changes);
}

void Config::save()
{
    QVariantMap entries;
    QByteArray current;
    if (QFileInfo::exists(m_fileName)) {
        QFile file(m_fileName);
        if (!file.open(QIODevice::ReadOnly)) {
            // Writing now would replace content we never saw.
            qCritical().noquote().nospace() << "[Config] ERROR: Not writing config file " << m_fileName
                                            << " : it cannot be read (" << file.errorString() << ")";
            return;
        }
        current = file.readAll();
        parseIni(current, &entries);
        // Entries without a name come from unreadable lines; the backup below keeps them.
        for (auto it = entries.begin(); it != entries.end();) {
            const QString &key = it.key();
            if (key.isEmpty() || key.startsWith('/') || key.endsWith('/'))
                it = entries.erase(it);
            else
                ++it;
        }
    }

    // Keep what the operator wrote for values we could not take.
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it) {
        if (m_rejected.contains(it.key()) && entries.contains(it.key()))
            continue;
        entries.insert(it.key(), it.value());
    }

    QByteArray bytes;
    if (!writeIni(entries, &bytes)) {
        qCritical().noquote().nospace() << "[Config] ERROR: Could not write config file : " << m_fileName
                                        << " (cannot format the settings)";
        return;
    }

    // The settings writer drops comments and lines it cannot read: keep the
    // previous file beside the new one instead of losing them silently.
    const QList<QByteArray> lines = current.split('\n');
    const bool lossy = std::any_of(lines.cbegin(), lines.cend(), [](const QByteArray &line) {
        const LineKind kind = classify(line);
        return kind == LineKind::Comment || kind == LineKind::Garbage;
    });
    if (lossy) {
        const QString backup = m_fileName + QStringLiteral(".bak");
        QFile::remove(backup);
        if (QFile::copy(m_fileName, backup)) {
            qWarning().noquote().nospace() << "[Config] WARN: Rewriting " << m_fileName
                                           << " drops its comments and unreadable lines; the previous file is kept as "
                                           << backup;
        } else {
            qCritical().noquote().nospace() << "[Config] ERROR: Not writing config file " << m_fileName
                                            << " : could not keep its comments and unreadable lines in " << backup;
            return;
        }
    }

    m_watcher.removePath(m_fileName);
    QSaveFile file(m_fileName);
    const bool written = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
    if (!written) {
        qCritical().noquote().nospace() << "[Config] ERROR: Could not write config file : " << m_fileName << " ("
                                        << file.errorString() << ")";
    }
    watch();
}

bool Config::isSecret(const QString &key)
{
    return kSecretKeys.contains(key);
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
    const QString text = shown(value);
    if (isSecret(key) && !text.isEmpty())
        return QStringLiteral("****");
    return LogQuote::quote(text);
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
    QFile file(m_fileName);
    if (!file.exists()) {
        m_lastProblems.clear();
        return accepted;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        problems << QStringLiteral("[Config] ERROR: Cannot read config file %1 (%2); using the values in memory")
                        .arg(m_fileName, file.errorString());
    } else {
        const QByteArray bytes = file.readAll();
        const QList<QByteArray> lines = bytes.split('\n');
        for (int i = 0; i < lines.size(); ++i) {
            if (classify(lines.at(i)) == LineKind::Garbage) {
                problems << QStringLiteral("[Config] WARN: Skipping unreadable line %1 of %2 : %3")
                                .arg(i + 1)
                                .arg(LogQuote::quote(m_fileName),
                                     LogQuote::quote(maskNamedSecret(QString::fromUtf8(lines.at(i).trimmed()))));
            }
        }
        QVariantMap entries;
        if (!parseIni(bytes, &entries)) {
            problems << QStringLiteral("[Config] ERROR: Cannot parse config file %1; using the values in memory")
                            .arg(m_fileName);
        }
        m_rejected.clear();
        for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
            const QString &key = it.key();
            if (key.isEmpty() || key.startsWith('/') || key.endsWith('/'))
                continue; // a line without a name, already reported above
            const QVariant defaultValue = m_defaults.value(key);
            const QString reason = rejectReason(it.value(), defaultValue);
            if (!reason.isEmpty()) {
                m_rejected.insert(key, it.value());
                problems << QStringLiteral("[Config] WARN: Ignoring %1 = %2 in %3 : %4; keeping %5")
                                .arg(LogQuote::quote(key), forLog(key, it.value()), m_fileName, reason,
                                     forLog(key, m_values.value(key)));
                continue;
            }
            QVariant value = it.value();
            // An unquoted comma makes the reader split a text into a list.
            if (defaultValue.type() == QVariant::String && value.type() == QVariant::StringList)
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
    if (QFileInfo::exists(m_fileName) && !m_watcher.files().contains(m_fileName))
        m_watcher.addPath(m_fileName);
    const QString dir = QFileInfo(m_fileName).absolutePath();
    if (!m_watcher.directories().contains(dir))
        m_watcher.addPath(dir);
}
