#include "backend/Database.h"

#include "app/Config.h"
#include "app/IniFile.h"
#include "app/RegularFile.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QSqlError>
#include <QThread>

#include <algorithm>
#include <optional>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace Backend {

namespace {

void logInfo(const QString &text) { qInfo().noquote() << QStringLiteral("[Backend::Database] ") + text; }
void logError(const QString &text) { qCritical().noquote() << QStringLiteral("[Backend::Database] ") + text; }

const QString ApiKey = QStringLiteral("apiKey");

QString column(const QString &name, int width, const QString &type)
{
    return name.leftJustified(width, QLatin1Char(' ')) + type;
}

// Where earlier versions kept the key through the settings library: the user's settings folder,
// in that library's format.
QString apiKeyPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/vesk/vorn-card-bo.conf");
}

// A key file holds a line or two.
constexpr qint64 MaxKeyFileSize = 64 * 1024;

QString systemError() { return QString::fromLocal8Bit(std::strerror(errno)); }

struct KeyFile
{
    QVariantMap entries;
    QString problem; // why it cannot be used: its key reads as none
};

// The key file is read here, never by a reader that builds arbitrary values from its bytes (a
// file of fifty bytes would abort the program at every start). Only a regular file is used: a
// pipe, a device or a folder is not even opened, and the descriptor has the last word on what a
// link leads to; its bytes are read once. `mend` makes a file of the user's that an earlier
// version left readable by others the user's alone: a registered terminal never writes its key
// again.
KeyFile readKeyFile(const QString &path, bool mend)
{
    KeyFile file;
    const RegularFile::Contents read = RegularFile::read(
        path, MaxKeyFileSize, RegularFile::FollowLinks, [&](int fd, const RegularFile::Contents &found) {
            // Never through a link: what it points to is not the store's to change.
            if (!mend || found.link || (found.info.st_mode & 077) == 0 || found.info.st_uid != ::geteuid())
                return;
            if (::fchmod(fd, 0600) == 0)
                logInfo(QStringLiteral("API key file made the user's alone : ") + path);
            else
                logError(QStringLiteral("ERROR: Could not make the API key file the user's alone : %1 (%2)")
                             .arg(path, systemError()));
        });
    // None yet: the first key goes into a file of the user's alone.
    if (read.missing)
        return file;
    if (!read.ok()) {
        file.problem = read.why(MaxKeyFileSize);
        return file;
    }
    const QByteArray &bytes = read.bytes;
    const IniFile::Parsed parsed = IniFile::parse(bytes);
    const auto key = parsed.entries.constFind(ApiKey);
    if (!parsed.unreadable.isEmpty() || (key != parsed.entries.cend() && key->userType() != QMetaType::QString))
        file.problem = QStringLiteral("holds values never written here");
    else
        file.entries = parsed.entries;
    return file;
}

void logRefused(const QString &path, const QString &problem)
{
    logError(QStringLiteral("ERROR: API key file refused : %1 (%2)").arg(path, problem));
}

// A new file beside it, the user's alone from its first byte, on the disk before it takes the
// old one's place: a power cut leaves one or the other.
bool writeKeyFile(const QString &path, const QByteArray &bytes, QString *error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return RegularFile::replace(path, bytes, 0600, error);
}

QString now() { return QDateTime::currentDateTime().toString(Qt::ISODate); }

// Rows due for sending; the two values bound are dueLimits() in order.
const QString DueRows = QStringLiteral(
    "sendStatus = 'PENDING' AND (sendSchedDate <= ? OR sendSchedDate > ?)");

QStringList dueLimits()
{
    const QDateTime time = QDateTime::currentDateTime();
    return {time.toString(Qt::ISODate), time.addSecs(Database::LongestRetryDelay).toString(Qt::ISODate)};
}

