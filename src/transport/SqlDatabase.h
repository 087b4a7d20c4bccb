#pragma once

#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSharedPointer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

// One SQLite file, one connection per thread that uses it (opened on first use).
class SqlDatabase : public QObject
{
    Q_OBJECT

public:
    explicit SqlDatabase(QString const &path, QObject *parent = nullptr);
    ~SqlDatabase() override;

    QSqlDatabase database() const;

    bool execute(QSqlQuery &query) const;
    QSqlQuery query(QString const &statement) const;
    QSqlQuery execute(QString const &statement) const;

    int userVersion() const;
    bool setUserVersion(int version);
    bool tableExists(QString const &name) const;

private:
    // One thread's connection; lives in that thread, which also releases it.
    class DatabaseConnection : public QObject
    {
    public:
        explicit DatabaseConnection(QString const &path);
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
    QSharedPointer<Connections> m_connections;
};
