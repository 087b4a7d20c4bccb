#pragma once

#include "async/Deferred.h"
#include "async/ThreadWorker.h"
#include "backend/Database.h"
#include "backend/Transaction.h"
#include "transport/HttpClient.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVariant>

#include <functional>
#include <optional>

class Config;

namespace Backend {

class WorkerJob;
class TerminalView;

// The terminal's link with the back office over HTTPS with a client certificate: registration
// and API key, reference data, heartbeats and what their answers announce, update progress,
// and the delivery of queued transactions. A tick timer drives a small state machine.
class CardBO : public QObject
{
    Q_OBJECT
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString reason READ reason NOTIFY stateChanged)
    Q_PROPERTY(QDateTime lastComms READ lastComms NOTIFY lastCommsChanged)

public:
    // The numbers travel in the terminal's status document.
    enum State { Init = 0, NotRegistered = 1, Online = 2, Error = 3, Stopped = 4 };
    Q_ENUM(State)

    CardBO(Config &config, Database &database, TerminalView &terminal, QObject *parent = nullptr);
    ~CardBO() override;

    State state() const { return m_state; }
    QString reason() const { return m_reason; }
    QDateTime lastComms() const { return m_lastComms; }
    // The blacklist version last applied; empty when none.
    QString blacklisVer() const;
    // The interval the next tick comes after (the one the last tick armed).
    int tickInterval() const { return m_tickTimer.interval(); }
    // While a blacklist is fetched and applied; one at a time.
    bool blacklistUpdating() const { return !m_blacklistJob.isNull(); }
    // While reference data is fetched and stored; one at a time.
    bool dataUpdating() const { return !m_dataJob.isNull(); }

    static QString stateToStr(State state);

    Deferred<> registerDevice();
    // Fetched, read and stored on the blacklist's thread: up to 4 MiB of records, a lane's
    // worth of time on its own thread. Refused while another runs.
    Deferred<> updateData();
    Deferred<> heartbeat();
    // Fetched, read and applied on a thread of its own: a list of millions of uids takes
    // seconds, which the lane's thread cannot spare. Refused while another update runs. A
    // version refused for what it holds is not fetched again by the heartbeat; another is.
    Deferred<> updateBlacklist(const QString &version);
    Deferred<> clearProgress();
    Deferred<> transmitTransaction(Transaction::Ptr trans);

    // The heartbeat's list of settings.
    QJsonArray configToJson() const;
    static bool shouldExclude(const QString &key);
    static QString mapType(QVariant::Type type);
    static QList<Database::DataRecord> parseData(const QJsonArray &array);

    static bool shouldRetransmit(int status, const QJsonValue &body);
    QDateTime nextSendDate(Transaction::Ptr trans) const;

public slots:
    void start();
    void stop();
    void sendTransaction(Transaction::Ptr trans);
    // Reports the progress of a software update; the answer is not looked at.
    Deferred<> sendProgress(const QString &operation, int percent);
    // Sends the due transactions one after another, the one scheduled first first.
    void processPendingTransactions();
    // One step of the state machine; the tick timer runs it.
    void onTick();

signals:
    void stateChanged();
    void lastCommsChanged();

private:
    // An answer handler: false when the answer cannot be taken, which fails the operation.
    using AnswerHandler = std::function<bool(int status, const QJsonValue &body)>;
    // What becomes of an answer to a request of an earlier run (made before a stop()).
    enum class LateAnswer { Ignored, Handled };

    void initClient();
    void setUpClient(HttpClient &client) const;
    void initTimer();
    QUrl createUrl(const QString &path) const;
    // Sends a GET for `job` from the worker's thread with a client of the job's own, and hands
    // its answer to `take` there once the client has let go of it; `take` settles the job's
    // outcome. False when it could not be started.
    bool startInWorker(const QSharedPointer<WorkerJob> &job, const QUrl &url, qint64 maxBytes, qint64 maxValues,
                       const QString &received, const std::function<void(int status, QJsonValue body)> &take);
    // The job is given up: a step under way stops at its next look, an answer that comes is
    // set aside; with `dropRequest` a request on its way goes at once with its client.
    void cancelJob(const QSharedPointer<WorkerJob> &job, bool dropRequest);
    // The operation fails for a late answer even when it is handled: its follow-up belongs to
    // the run that is over.
    Deferred<> request(HttpClient::Result exchange, const QString &operation, AnswerHandler handler,
                       LateAnswer late = LateAnswer::Ignored);
    // Between start() and stop(), the tick in progress included.
    bool running() const;
    // Whether an answer to a request made in run `run` may still act.
    bool accepts(quint64 run, const QString &operation) const;

    void processStateInit();
    void processStateNotRegistered();
    void processStateOnline();
    bool checkTerminalReady();
    bool checkTerminalRegistered();
    void setState(State state, const QString &reason);

    void handleErrorResponse(int status, const QJsonValue &body);
    bool handleRegisterResponse(int status, const QJsonValue &body);
    bool handleHeartbeatResponse(int status, const QJsonValue &body);
    bool handleTransResponse(Transaction::Ptr trans, int status, const QJsonValue &body);
    void applyConfig(const QJsonArray &config);
    void updateLastComms();
    void putProgress(const QString &operation, int percent, const QList<Deferred<>> &waiting);
    void progressDone();

    QJsonObject heartbeatDocument() const;
    QJsonValue cardLevelToJson() const;
    QJsonObject networkToJson() const;
    QJsonArray statusToJson() const;
    QString softwareVersion() const;

    void onConfigChanged(const QVariantMap &changes);
    void onParamChanged(const QString &key, const QVariant &value);

    Config &m_config;
    Database &m_database;
    TerminalView &m_terminal;
    State m_state = Stopped;
    QString m_reason;
    QDateTime m_lastComms;
    HttpClient m_client;
    QTimer m_tickTimer;
    QTimer m_transTimer;
    // Set while a transaction is on its way: one at a time.
    bool m_sending = false;
    // Set while a tick of the link's runs (its single-shot timer is idle then).
    bool m_ticking = false;
    // Counts start() and stop(): an answer to a request of an earlier run changes nothing.
    quint64 m_run = 0;
    // Where blacklists and reference data are fetched and taken in, started with the first;
    // and the updates under way, shared with it.
    std::optional<ThreadWorker> m_worker;
    QSharedPointer<WorkerJob> m_blacklistJob;
    QSharedPointer<WorkerJob> m_dataJob;
    // The blacklist version last refused for what its answer held: fetched again, it would
    // be the same answer (up to 64 MiB, seconds to read) at every heartbeat.
    QString m_refusedBlacklist;
    // Progress reports: one on its way at a time, and of those that come meanwhile only the
    // latest goes next; the callers of the ones it replaced learn its outcome.
    bool m_progressSending = false;
    bool m_progressQueued = false;
    QString m_progressOperation;
    int m_progressPercent = 0;
    QList<Deferred<>> m_progressWaiting;
};

} // namespace Backend
