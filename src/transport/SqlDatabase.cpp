#include "transport/SqlDatabase.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlResult>
#include <QStringList>
#include <QThread>
#include <QUrl>
#include <QUuid>
#include <QtDebug>

#define SQL_TAG "[SqlDatabase] "

namespace {

// A statement that could not be prepared (a locked or unreadable file) is left without a driver
// handle. Running it anyway would blame the bound values ("Parameter count mismatch") and hide
// the driver's reason, which the query still holds.
bool prepared(QSqlQuery const &query)
{
    QSqlResult const *result = query.result();
    QVariant const handle = result ? result->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3_stmt*") != 0)
        return true;
    return *static_cast<void *const *>(handle.constData()) != nullptr;
}

// A statement that could not be prepared did not run either: one pair of lines for both, the
// second with the driver's own reason.
void logFailure(QString const &statement, QSqlError const &error)
{
    qCritical().noquote().nospace() << SQL_TAG << "ERROR: Could not execute query : " << statement;
    qCritical().noquote().nospace() << SQL_TAG << "ERROR: " << error.text();
}

} // namespace

SqlDatabase::DatabaseConnection::DatabaseConnection(QString const &path, Cache cache)
    : m_name(QUuid::createUuid().toString())
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    if (cache == Cache::Shared) {
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_ENABLE_SHARED_CACHE"));
    } else {
        // Said in the name itself: the driver's shared-cache switch is one for the whole process.
        db.setDatabaseName(QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded) + QStringLiteral("?cache=private"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI"));
    }
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
    : SqlDatabase(path, Cache::Shared, parent)
{
}

SqlDatabase::SqlDatabase(QString const &path, Cache cache, QObject *parent)
    : QObject(parent)
    , m_path(path)
    , m_cache(cache)
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
        connection = new DatabaseConnection(m_path, m_cache);
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
    if (!prepared(query)) {
        logFailure(query.lastQuery(), query.lastError());
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    bool const ok = query.exec();
    qDebug().noquote().nospace() << SQL_TAG << "Executed query : " << query.executedQuery();
    if (ok) {
        qDebug().noquote().nospace() << SQL_TAG << "Operation completed in : " << clock.elapsed() << " msec(s)";
    } else {
        logFailure(query.executedQuery(), query.lastError());
    }
    return ok;
}

bool SqlDatabase::executeAgain(QSqlQuery &query) const
{
    if (!prepared(query)) {
        logFailure(query.lastQuery(), query.lastError());
        return false;
    }
    if (query.exec())
        return true;
    logFailure(query.executedQuery(), query.lastError());
    return false;
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
    return tableNames().contains(name, Qt::CaseInsensitive);
}

QStringList SqlDatabase::tableNames(bool *ok) const
{
    // The driver's own table list reads a failure as no tables at all.
    QSqlQuery q = query(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'"));
    q.setForwardOnly(true);
    QStringList names;
    bool const read = execute(q);
    while (read && q.next()) {
        QString const name = q.value(0).toString();
        if (!name.startsWith(QLatin1String("sqlite_")))
            names << name;
    }
    if (ok)
        *ok = read;
    return names;
}