// An answer of at most this many entries is applied in one transaction, which holds the file
// for a few dozen milliseconds; a longer one is built beside the list, a share at a time.
constexpr int ShortList = 10000;
// Uids bound in one statement: one statement a uid would cost more than the uid.
constexpr int RowsPerStatement = 500;
// Rows one statement copies or deletes while a list is rebuilt.
constexpr int RowsPerCopy = 2000;
// How long one transaction of a rebuild holds the file before it commits and lets the lane's
// own reads and writes in, and how long it then leaves the file to them. SQLite's wait for a
// lock polls, at first every few milliseconds; without a pause the next transaction would
// take the file again before a waiting lane looked.
constexpr qint64 WriteShareMsec = 50;
constexpr unsigned long ShareGapMsec = 25;

const QString NextList = QStringLiteral("BlacklistNext");
const QString OldList = QStringLiteral("BlacklistOld");

bool isCancelled(const std::atomic_bool *cancelled)
{
    return cancelled && cancelled->load();
}

QString errorText(const QSqlError &error)
{
    return error.text().trimmed().isEmpty() ? QString() : QStringLiteral(" : ") + error.text();
}

// One statement run over a list of uids, RowsPerStatement of them at a time. `form` takes the
// placeholders as %1: "(?),(?)" for `tuples`, else "?,?".
class UidBatches
{
public:
    UidBatches(const SqlDatabase &db, const QString &form, bool tuples, const QStringList &uids)
        : m_db(db)
        , m_form(form)
        , m_tuples(tuples)
        , m_uids(uids)
    {
    }

    bool atEnd() const { return m_from >= m_uids.size(); }

    // Runs the next batch; `affected` grows by the rows it changed.
    bool runNext(int *affected)
    {
        const int n = qMin(RowsPerStatement, m_uids.size() - m_from);
        if (n <= 0)
            return true;
        std::optional<QSqlQuery> &query = n == RowsPerStatement ? m_full : m_tail;
        if (!query || n != RowsPerStatement) {
            QStringList marks;
            marks.reserve(n);
            for (int i = 0; i < n; ++i)
                marks << (m_tuples ? QStringLiteral("(?)") : QStringLiteral("?"));
            query = m_db.query(m_form.arg(marks.join(QLatin1Char(','))));
        }
        for (int i = 0; i < n; ++i)
            query->bindValue(i, m_uids.at(m_from + i));
        if (!m_db.executeAgain(*query))
            return false;
        *affected += qMax(0, query->numRowsAffected());
        m_from += n;
        return true;
    }

private:
    const SqlDatabase &m_db;
    QString m_form;
    bool m_tuples;
    const QStringList &m_uids;
    int m_from = 0;
    std::optional<QSqlQuery> m_full;
    std::optional<QSqlQuery> m_tail;
};

// Runs `step` over and over in transactions that hold the file WriteShareMsec at most each,
// until it says it is done. False when a step or a commit failed (back to the last commit), or
// when `cancelled` was set.
bool writeInShares(const SqlDatabase &db, const std::atomic_bool *cancelled, const std::function<bool(bool *done)> &step)
{
    QSqlDatabase connection = db.database();
    bool done = false;
    while (!done) {
        if (isCancelled(cancelled))
            return false;
        if (!connection.transaction()) {
            logError(QStringLiteral("ERROR: Could not begin writing the blacklist") + errorText(connection.lastError()));
            return false;
        }
        QElapsedTimer share;
        share.start();
        bool ok = true;
        while (ok && !done && share.elapsed() < WriteShareMsec && !isCancelled(cancelled))
            ok = step(&done);
        if (!ok || !connection.commit()) {
            if (ok)
                logError(QStringLiteral("ERROR: Could not write the blacklist") + errorText(connection.lastError()));
            connection.rollback();
            return false;
        }
        QThread::msleep(ShareGapMsec);
    }
    return true;
}

