#pragma once

#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSharedPointer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

// One SQLite file, one connection per thread that uses it (opened on first use).
class SqlDatabase : public QObject
{
    Q_OBJECT

public:
    // Connections that share SQLite's cache lock each other out at once, without waiting: one
    // that writes while another thread works on the same file needs a cache of its own, and
    // then waits for the other's locks as a separate program would.
    enum class Cache { Shared, Private };

    explicit SqlDatabase(QString const &path, QObject *parent = nullptr);
    SqlDatabase(QString const &path, Cache cache, QObject *parent = nullptr);
    ~SqlDatabase() override;

    QSqlDatabase database() const;

    bool execute(QSqlQuery &query) const;
    // Runs a prepared query once more with new values, logging only a failure: for statements
    // run many times over in one transaction, where a line per row would cost more than the row.
    bool executeAgain(QSqlQuery &query) const;
    QSqlQuery query(QString const &statement) const;
    QSqlQuery execute(QString const &statement) const;

    int userVersion() const;
    bool setUserVersion(int version);
    bool tableExists(QString const &name) const;
    // The user tables of the file; `ok` (when given) is false, and the failure logged, when the
    // list could not be read (a locked or damaged file), which is not the same as no tables.
    QStringList tableNames(bool *ok = nullptr) const;

private:
    // One thread's connection; lives in that thread, which also releases it.
    class DatabaseConnection : public QObject
    {
    public:
        DatabaseConnection(QString const &path, Cache cache);
        ~DatabaseConnection() override;
        QString const &name() const { return m_name; }

    private:
        QString m_name;
    };

    // Each thread's connection, released when the thread ends or this object goes. Not a
    // QThreadStorage: its slots outlive it in threads still running and are handed to the
    // next storage created, so a new database on another file would write through the old
    // one's connection. Shared with the connections' own clean-up, which may run in their
    // threads after this object is gone.
    struct Connections {
        QMutex mutex;
        QMap<QThread *, DatabaseConnection *> byThread;
    };

    QString m_path;
    Cache m_cache = Cache::Shared;
    QSharedPointer<Connections> m_connections;
};
