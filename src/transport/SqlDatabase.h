#pragma once

#include <QObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QThreadStorage>

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
    class DatabaseConnection
    {
    public:
        explicit DatabaseConnection(QString const &path);
        ~DatabaseConnection();
        QString const &name() const { return m_name; }

    private:
        QString m_name;
    };

    QString m_path;
    mutable QThreadStorage<DatabaseConnection *> m_connections;
};
