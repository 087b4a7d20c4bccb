#pragma once

#include <QDateTime>
#include <QFileSystemWatcher>
#include <QJsonObject>
#include <QMap>
#include <QMultiMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>

// The program's one settings store: command-line overrides over the INI file
// over the defaults. Run-time changes are written back at once; edits of the
// file from outside are picked up and announced.
class Config : public QObject
{
    Q_OBJECT

public:
    // A larger file, or one that is no regular file, is refused as unreadable.
    static constexpr qint64 MaxFileSize = 1024 * 1024;
    // The longest text a setting from outside may hold: room for any path, URL or topic.
    static constexpr int MaxTextLength = 4096;

    Config(const QString &fileName, const QMap<QString, QVariant> &defaults,
           QObject *parent = nullptr);

    QVariant get(const QString &key) const;
    // False when refused: the file would pass MaxFileSize.
    bool set(const QString &key, const QVariant &value);
    // Several keys at once: one write, one announcement.
    bool set(const QVariantMap &changes);
    QStringList keys() const;
    static bool contains(const QMap<QString, QVariant> &map, const QString &pattern);
    void print() const;
    QString filename() const;
    QDateTime lastModified() const;
    QMap<QString, QVariant> defaults();
    void addOverrides(const QMap<QString, QVariant> &map);
    void addDefaults(const QMap<QString, QVariant> &map);
    QJsonObject toJson() const;
    bool fromJson(const QJsonObject &json);
    // Whether the file stays within MaxFileSize with these changes.
    bool fits(const QVariantMap &changes) const;

    // Where a value from outside comes from. The settings file and the settings pages are the
    // site's own doors and are not asked.
    enum class From { Supervisor, BackOffice };

    // Why a value from outside cannot stand for the key, or an empty text when it can; *typed
    // then holds it as the key's type. A value as published (a masked secret or URL) stands for
    // the stored one. The link's trust stays the site's: certificate checks are switched off and
    // the root certificate changed on site only, and the back office sets neither its own
    // address, nor the terminal's identity, session or secrets.
    QString refusal(const QString &key, const QJsonValue &value, QVariant *typed, From from = From::Supervisor) const;
    void load();
    void save();

    // Keys whose values never appear in a log line.
    static bool isSecret(const QString &key);
    // A change map as a log line may show it: the values of secret keys
    // masked, texts bounded and escaped.
    static QVariantMap forLog(const QVariantMap &changes);
    // A setting's text as documents and log lines show it: a secret as "****" (when set), a URL
    // with "****" for its user-info.
    static QString masked(const QString &key, const QString &text);
    // Whether MQTT refuses the text as one of its strings (a topic, a user name): a lone
    // surrogate, which no UTF-8 carries, or a noncharacter, for which the broker drops the
    // client at once (a will's topic included).
    static bool refusedByMqtt(const QString &text);
    // An id key's value that names the file to read the id from, not the id itself.
    static bool namesFile(const QString &value);
    // The longest terminal id, however it is given.
    static constexpr int MaxIdLength = 64;
    // Whether the text can be a terminal id (empty for none): one token of at most MaxIdLength
    // printable characters without blanks. An id goes into topics, requests, log lines and cards.
    static bool isIdToken(const QString &id);

public slots:
    void onFileChanged(const QString &path);

signals:
    void configChanged(QVariantMap changes);
    void configFileChanged();

private:
    void onDirectoryChanged(const QString &path);
    static QString forLog(const QString &key, const QVariant &value);
    // Stores the file values that differ from ours; returns them.
    QVariantMap takeFileValues();
    QVariantMap readFile();
    // The whole file, if it is a regular file within MaxFileSize; else why not.
    bool readBytes(QByteArray *bytes, QString *why) const;
    // The file as it would be written with these values; false when it cannot be read.
    bool render(const QVariantMap &values, const QVariantMap &rejected, QByteArray *bytes, int *losses,
                QString *why) const;
    void watch();

    QString m_fileName;
    QVariantMap m_values;
    QVariantMap m_defaults;
    QMultiMap<QString, QVariant> m_overrides;
    QFileSystemWatcher m_watcher;
    // File values we could not take (wrong type); they stay in the file as the
    // operator wrote them until the key is set at run time.
    QVariantMap m_rejected;
    // Problems of the last read, so that re-reads of an unchanged file stay quiet.
    QStringList m_lastProblems;
};
