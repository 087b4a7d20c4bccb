#include "transport/SqlDatabase.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QStringList>
#include <QUuid>
#include <QtDebug>

#define SQL_TAG "[SqlDatabase] "

SqlDatabase::DatabaseConnection::DatabaseConnection(QString const &path)
    : m_name(QUuid::createUuid().toString())
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_ENABLE_SHARED_CACHE"));
    if (!db.open()) {
        qCritical().noquote().nospace() << SQL_TAG << "ERROR: Database open failed : " << db.lastError().text();
    }
}

SqlDatabase::DatabaseConnection::~DatabaseConnection()
{
    // The handle must be gone before the name is released, else Qt warns the connection is still in use.
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        if (db.isOpen())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}

SqlDatabase::SqlDatabase(QString const &path, QObject *parent)
    : QObject(parent)
    , m_path(path)
{
}

SqlDatabase::~SqlDatabase()
{
    // The calling thread's connection goes now; connections of threads still running would
    // outlive the storage (Qt then never frees them), so they are left to the thread's end.
    m_connections.setLocalData(nullptr);
}

QSqlDatabase SqlDatabase::database() const
{
    if (!m_connections.hasLocalData()) {
        qInfo().noquote().nospace() << SQL_TAG << "Creating new Database connection for thread ";
        m_connections.setLocalData(new DatabaseConnection(m_path));
    }
    return QSqlDatabase::database(m_connections.localData()->name(), true);
}

bool SqlDatabase::execute(QSqlQuery &query) const
{
    QElapsedTimer clock;
    clock.start();
    bool const ok = query.exec();
    qDebug().noquote().nospace() << SQL_TAG << "Executed query : " << query.executedQuery();
    if (ok) {
        qDebug().noquote().nospace() << SQL_TAG << "Operation completed in : " << clock.elapsed() << " msec(s)";
    } else {
        qCritical().noquote().nospace() << SQL_TAG << "ERROR: Could not execute query : " << query.executedQuery();
        qCritical().noquote().nospace() << SQL_TAG << "ERROR: " << query.lastError().text();
    }
    return ok;
}

QSqlQuery SqlDatabase::query(QString const &statement) const
{
    QSqlQuery q(database());
    q.prepare(statement);
    return q;
}

QSqlQuery SqlDatabase::execute(QString const &statement) const
{
    QSqlQuery q = query(statement);
    execute(q);
    return q;
}

int SqlDatabase::userVersion() const
{
    QSqlQuery q(database());
    if (!q.exec(QStringLiteral("PRAGMA user_version;")) || !q.next())
        return 0;
    return q.value(0).toInt();
}

bool SqlDatabase::setUserVersion(int version)
{
    QSqlQuery q(database());
    return q.exec(QStringLiteral("PRAGMA user_version = %1").arg(version));
}

bool SqlDatabase::tableExists(QString const &name) const
{
    QStringList const tables = database().tables(QSql::Tables);
    return tables.contains(name, Qt::CaseInsensitive);
}
