#pragma once

#include "backend/Transaction.h"
#include "transport/SqlDatabase.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <functional>

class Config;

namespace Backend {

// The terminal's local store ("terminal.db" in the working directory): the back office's
// reference data, named parameters, the card blacklist and the queue of transactions to send.
// The API key lives in a file of the user's settings folder instead ($XDG_CONFIG_HOME, in the
// settings format earlier versions wrote), the user's alone; a file it cannot use reads as no key
// and is set aside by the next one. Every call blocks on the calling thread.
class Database : public QObject
{
    Q_OBJECT

public:
    // One customs office or location of the back office's reference data.
    struct DataRecord
    {
        int id = 0;
        QString name;
        QString uuid;
    };

    // The longest wait before a retry, in seconds. A PENDING row scheduled further ahead was
    // scheduled by a clock that has been set back since (a clock that ran ahead, put right by
    // time synchronisation): it counts as due rather than wait for as long as the clock was off.
    static constexpr int LongestRetryDelay = 21600;

    static const QStringList RecordSchema;
    static const QStringList ParametersSchema;
    static const QStringList BlacklistSchema;
    static const QStringList TransactionsSchema;

    explicit Database(Config &config, QObject *parent = nullptr);

    QVariant param(const QString &key) const;
    // False when the value could not be written; it is then neither kept nor announced.
    bool setParam(const QString &key, const QVariant &value);
    QStringList paramKeys() const;

    DataRecord findCustoms(int id) const;
    DataRecord findLocation(int id) const;
    QList<DataRecord> customs() const;
    QList<DataRecord> locations() const;
    // Each list is written whole or not at all, in one transaction. For any thread, one call at
    // a time; the change is announced on the store's own thread.
    void setCustoms(const QList<DataRecord> &records);
    void setLocations(const QList<DataRecord> &records);

    void blacklistAdd(const QString &uid);
    void blacklistRemove(const QString &uid);
    bool isBlacklisted(const QString &uid) const;
    // One blacklist answer: every uid of `added` in (one listed already stays as it is), then
    // every uid of `removed` out. Whole or not at all: false, with the list as it was, when any
    // of it could not be written or `cancelled` was set on the way. For any thread, one call at
    // a time; it is the list's only writer while it runs. Readers see the old list until the
    // new one is whole, and no write holds the file for long, so the lane's own reads and
    // writes go on meanwhile. Entries a transaction takes at once are written in one; a longer
    // list is built beside the old one and takes its place. One cut short leaves what it built
    // there, as a power cut does, and the next apply clears it first.
    bool blacklistApply(QStringList added, QStringList removed, const std::atomic_bool *cancelled = nullptr);

    int transCount(const QString &status) const;
    // Stores the transaction as a new PENDING row due now; false when it could not be stored.
    bool transAdd(Transaction::Ptr transaction);
    // Writes the send details back to the row; false when the row was not updated.
    bool transUpdate(Transaction::Ptr transaction);
    // Deletes delivered rows last sent before `before`; returns how many went.
    int transCleanup(const QDateTime &before);
    QList<Transaction::Ptr> transPending() const;
    // Every due PENDING row (see LongestRetryDelay), the latest schedule first.
    QList<Transaction::Ptr> transDueForSend() const;
    // The due PENDING row scheduled first (queued first among equals), null when none is due;
    // `dueCount` receives how many are due. Reads two rows' worth however long the queue is.
    Transaction::Ptr transNextDue(int *dueCount = nullptr) const;

signals:
    void paramChanged(QString key, QVariant value);
    void customsChanged();
    void locationsChanged();

private:
    void createTable(const QString &name, const QStringList &columns, const QStringList &existing);
    DataRecord selectRecord(const QString &table, int id) const;
    QList<DataRecord> selectRecords(const QString &table) const;
    bool insertRecords(const QString &table, const QList<DataRecord> &records);
    // Runs `write` in one transaction: committed when it returns true, else rolled back.
    bool inTransaction(const SqlDatabase &connection, const QString &what, const std::function<bool()> &write);
    bool rebuildBlacklist(const QStringList &added, const QStringList &removed, const std::atomic_bool *cancelled,
                          int *taken, int *dropped);
    static Transaction::Ptr deserialize(const QSqlQuery &query);

    Config &m_config;
    SqlDatabase m_db;
    // The writer of the blacklist and the reference data, on whichever thread takes them in: a
    // connection of its own that waits for the lane's locks, and the lane's for its, instead of
    // failing at once.
    SqlDatabase m_listDb;
};

QDateTime strToDate(const QString &text);
QVariant dateToStr(const QDateTime &time);
QByteArray jsonToStr(const QJsonObject &object);
QJsonObject strToJson(const QByteArray &bytes);

} // namespace Backend