// A whole table goes a share at a time: dropped at once, a long one would hold the file.
bool dropInShares(const SqlDatabase &db, const QString &table, const std::atomic_bool *cancelled)
{
    QSqlQuery remove = db.query(QStringLiteral("DELETE FROM %1 WHERE rowid IN (SELECT rowid FROM %1 LIMIT %2)")
                                    .arg(table)
                                    .arg(RowsPerCopy));
    const bool emptied = writeInShares(db, cancelled, [&](bool *done) {
        if (!db.executeAgain(remove))
            return false;
        *done = remove.numRowsAffected() <= 0;
        return true;
    });
    if (!emptied)
        return false;
    QSqlQuery drop = db.query(QStringLiteral("DROP TABLE %1").arg(table));
    return db.execute(drop);
}

} // namespace

const QStringList Database::RecordSchema{
    column(QStringLiteral("id"), 8, QStringLiteral("INTEGER")),
    column(QStringLiteral("name"), 8, QStringLiteral("TEXT")),
    column(QStringLiteral("uuid"), 8, QStringLiteral("TEXT")),
    QStringLiteral("PRIMARY KEY (id)"),
};

const QStringList Database::ParametersSchema{
    column(QStringLiteral("key"), 8, QStringLiteral("TEXT")),
    column(QStringLiteral("value"), 8, QStringLiteral("TEXT")),
    QStringLiteral("PRIMARY KEY (key)"),
};

const QStringList Database::BlacklistSchema{
    column(QStringLiteral("uid"), 8, QStringLiteral("TEXT")),
    QStringLiteral("PRIMARY KEY (uid)"),
};

const QStringList Database::TransactionsSchema{
    column(QStringLiteral("type"), 15, QStringLiteral("TEXT")),
    column(QStringLiteral("uuid"), 15, QStringLiteral("TEXT")),
    column(QStringLiteral("timestamp"), 15, QStringLiteral("TEXT")),
    column(QStringLiteral("deviceSerial"), 15, QStringLiteral("TEXT")),
    column(QStringLiteral("cardUid"), 15, QStringLiteral("TEXT")),
    column(QStringLiteral("kelvoDbId"), 15, QStringLiteral("TEXT")),
    column(QStringLiteral("errorDetails"), 15, QStringLiteral("TEXT")),
    column(QStringLiteral("sendDate"), 15, QStringLiteral("TEXT")),
    column(QStringLiteral("sendSchedDate"), 15, QStringLiteral("TEXT")),
    column(QStringLiteral("sendStatus"), 15, QStringLiteral("TEXT")),
    column(QStringLiteral("sendAttempts"), 15, QStringLiteral("INTEGER")),
    column(QStringLiteral("respStatus"), 15, QStringLiteral("INTEGER")),
    column(QStringLiteral("respData"), 15, QStringLiteral("BLOB")),
    QStringLiteral("PRIMARY KEY (uuid)"),
};

QDateTime strToDate(const QString &text)
{
    return QDateTime::fromString(text, Qt::ISODate);
}

QVariant dateToStr(const QDateTime &time)
{
    if (time.isNull())
        return QVariant(QVariant::String);
    return time.toString(Qt::ISODate);
}

