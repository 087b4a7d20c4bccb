#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

// A connection to the store of the test's own, as another program on the terminal holds one.
class OtherConnection
{
public:
    explicit OtherConnection(const QString &path)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), Name);
        db.setDatabaseName(path);
        db.open();
    }
    ~OtherConnection()
    {
        QSqlDatabase::database(Name, false).close();
        QSqlDatabase::removeDatabase(Name);
    }

    bool exec(const QString &statement)
    {
        QSqlQuery q(QSqlDatabase::database(Name, false));
        return q.exec(statement);
    }
    QStringList column(const QString &statement)
    {
        QStringList values;
        QSqlQuery q(QSqlDatabase::database(Name, false));
        if (q.exec(statement))
            while (q.next())
                values << q.value(0).toString();
        return values;
    }
    QStringList listed() { return column(QStringLiteral("SELECT uid FROM Blacklist ORDER BY uid")); }
    QStringList tables()
    {
        return column(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"));
    }

private:
    static constexpr const char *Name = "other";
};
