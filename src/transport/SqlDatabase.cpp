#include "transport/SqlDatabase.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QStringList>
#include <QThread>
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
    , m_connections(QSharedPointer<Connections>::create())
{
}

SqlDatabase::~SqlDatabase()
{
    // A connection is closed in its own thread: the calling thread's now, every other one's
    // by that thread's event loop (or at its end). Holding the lock keeps a connection that
    // its thread is destroying from being freed while it is still listed here.
    DatabaseConnection *own = nullptr;
    {
        QMutexLocker lock(&m_connections->mutex);
        for (DatabaseConnection *connection : qAsConst(m_connections->byThread)) {
            if (connection->thread() == QThread::currentThread())
                own = connection;
            else
                connection->deleteLater();
        }
        m_connections->byThread.clear();
    }
    delete own;
}

QSqlDatabase SqlDatabase::database() const
{
    QThread *const thread = QThread::currentThread();
    DatabaseConnection *connection = nullptr;
    {
        QMutexLocker lock(&m_connections->mutex);
        connection = m_connections->byThread.value(thread);
    }
    if (!connection) {
        qInfo().noquote().nospace() << SQL_TAG << "Creating new Database connection for thread ";
        connection = new DatabaseConnection(m_path);
        connect(thread, &QThread::finished, connection, &QObject::deleteLater, Qt::DirectConnection);
        QSharedPointer<Connections> const connections = m_connections;
        connect(connection, &QObject::destroyed, [connections, thread, connection]() {
            QMutexLocker lock(&connections->mutex);
            if (connections->byThread.value(thread) == connection)
                connections->byThread.remove(thread);
        });
        QMutexLocker lock(&m_connections->mutex);
        m_connections->byThread.insert(thread, connection);
    }
    return QSqlDatabase::database(connection->name(), true);
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