QByteArray jsonToStr(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject strToJson(const QByteArray &bytes)
{
    return QJsonDocument::fromJson(bytes).object();
}

Database::Database(Config &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_db(QStringLiteral("terminal.db"))
    , m_listDb(QDir::current().absoluteFilePath(QStringLiteral("terminal.db")), SqlDatabase::Cache::Private)
{
    {
        const QString path = apiKeyPath();
        const KeyFile keyFile = readKeyFile(path, true);
        if (!keyFile.problem.isEmpty())
            logRefused(path, keyFile.problem);
    }
    // A list that cannot be read (a file locked by another process, or damaged) says nothing
    // about which tables exist: creating them would only fail over tables in use.
    bool read = false;
    const QStringList tables = m_db.tableNames(&read);
    if (!read) {
        logError(QStringLiteral("ERROR: Could not read the tables of the store; none created"));
        return;
    }
    createTable(QStringLiteral("Customs"), RecordSchema, tables);
    createTable(QStringLiteral("Locations"), RecordSchema, tables);
    createTable(QStringLiteral("Parameters"), ParametersSchema, tables);
    createTable(QStringLiteral("Blacklist"), BlacklistSchema, tables);
    createTable(QStringLiteral("Transactions"), TransactionsSchema, tables);
    // The sender looks for the first due row and counts the due ones at every run: without an
    // index both read the whole queue. Tables already in use get it too; their rows stay as they are.
    m_db.execute(QStringLiteral("CREATE INDEX IF NOT EXISTS TransactionsDue ON Transactions (sendStatus, sendSchedDate)"));
}

void Database::createTable(const QString &name, const QStringList &columns, const QStringList &existing)
{
    if (existing.contains(name, Qt::CaseInsensitive))
        return;
    logInfo(QStringLiteral("Creating table : ") + name);
    m_db.execute(QStringLiteral("CREATE TABLE %1 (%2)").arg(name, columns.join(QLatin1Char(','))));
}

QVariant Database::param(const QString &key) const
{
    if (key == ApiKey) {
        const QString path = apiKeyPath();
        const KeyFile file = readKeyFile(path, false);
        if (!file.problem.isEmpty())
            logRefused(path, file.problem);
        return file.entries.value(ApiKey).toString();
    }
    QSqlQuery query = m_db.query(QStringLiteral("SELECT value FROM Parameters WHERE key = ?"));
    query.addBindValue(key);
    if (!m_db.execute(query) || !query.next())
        return QVariant();
    return query.value(0);
}

bool Database::setParam(const QString &key, const QVariant &value)
{
    if (key == ApiKey) {
        // Read once: the stored key and the entries kept beside it come from the same bytes.
        const QString path = apiKeyPath();
        KeyFile file = readKeyFile(path, false);
        if (!file.problem.isEmpty())
            logRefused(path, file.problem);
        if (QVariant(file.entries.value(ApiKey).toString()) == value)
            return true;
        // A link (a board that keeps the key on a partition of its own) is written through and
        // kept: a file in its place would leave the old key behind it, to come back at the next
        // re-provisioning. One to anything but a file of ours is left alone.
        QString error;
        const QString target = RegularFile::throughLink(path, &error);
        if (target.isEmpty()) {
            logError(QStringLiteral("ERROR: Could not write the API key to : %1 (%2)").arg(path, error));
            return false;
        }
        if (!file.problem.isEmpty()) {
            // Set aside like any other unusable file, not replaced unread.
            const QString aside = target + QStringLiteral(".bad");
            if (::rename(QFile::encodeName(target).constData(), QFile::encodeName(aside).constData()) != 0) {
                logError(QStringLiteral("ERROR: Could not write the API key to : %1 (%2)").arg(path, systemError()));
                return false;
            }
            logError(QStringLiteral("ERROR: API key file set aside as : ") + aside);
            file.entries.clear();
        }
        file.entries.insert(ApiKey, value.toString());
        if (!writeKeyFile(target, IniFile::format(file.entries), &error)) {
            logError(QStringLiteral("ERROR: Could not write the API key to : %1 (%2)").arg(path, error));
            return false;
        }
        emit paramChanged(key, value);
        return true;
    }
    if (param(key) == value)
        return true;
    QSqlQuery query = m_db.query(QStringLiteral("INSERT OR REPLACE INTO Parameters (key, value) VALUES (?, ?)"));
    query.addBindValue(key);
    query.addBindValue(value);
    if (!m_db.execute(query))
        return false;
    emit paramChanged(key, value);
    return true;
}

QStringList Database::paramKeys() const
{
    QStringList keys;
    QSqlQuery query = m_db.execute(QStringLiteral("SELECT key FROM Parameters"));
    while (query.next())
        keys << query.value(0).toString();
    keys << ApiKey;
    return keys;
}

Database::DataRecord Database::findCustoms(int id) const
{
    return selectRecord(QStringLiteral("Customs"), id);
}

Database::DataRecord Database::findLocation(int id) const
{
    return selectRecord(QStringLiteral("Locations"), id);
}

QList<Database::DataRecord> Database::customs() const
{
    return selectRecords(QStringLiteral("Customs"));
}

QList<Database::DataRecord> Database::locations() const
{
    return selectRecords(QStringLiteral("Locations"));
}

void Database::setCustoms(const QList<DataRecord> &records)
{
    insertRecords(QStringLiteral("Customs"), records);
    // Heard on the store's own thread, whichever thread wrote.
    QMetaObject::invokeMethod(this, &Database::customsChanged);
}

void Database::setLocations(const QList<DataRecord> &records)
{
    insertRecords(QStringLiteral("Locations"), records);
    QMetaObject::invokeMethod(this, &Database::locationsChanged);
}

Database::DataRecord Database::selectRecord(const QString &table, int id) const
{
    QSqlQuery query = m_db.query(QStringLiteral("SELECT * FROM %1 WHERE id = ?").arg(table));
    query.addBindValue(id);
    if (!m_db.execute(query) || !query.next())
        return DataRecord();
    return DataRecord{query.value(0).toInt(), query.value(1).toString(), query.value(2).toString()};
}

QList<Database::DataRecord> Database::selectRecords(const QString &table) const
{
    QList<DataRecord> records;
    QSqlQuery query = m_db.execute(QStringLiteral("SELECT * FROM %1").arg(table));
    while (query.next())
        records << DataRecord{query.value(0).toInt(), query.value(1).toString(), query.value(2).toString()};
    return records;
}

bool Database::insertRecords(const QString &table, const QList<DataRecord> &records)
{
    // One commit a row would wait for the disk once a row. Through the connection that waits
    // for other writers' locks: the link writes from a thread of its own, beside the lane.
    return inTransaction(m_listDb, table, [this, &table, &records]() {
        QSqlQuery query = m_listDb.query(QStringLiteral("INSERT OR REPLACE INTO %1 (id, name, uuid) VALUES (?, ?, ?)").arg(table));
        for (const DataRecord &record : records) {
            query.bindValue(0, record.id);
            query.bindValue(1, record.name);
            query.bindValue(2, record.uuid);
            if (!m_listDb.executeAgain(query))
                return false;
        }
        return true;
    });
}

bool Database::inTransaction(const SqlDatabase &connection, const QString &what, const std::function<bool()> &write)
{
    QSqlDatabase db = connection.database();
    if (!db.transaction()) {
        logError(QStringLiteral("ERROR: Could not begin writing %1 : %2").arg(what, db.lastError().text()));
        return false;
    }
    if (write() && db.commit())
        return true;
    const QString reason = db.lastError().text();
    db.rollback();
    logError(QStringLiteral("ERROR: Nothing written to %1%2").arg(what, reason.trimmed().isEmpty() ? QString() : QStringLiteral(" : ") + reason));
    return false;
}

void Database::blacklistAdd(const QString &uid)
{
    QSqlQuery query = m_db.query(QStringLiteral("INSERT INTO Blacklist (uid) VALUES (?)"));
    query.addBindValue(uid);
    m_db.execute(query);
}

void Database::blacklistRemove(const QString &uid)
{
    QSqlQuery query = m_db.query(QStringLiteral("DELETE FROM Blacklist WHERE uid = ?"));
    query.addBindValue(uid);
    m_db.execute(query);
}

bool Database::blacklistApply(QStringList added, QStringList removed, const std::atomic_bool *cancelled)
{
    if (isCancelled(cancelled))
        return false;
    // In order, rows go in where the last ones went: a shuffled list touches the whole index.
    std::sort(added.begin(), added.end());
    std::sort(removed.begin(), removed.end());

    // What a rebuild cut short (a power cut) left beside the list goes first.
    bool read = false;
    const QStringList tables = m_listDb.tableNames(&read);
    for (const QString &table : {NextList, OldList}) {
        if (read && tables.contains(table, Qt::CaseInsensitive) && !dropInShares(m_listDb, table, cancelled)
            && !isCancelled(cancelled))
            logError(QStringLiteral("ERROR: Could not remove the unfinished list : ") + table);
    }
    if (isCancelled(cancelled))
        return false;

    int taken = 0;
    int dropped = 0;
    bool written = false;
    if (added.size() + removed.size() <= ShortList) {
        QSqlDatabase connection = m_listDb.database();
        if (!connection.transaction()) {
            logError(QStringLiteral("ERROR: Could not begin writing Blacklist") + errorText(connection.lastError()));
            return false;
        }
        UidBatches insert(m_listDb, QStringLiteral("INSERT OR IGNORE INTO Blacklist (uid) VALUES %1"), true, added);
        UidBatches remove(m_listDb, QStringLiteral("DELETE FROM Blacklist WHERE uid IN (%1)"), false, removed);
        bool ok = true;
        while (ok && !insert.atEnd() && !isCancelled(cancelled))
            ok = insert.runNext(&taken);
        while (ok && !remove.atEnd() && !isCancelled(cancelled))
            ok = remove.runNext(&dropped);
        written = ok && !isCancelled(cancelled) && connection.commit();
        if (!written) {
            const QString reason = errorText(connection.lastError());
            connection.rollback();
            if (!isCancelled(cancelled))
                logError(QStringLiteral("ERROR: Nothing written to Blacklist") + reason);
        }
    } else {
        written = rebuildBlacklist(added, removed, cancelled, &taken, &dropped);
    }
    if (written)
        logInfo(QStringLiteral("Blacklist updated : %1 uid(s) added, %2 listed already, %3 removed")
                    .arg(taken)
                    .arg(added.size() - taken)
                    .arg(dropped));
    return written;
}

bool Database::rebuildBlacklist(const QStringList &added, const QStringList &removed,
                                const std::atomic_bool *cancelled, int *taken, int *dropped)
{
    QSqlQuery create = m_listDb.query(QStringLiteral("CREATE TABLE %1 (%2)").arg(NextList, BlacklistSchema.join(QLatin1Char(','))));
    if (!m_listDb.execute(create)) {
        logError(QStringLiteral("ERROR: Nothing written to Blacklist") + errorText(create.lastError()));
        return false;
    }

    // The list as it is, in order of uid, a share at a time.
    QSqlQuery first = m_listDb.query(QStringLiteral("INSERT INTO %1 (uid) SELECT uid FROM Blacklist WHERE uid IS NOT NULL "
                                                    "ORDER BY uid LIMIT %2").arg(NextList).arg(RowsPerCopy));
    QSqlQuery next = m_listDb.query(QStringLiteral("INSERT INTO %1 (uid) SELECT uid FROM Blacklist WHERE uid > ? "
                                                   "ORDER BY uid LIMIT %2").arg(NextList).arg(RowsPerCopy));
    QSqlQuery last = m_listDb.query(QStringLiteral("SELECT MAX(uid) FROM %1").arg(NextList));
    bool started = false;
    QVariant bound;
    bool built = writeInShares(m_listDb, cancelled, [&](bool *done) {
        QSqlQuery &copy = started ? next : first;
        if (started)
            copy.bindValue(0, bound);
        if (!m_listDb.executeAgain(copy))
            return false;
        started = true;
        if (copy.numRowsAffected() < RowsPerCopy) {
            *done = true;
            return true;
        }
        if (!m_listDb.executeAgain(last) || !last.next())
            return false;
        bound = last.value(0);
        last.finish();
        return true;
    });

    UidBatches insert(m_listDb, QStringLiteral("INSERT OR IGNORE INTO %1 (uid) VALUES %2").arg(NextList, QStringLiteral("%1")),
                      true, added);
    built = built && writeInShares(m_listDb, cancelled, [&](bool *done) {
        const bool ok = insert.runNext(taken);
        *done = insert.atEnd();
        return ok;
    });
    UidBatches remove(m_listDb, QStringLiteral("DELETE FROM %1 WHERE uid IN (%2)").arg(NextList, QStringLiteral("%1")),
                      false, removed);
    built = built && writeInShares(m_listDb, cancelled, [&](bool *done) {
        const bool ok = remove.runNext(dropped);
        *done = remove.atEnd();
        return ok;
    });

    // The new list takes the old one's place in one short transaction.
    QSqlDatabase connection = m_listDb.database();
    bool swapped = false;
    QString reason;
    if (built && connection.transaction()) {
        // Each prepared once the one before has run: a statement is checked against the names
        // as they are when it is prepared.
        const auto run = [this](const QString &statement) {
            QSqlQuery query = m_listDb.query(statement);
            return m_listDb.execute(query);
        };
        swapped = run(QStringLiteral("ALTER TABLE Blacklist RENAME TO %1").arg(OldList))
            && run(QStringLiteral("ALTER TABLE %1 RENAME TO Blacklist").arg(NextList)) && !isCancelled(cancelled)
            && connection.commit();
        if (!swapped) {
            reason = errorText(connection.lastError());
            connection.rollback();
        }
    } else if (built) {
        reason = errorText(connection.lastError());
    }
    if (!swapped) {
        // Cut short, the half-built list stays as a power cut leaves it, and the next apply
        // clears it first: cleared here, a long one would hold the link's stop or end (and with
        // it the screen) for seconds. Its pages stay in the file either way.
        if (isCancelled(cancelled))
            return false;
        logError(QStringLiteral("ERROR: Nothing written to Blacklist") + reason);
        dropInShares(m_listDb, NextList, cancelled);
        return false;
    }
    dropInShares(m_listDb, OldList, cancelled);
    return true;
}

bool Database::isBlacklisted(const QString &uid) const
{
    QSqlQuery query = m_db.query(QStringLiteral("SELECT * FROM Blacklist WHERE uid = ?"));
    query.addBindValue(uid);
    return m_db.execute(query) && query.next();
}

int Database::transCount(const QString &status) const
{
    QSqlQuery query = m_db.query(QStringLiteral("SELECT COUNT(*) FROM Transactions WHERE sendStatus = ?"));
    query.addBindValue(status);
    if (!m_db.execute(query) || !query.next())
        return 0;
    return query.value(0).toInt();
}

bool Database::transAdd(Transaction::Ptr transaction)
{
    const QString time = now();
    QSqlQuery query = m_db.query(QStringLiteral(
        "INSERT INTO Transactions (type, uuid, timestamp, deviceSerial, cardUid, kelvoDbId, errorDetails, "
        "sendDate, sendSchedDate, sendStatus, sendAttempts, respStatus, respData) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    query.addBindValue(Transaction::typeToStr(transaction->type()));
    query.addBindValue(transaction->uuid());
    query.addBindValue(dateToStr(transaction->timestamp()));
    query.addBindValue(transaction->deviceSerial());
    query.addBindValue(transaction->cardUid());
    query.addBindValue(transaction->kelvoDbId());
    query.addBindValue(transaction->errorDetails());
    query.addBindValue(QVariant(QVariant::String));
    query.addBindValue(time);
    query.addBindValue(QStringLiteral("PENDING"));
    query.addBindValue(0);
    query.addBindValue(0);
    query.addBindValue(QVariant(QVariant::ByteArray));
    return m_db.execute(query);
}

bool Database::transUpdate(Transaction::Ptr transaction)
{
    const Transaction::SendDetails &send = transaction->sendDetails();
    QSqlQuery query = m_db.query(QStringLiteral(
        "UPDATE Transactions SET sendDate = ?, sendStatus = ?, sendSchedDate = ?, sendAttempts = ?, "
        "respStatus = ?, respData = ? WHERE uuid = ?"));
    query.addBindValue(dateToStr(send.sendDate));
    query.addBindValue(send.sendStatus);
    query.addBindValue(dateToStr(send.sendSchedDate));
    query.addBindValue(send.sendAttempts);
    query.addBindValue(send.respStatus);
    query.addBindValue(jsonToStr(send.respData));
    query.addBindValue(transaction->uuid());
    return m_db.execute(query) && query.numRowsAffected() == 1;
}

int Database::transCleanup(const QDateTime &before)
{
    QSqlQuery query = m_db.query(QStringLiteral(
        "DELETE FROM Transactions WHERE sendDate IS NOT NULL AND sendDate < ? AND sendStatus = 'OK'"));
    query.addBindValue(dateToStr(before));
    if (!m_db.execute(query))
        return 0;
    return query.numRowsAffected();
}

QList<Transaction::Ptr> Database::transPending() const
{
    QList<Transaction::Ptr> transactions;
    QSqlQuery query = m_db.execute(QStringLiteral("SELECT * FROM Transactions WHERE sendStatus = 'PENDING'"));
    while (query.next())
        transactions << deserialize(query);
    return transactions;
}

QList<Transaction::Ptr> Database::transDueForSend() const
{
    QList<Transaction::Ptr> transactions;
    // Rows queued in one second share their schedule text: the later queued comes first
    // here, so that the last of the list is the one queued first.
    QSqlQuery query = m_db.query(QStringLiteral("SELECT * FROM Transactions WHERE %1 "
                                                "ORDER BY sendSchedDate DESC, rowid DESC").arg(DueRows));
    query.setForwardOnly(true);
    for (const QString &limit : dueLimits())
        query.addBindValue(limit);
    if (!m_db.execute(query))
        return transactions;
    while (query.next())
        transactions << deserialize(query);
    return transactions;
}

Transaction::Ptr Database::transNextDue(int *dueCount) const
{
    const QStringList limits = dueLimits();
    if (dueCount) {
        *dueCount = 0;
        QSqlQuery count = m_db.query(QStringLiteral("SELECT COUNT(*) FROM Transactions WHERE %1").arg(DueRows));
        for (const QString &limit : limits)
            count.addBindValue(limit);
        if (m_db.execute(count) && count.next())
            *dueCount = count.value(0).toInt();
    }
    QSqlQuery query = m_db.query(QStringLiteral("SELECT * FROM Transactions WHERE %1 "
                                                "ORDER BY sendSchedDate ASC, rowid ASC LIMIT 1").arg(DueRows));
    query.setForwardOnly(true);
    for (const QString &limit : limits)
        query.addBindValue(limit);
    if (!m_db.execute(query) || !query.next())
        return Transaction::Ptr();
    return deserialize(query);
}

Transaction::Ptr Database::deserialize(const QSqlQuery &query)
{
    auto transaction = Transaction::Ptr::create();
    transaction->setType(Transaction::strToType(query.value(0).toString()));
    transaction->setUuid(query.value(1).toString());
    transaction->setTimestamp(strToDate(query.value(2).toString()));
    transaction->setDeviceSerial(query.value(3).toString());
    transaction->setCardUid(query.value(4).toString());
    transaction->setKelvoDbId(query.value(5).toString());
    transaction->setErrorDetails(query.value(6).toString());
    Transaction::SendDetails &send = transaction->sendDetails();
    send.sendDate = strToDate(query.value(7).toString());
    send.sendSchedDate = strToDate(query.value(8).toString());
    send.sendStatus = query.value(9).toString();
    send.sendAttempts = query.value(10).toInt();
    send.respStatus = query.value(11).toInt();
    send.respData = strToJson(query.value(12).toByteArray());
    return transaction;
}

} // namespace Backend
