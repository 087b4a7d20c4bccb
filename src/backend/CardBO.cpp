#include "backend/CardBO.h"

#include "app/Config.h"
#include "app/JsonRead.h"
#include "app/LogQuote.h"
#include "backend/TerminalView.h"
#include "card/CardIssuer.h"
#include "card/Dispenser.h"
#include "card/RFID.h"
#include "devices/Barrier.h"
#include "devices/Clock.h"
#include "devices/Ethernet.h"
#include "devices/IPv4.h"
#include "devices/Network.h"
#include "devices/Update.h"

#include <QDebug>
#include <QJsonDocument>
#include <QPointer>
#include <QRegularExpression>
#include <QThread>
#include <QUrlQuery>

#include <array>
#include <atomic>
#include <limits>
#include <memory>

namespace Backend {

namespace {

const QString Tag = QStringLiteral("[Backend::CardBO] ");

void logInfo(const QString &text) { qInfo().noquote() << Tag + text; }
void logWarn(const QString &text) { qWarning().noquote() << Tag + text; }
void logError(const QString &text) { qCritical().noquote() << Tag + text; }

constexpr int RequestTimeout = 30000;
constexpr int DefaultTickInterval = 30000;
constexpr int ErrorTickInterval = 5000;
constexpr int FirstTickInterval = 500;
constexpr int TransactionInterval = 120000;

// Bytes of an answer taken at most, by request: a few for the small answers, room for a
// blacklist of some four million uids.
constexpr qint64 SmallReplySize = 64 * 1024;
constexpr qint64 HeartbeatReplySize = 256 * 1024;
constexpr qint64 ReferenceDataReplySize = 4 * 1024 * 1024;
constexpr qint64 BlacklistReplySize = 64 * 1024 * 1024;
// JSON values of a blacklist answer at most. Parsed, each takes memory of its own however few
// bytes it has (one-character entries would take twice what uids at the bound take, lists of
// lists more again): room for a list of 14-digit uids at the bound on bytes, 17 bytes each.
constexpr qint64 BlacklistReplyValues = BlacklistReplySize / 16;

// Characters of a card uid at most: no card's comes near (10 bytes are 20 hex digits, 29 with
// separators). The apply's shares of the store's time are counted in uids: longer texts, up to
// the 64 MiB of a list, would hold the store for seconds in one statement while the lane waits.
constexpr int MaxUidLength = 64;

// A whole answer body in a log line: room for a normal one, never for a flood.
constexpr int BodyLogLimit = 4096;

QString wholeBody(const QString &text) { return LogQuote::quote(text, BodyLogLimit); }
QString field(const QString &text) { return LogQuote::quote(text); }

QString compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// Settings whose values never reach a log line.
bool isSecretKey(const QString &key)
{
    static const QRegularExpression secretName(QStringLiteral("(password|apikey|secret|token)$"),
                                               QRegularExpression::CaseInsensitiveOption);
    return Config::isSecret(key) || secretName.match(key).hasMatch();
}

// What a request header can carry as it is. A line break would end the header and start one
// of the sender's choosing in every request; other bytes would go out as something else.
bool fitsHeader(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

// QUrlQuery takes a "%" in a value for an escape and leaves a "+", which servers read as a
// space: a text of ours or a peer's goes in fully encoded, so it arrives as it was.
void addQueryText(QUrlQuery &query, const QString &key, const QString &value)
{
    query.addQueryItem(key, QString::fromLatin1(QUrl::toPercentEncoding(value)));
}

// An answer as its log line shows it: the settings it pushes without their secrets.
QJsonObject answerForLog(QJsonObject answer)
{
    QJsonValue config = answer.value(QStringLiteral("config"));
    if (!config.isArray())
        return answer;
    QJsonArray settings = config.toArray();
    for (auto element = settings.begin(); element != settings.end(); ++element) {
        QJsonObject setting = (*element).toObject();
        const QJsonValue name = setting.value(QStringLiteral("name"));
        const QJsonValue value = setting.value(QStringLiteral("value"));
        if (!name.isString() || value.isUndefined())
            continue;
        if (isSecretKey(name.toString()))
            setting.insert(QStringLiteral("value"), QStringLiteral("****"));
        else if (value.isString())
            setting.insert(QStringLiteral("value"), Config::masked(name.toString(), value.toString()));
        *element = setting;
    }
    answer.insert(QStringLiteral("config"), settings);
    return answer;
}

void logFailure(int status, const QJsonValue &body)
{
    const QString text = body.isString() ? body.toString() : compact(body.toObject());
    logError(QStringLiteral("ERROR: Operation failed : (%1) %2").arg(status).arg(wholeBody(text)));
}

// How an update of the worker's ended, as the worker tells the link.
enum JobOutcome {
    JobDone,
    JobFailed,    // failed, and logged: the next try may do better
    JobRefused,   // the answer cannot be taken (what it holds, its size), and is logged: the
                  // same answer would be again
    JobTooMany,   // the answer held more values than its bound, and was not parsed
    JobAbandoned, // taken in, then given up on the way: the link was stopped
    JobLate,      // came after the link was stopped, and was not looked at
    JobUnsent,    // the link was stopped before it went out
};

// Reads the lists of a blacklist answer; JobDone means they are there to apply. Runs in the
// worker's thread.
JobOutcome readBlacklistAnswer(QJsonValue body, const std::atomic_bool &cancelled, QStringList lists[2])
{
    QJsonObject answer = body.toObject();
    body = QJsonValue();

    // The version counts as applied once the lists are: an answer that is not lists of uids
    // is refused. An entry that is no uid is left out; the genuine ones still apply.
    const QString names[2] = {QStringLiteral("added"), QStringLiteral("removed")};
    bool valid = answer.contains(names[0]) || answer.contains(names[1]);
    int entries = 0;
    int skipped = 0;
    QJsonValue firstSkipped;
    for (int i = 0; valid && i < 2; ++i) {
        const QJsonValue list = answer.value(names[i]);
        if (list.isUndefined())
            continue;
        valid = list.isArray();
        const QJsonArray uids = list.toArray();
        lists[i].reserve(uids.size());
        for (const QJsonValue &uid : uids) {
            if ((++entries & 0xffff) == 0 && cancelled)
                return JobAbandoned;
            const QString text = JsonRead::text(uid);
            if (text.isEmpty() || text.size() > MaxUidLength) {
                if (skipped++ == 0)
                    firstSkipped = uid;
                continue;
            }
            lists[i] << text;
        }
    }
    if (!valid) {
        logError(QStringLiteral("ERROR: Blacklist answer is not lists of card uids; nothing applied"));
        return JobRefused;
    }
    // Counts: the list itself may be millions of uids long.
    logInfo(QStringLiteral("Blacklist answer : %1 uid(s) to add, %2 to remove").arg(lists[0].size()).arg(lists[1].size()));
    if (skipped > 0 && skipped == entries) {
        // Not a list that changes nothing but one the terminal cannot read: its version is not
        // taken as applied.
        logWarn(QStringLiteral("WARN: None of the %1 blacklist entries is a card uid; nothing applied").arg(entries));
        return JobRefused;
    }
    if (skipped > 0)
        logWarn(QStringLiteral("WARN: Skipping %1 blacklist entries that are no card uid, the first : %2")
                    .arg(skipped)
                    .arg(field(QString::fromUtf8(QJsonDocument(QJsonArray{firstSkipped}).toJson(QJsonDocument::Compact)))));
    return cancelled ? JobAbandoned : JobDone;
}

// The records of one list of the reference data that can be stored. An entry without a
// whole-number id would land on row 0, one over the other; those left out are told in one
// line, however many.
QList<Database::DataRecord> usableRecords(const QJsonArray &array, const QString &list)
{
    const QList<Database::DataRecord> records = CardBO::parseData(array);
    QList<Database::DataRecord> usable;
    usable.reserve(records.size());
    int skipped = 0;
    int first = -1;
    for (int i = 0; i < records.size(); ++i) {
        if (records.at(i).id != 0)
            usable << records.at(i);
        else if (skipped++ == 0)
            first = i;
    }
    if (skipped > 0)
        logWarn(QStringLiteral("WARN: Skipping %1 %2 entries without an id, the first : %3")
                    .arg(skipped)
                    .arg(list, field(QString::fromUtf8(QJsonDocument(QJsonArray{array.at(first)}).toJson(QJsonDocument::Compact)))));
    return usable;
}

// Reads and stores the reference data of an answer. Runs in the worker's thread.
JobOutcome takeReferenceData(QJsonValue body, Database &database, const std::atomic_bool &cancelled)
{
    const QJsonObject answer = body.toObject();
    body = QJsonValue();
    const QJsonValue customs = answer.value(QStringLiteral("customs"));
    const QJsonValue locations = answer.value(QStringLiteral("locations"));
    if (customs.isArray()) {
        const QList<Database::DataRecord> records = usableRecords(customs.toArray(), QStringLiteral("customs"));
        if (cancelled)
            return JobAbandoned;
        database.setCustoms(records);
    }
    if (locations.isArray()) {
        const QList<Database::DataRecord> records = usableRecords(locations.toArray(), QStringLiteral("location"));
        if (cancelled)
            return JobAbandoned;
        database.setLocations(records);
    }
    return JobDone;
}

QString configValueText(const QVariant &value)
{
    if (value.type() == QVariant::StringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

} // namespace

// One update of the worker's, shared by the link and the worker that runs it.
class WorkerJob
{
public:
    // Set by stop() and by the link's end; the worker looks at it between its steps.
    std::atomic_bool cancelled{false};
    // The update's own client, in the worker's thread and used there only.
    HttpClient *client = nullptr;
    // How it ended (a JobOutcome), told by the worker.
    Deferred<int> outcome;
};

CardBO::CardBO(Config &config, Database &database, TerminalView &terminal, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_database(database)
    , m_terminal(terminal)
{
    qRegisterMetaType<Backend::Transaction::Ptr>();
    connect(&m_database, &Database::paramChanged, this, &CardBO::onParamChanged);
    connect(&m_config, &Config::configChanged, this, &CardBO::onConfigChanged);
    initClient();
    initTimer();
}

CardBO::~CardBO()
{
    if (!m_worker)
        return;
    cancelJob(m_blacklistJob, true);
    cancelJob(m_dataJob, true);
    // The worker writes through the store, which may go right after this link: it must be
    // done first. A cancelled update stops at its next step.
    QThread *thread = m_worker->getThread();
    m_worker->quitThread();
    if (thread)
        thread->wait();
}

QString CardBO::blacklisVer() const
{
    return m_database.param(QStringLiteral("blacklistVer")).toString();
}

QString CardBO::stateToStr(State state)
{
    static const QMap<int, QString> Table{
        {Init, QStringLiteral("Init")},
        {NotRegistered, QStringLiteral("Not Registered")},
        {Online, QStringLiteral("Online")},
        {Error, QStringLiteral("Error")},
    };
    return Table.value(state, QStringLiteral("Unknown"));
}

void CardBO::initClient()
{
    setUpClient(m_client);
}

void CardBO::setUpClient(HttpClient &client) const
{
    client.setIgnoreSslErrors(m_config.get(QStringLiteral("card-bo/ignoreSslErrors")).toBool());
    client.setTLSRootCA(m_config.get(QStringLiteral("card-bo/rootCA")).toString());
    client.setTLSCert(m_config.get(QStringLiteral("card-bo/pubCert")).toString());
    client.setTLSKey(m_config.get(QStringLiteral("card-bo/privKey")).toString());
    client.setHeader(QStringLiteral("Content-Type"), QStringLiteral("application/json"));
    client.setHeader(QStringLiteral("User-Agent"), QStringLiteral("vorn/terminal"));
    client.setHeader(QStringLiteral("Connection"), QStringLiteral("keep-alive"));
    const QString apiKey = m_database.param(QStringLiteral("apiKey")).toString();
    if (!apiKey.isEmpty())
        client.setHeader(QStringLiteral("X-API-Key"), apiKey);
}

void CardBO::initTimer()
{
    connect(&m_tickTimer, &QTimer::timeout, this, &CardBO::onTick);
    m_tickTimer.setSingleShot(true);
    m_tickTimer.setInterval(FirstTickInterval);
    connect(&m_transTimer, &QTimer::timeout, this, &CardBO::processPendingTransactions);
    m_transTimer.setSingleShot(false);
    m_transTimer.setInterval(TransactionInterval);
}

QUrl CardBO::createUrl(const QString &path) const
{
    QUrl url(m_config.get(QStringLiteral("card-bo/url")).toString());
    // Without a host the path alone would pass for a relative URL; the request must fail at once.
    if (!url.isValid() || url.host().isEmpty())
        return QUrl();
    url.setPath(path, QUrl::DecodedMode);
    return url;
}

void CardBO::start()
{
    if (running())
        return;
    logInfo(QStringLiteral("Starting Card BO engine"));
    ++m_run;
    setState(Init, QStringLiteral("User request"));
    m_tickTimer.start();
    m_transTimer.start();
}

void CardBO::stop()
{
    if (!running())
        return;
    logInfo(QStringLiteral("Stopping Card BO engine"));
    ++m_run;
    // A list or records of this run are not stored after it. A list still on its way is not
    // waited for: up to 64 MiB would be read and parsed only to be set aside, and the next
    // update would wait for it. The few of the reference data come, and are set aside.
    cancelJob(m_blacklistJob, true);
    cancelJob(m_dataJob, false);
    m_ticking = false;
    m_tickTimer.stop();
    m_transTimer.stop();
    setState(Stopped, QStringLiteral("User request"));
}

void CardBO::cancelJob(const QSharedPointer<WorkerJob> &job, bool dropRequest)
{
    if (!job || !m_worker)
        return;
    job->cancelled = true;
    if (!dropRequest)
        return;
    // Its client goes, and with it the request and its callbacks.
    m_worker->execInThread([job]() {
        if (!job->client)
            return;
        delete job->client;
        job->client = nullptr;
        job->outcome.resolve(JobAbandoned);
    });
}

bool CardBO::startInWorker(const QSharedPointer<WorkerJob> &job, const QUrl &url, qint64 maxBytes, qint64 maxValues,
                           const QString &received, const std::function<void(int status, QJsonValue body)> &take)
{
    if (!m_worker)
        m_worker.emplace();
    // A client of the job's own, in the worker's thread: its answer is read and parsed there.
    job->client = new HttpClient;
    setUpClient(*job->client);
    if (!m_worker->moveQObjectToThread(job->client)) {
        delete job->client;
        job->client = nullptr;
        logError(QStringLiteral("ERROR: Worker thread is not running"));
        return false;
    }
    const Deferred<int> outcome = job->outcome;
    const bool posted = m_worker->execInThread([job, url, maxBytes, maxValues, received, take, outcome]() {
        if (job->cancelled) {
            delete job->client;
            job->client = nullptr;
            outcome.resolve(JobUnsent);
            return;
        }
        job->client->get(url, RequestTimeout, maxBytes, maxValues)
            .done([job, received, take, outcome](int status, QJsonValue body) {
                if (job->client)
                    job->client->deleteLater();
                job->client = nullptr;
                if (job->cancelled) {
                    outcome.resolve(JobLate);
                    return;
                }
                logInfo(QStringLiteral("%1 : status=%2").arg(received).arg(status));
                // Taken in once the client has let go of what it held: it keeps the bytes it
                // read until this returns, its result the document until its reply goes. At
                // the bound they are hundreds of megabytes together.
                QTimer::singleShot(0, [take, status, body]() mutable { take(status, std::move(body)); });
            })
            .fail([job, maxBytes, maxValues, outcome](int status, QJsonValue body) {
                if (job->client)
                    job->client->deleteLater();
                job->client = nullptr;
                if (maxValues >= 0 && body == QJsonValue(HttpClient::tooManyValues(maxValues))) {
                    outcome.resolve(JobTooMany);
                    return;
                }
                logFailure(status, body);
                // An answer over the bound on bytes would come again; a failure of the network
                // or of the server, at whatever length, may not.
                const bool answered = status >= 200 && status < 300;
                outcome.resolve(answered && body == QJsonValue(HttpClient::tooLarge(maxBytes)) ? JobRefused : JobFailed);
            });
    });
    if (!posted) {
        delete job->client;
        job->client = nullptr;
        logError(QStringLiteral("ERROR: Worker thread is not running"));
        return false;
    }
    return true;
}

void CardBO::setState(State state, const QString &reason)
{
    if (state == m_state && reason == m_reason)
        return;
    logInfo(QStringLiteral("State changed : (%1) %2 %3")
                .arg(int(state))
                .arg(stateToStr(state), reason.isEmpty() ? QString() : QStringLiteral("(reason=%1)").arg(reason)));
    m_state = state;
    m_reason = reason;
    emit stateChanged();
}

bool CardBO::running() const
{
    // A single-shot timer is idle while its own tick runs.
    return m_tickTimer.isActive() || m_ticking;
}

void CardBO::onTick()
{
    const State state = m_state;
    const quint64 run = m_run;
    m_ticking = true;
    int interval = DefaultTickInterval;
    switch (state) {
    case Init:
        processStateInit();
        break;
    case NotRegistered:
        processStateNotRegistered();
        break;
    case Online: {
        const qint64 msec = qint64(m_config.get(QStringLiteral("card-bo/hbIntervalSec")).toInt()) * 1000;
        interval = msec < 1 ? DefaultTickInterval : int(qMin<qint64>(msec, std::numeric_limits<int>::max()));
        processStateOnline();
        break;
    }
    case Error:
        setState(Init, QStringLiteral("Recovering from error"));
        interval = ErrorTickInterval;
        break;
    default:
        break;
    }
    // A stop() from inside the step (a listener of stateChanged) keeps the link stopped, and
    // a start() after it has armed the timer already.
    if (run != m_run)
        return;
    m_ticking = false;
    m_tickTimer.start(interval);
}

void CardBO::processStateInit()
{
    if (!checkTerminalReady() || !checkTerminalRegistered())
        return;
    logInfo(QStringLiteral("Updating Data for terminal : ") + field(m_terminal.serialNum()));
    QPointer<CardBO> self(this);
    updateData()
        .thenAlias([self]() {
            if (!self) {
                Deferred<> gone;
                gone.reject();
                return gone;
            }
            return self->heartbeat();
        })
        .done([self]() {
            if (self)
                self->setState(Online, QString());
        });
}

void CardBO::processStateNotRegistered()
{
    if (!checkTerminalReady())
        return;
    QPointer<CardBO> self(this);
    registerDevice().done([self]() {
        if (self)
            self->setState(Init, QString());
    });
}

void CardBO::processStateOnline()
{
    if (!checkTerminalReady())
        return;
    QPointer<CardBO> self(this);
    const quint64 run = m_run;
    heartbeat()
        .done([self]() {
            if (self)
                self->setState(Online, QString());
        })
        .fail([self, run]() {
            // A heartbeat cut short by stop() says nothing about the link.
            if (self && self->m_run == run)
                self->setState(Error, QStringLiteral("Communication error"));
        });
}

bool CardBO::checkTerminalReady()
{
    if (m_terminal.serialNum().isEmpty()) {
        logError(QStringLiteral("ERROR: Device ID is empty"));
        setState(Error, QStringLiteral("Missing Device ID"));
        return false;
    }
    if (m_terminal.customsId().isEmpty()) {
        logError(QStringLiteral("ERROR: Customs ID is empty"));
        setState(Error, QStringLiteral("Missing Customs ID"));
        return false;
    }
    if (m_terminal.locationId().isEmpty()) {
        logError(QStringLiteral("ERROR: Location ID is empty"));
        setState(Error, QStringLiteral("Missing Location ID"));
        return false;
    }
    return true;
}

bool CardBO::checkTerminalRegistered()
{
    if (!m_database.param(QStringLiteral("apiKey")).toString().isEmpty())
        return true;
    logWarn(QStringLiteral("WARN: API key is missing. Terminal is not registered."));
    setState(NotRegistered, QStringLiteral("Missing API key"));
    return false;
}

bool CardBO::accepts(quint64 run, const QString &operation) const
{
    if (run == m_run)
        return true;
    logInfo(QStringLiteral("Ignoring the answer to '%1' : the link was stopped since it was sent").arg(operation));
    return false;
}

Deferred<> CardBO::request(HttpClient::Result exchange, const QString &operation, AnswerHandler handler,
                           LateAnswer late)
{
    Deferred<> result;
    QPointer<CardBO> self(this);
    const quint64 run = m_run;
    exchange
        .done([self, result, run, operation, handler, late](int status, QJsonValue body) {
            if (!self) {
                result.reject();
                return;
            }
            const bool current = self->m_run == run;
            if (!current && (late == LateAnswer::Ignored || !handler)) {
                self->accepts(run, operation);
                result.reject();
                return;
            }
            if (!current)
                logInfo(QStringLiteral("Taking in the answer to '%1' though the link was stopped since it was sent; "
                                       "its state stays as it is").arg(operation));
            if ((!handler || handler(status, body)) && current)
                result.resolve();
            else
                result.reject();
        })
        .fail([self, result](int status, QJsonValue body) {
            if (self)
                self->handleErrorResponse(status, body);
            result.reject();
        });
    return result;
}

void CardBO::handleErrorResponse(int status, const QJsonValue &body)
{
    logFailure(status, body);
}

Deferred<> CardBO::registerDevice()
{
    const QJsonObject document{
        {QStringLiteral("serialNumber"), m_terminal.serialNum()},
        {QStringLiteral("type"), m_terminal.type()},
        {QStringLiteral("name"), QJsonValue::Null},
        {QStringLiteral("customsId"), m_terminal.customsId()},
        {QStringLiteral("locationId"), m_terminal.locationId()},
    };
    // A back office may register a serial once only: the key in a late answer is the only one
    // the terminal will get, stop() or not.
    return request(m_client.post(createUrl(QStringLiteral("/api/v1/device/register")), document, RequestTimeout,
                                 SmallReplySize),
                   QStringLiteral("register"),
                   [this](int status, const QJsonValue &body) { return handleRegisterResponse(status, body); },
                   LateAnswer::Handled);
}

bool CardBO::handleRegisterResponse(int status, const QJsonValue &body)
{
    Q_UNUSED(status)
    const QJsonObject answer = body.toObject();
    // A key sent as a number is the same key written as text.
    const QJsonValue key = answer.value(QStringLiteral("apiKey"));
    const QString apiKey = key.isDouble() ? key.toVariant().toString() : JsonRead::text(key);
    // Without a key the terminal is no more registered than before; storing an empty one would
    // only send it round the states once more.
    if (apiKey.isEmpty()) {
        logError(QStringLiteral("ERROR: Registration answer carries no API key : ") + wholeBody(compact(answer)));
        return false;
    }
    // A blank at either end does not survive a header: the back office would never see the key.
    if (!fitsHeader(apiKey) || apiKey.trimmed() != apiKey) {
        logError(QStringLiteral("ERROR: Registration answer carries an API key no request header can carry"));
        return false;
    }
    m_database.setParam(QStringLiteral("id"), answer.value(QStringLiteral("id")).toVariant());
    if (!m_database.setParam(QStringLiteral("apiKey"), apiKey)) {
        // Reported as registered, the next tick would find no key and register again.
        logError(QStringLiteral("ERROR: Could not store the API key; the terminal stays unregistered"));
        if (m_state == NotRegistered)
            setState(NotRegistered, QStringLiteral("Could not store the API key"));
        return false;
    }
    logInfo(QStringLiteral("+-------------------------------+"));
    logInfo(QStringLiteral("|      TERMINAL REGISTERED      |"));
    logInfo(QStringLiteral("+-------------------------------+"));
    return true;
}

Deferred<> CardBO::updateData()
{
    Deferred<> result;
    if (dataUpdating()) {
        logWarn(QStringLiteral("WARN: Reference data is being fetched; not fetched again beside it"));
        result.reject();
        return result;
    }
    auto job = QSharedPointer<WorkerJob>::create();
    const Deferred<int> outcome = job->outcome;
    Database *database = &m_database;
    m_dataJob = job;
    if (!startInWorker(job, createUrl(QStringLiteral("/api/v1/device/updateData")), ReferenceDataReplySize, -1,
                       QStringLiteral("UpdateData response received"), [job, database, outcome](int, QJsonValue body) {
                           outcome.resolve(takeReferenceData(std::move(body), *database, job->cancelled));
                       })) {
        m_dataJob.reset();
        result.reject();
        return result;
    }
    QPointer<CardBO> self(this);
    const quint64 run = m_run;
    outcome.done([self, job, result, run](int code) {
        if (!self) {
            result.reject();
            return;
        }
        if (self->m_dataJob == job)
            self->m_dataJob.reset();
        if (code == JobLate)
            self->accepts(run, QStringLiteral("updateData"));
        if (code == JobDone && self->m_run == run)
            result.resolve();
        else
            result.reject();
    });
    return result;
}

QList<Database::DataRecord> CardBO::parseData(const QJsonArray &array)
{
    QList<Database::DataRecord> records;
    for (const QJsonValue &element : array) {
        const QJsonObject object = element.toObject();
        Database::DataRecord record;
        record.id = JsonRead::integer(object.value(QStringLiteral("id")));
        record.name = JsonRead::text(object.value(QStringLiteral("name")));
        record.uuid = JsonRead::text(object.value(QStringLiteral("uuid")));
        records << record;
    }
    return records;
}

Deferred<> CardBO::heartbeat()
{
    return request(m_client.post(createUrl(QStringLiteral("/api/v1/device/heartbeat")), heartbeatDocument(),
                                 RequestTimeout, HeartbeatReplySize),
                   QStringLiteral("heartbeat"),
                   [this](int status, const QJsonValue &body) { return handleHeartbeatResponse(status, body); });
}

QJsonObject CardBO::heartbeatDocument() const
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime modified = m_config.lastModified();
    return QJsonObject{
        {QStringLiteral("reportTime"), now.toString(Qt::ISODate)},
        {QStringLiteral("deviceSerial"), m_terminal.serialNum()},
        {QStringLiteral("softwareVersion"), softwareVersion()},
        {QStringLiteral("blacklistVersion"), blacklisVer()},
        {QStringLiteral("cardLevel"), cardLevelToJson()},
        {QStringLiteral("pendingTransactions"), m_database.transCount(QStringLiteral("PENDING"))},
        {QStringLiteral("uptimeSec"), m_terminal.uptime()},
        {QStringLiteral("network"), networkToJson()},
        {QStringLiteral("status"), statusToJson()},
        {QStringLiteral("config"), configToJson()},
        {QStringLiteral("configUpdatedAt"), modified.isValid() ? modified.toUTC().toString(Qt::ISODate) : QString()},
    };
}

QString CardBO::softwareVersion() const
{
    return m_terminal.update()->current();
}

QJsonValue CardBO::cardLevelToJson() const
{
    const QString level = m_terminal.cardIssuer()->cardLevel();
    if (level.isEmpty() || level == QLatin1String("missing") || level == QLatin1String("empty"))
        return QStringLiteral("EMPTY");
    if (level == QLatin1String("reserve"))
        return QStringLiteral("LOW");
    if (level == QLatin1String("normal"))
        return QStringLiteral("OK");
    if (level == QLatin1String("full"))
        return QStringLiteral("FULL");
    return QString();
}

QJsonObject CardBO::networkToJson() const
{
    const IPv4 *ipv4 = m_terminal.network()->ethernet()->ipv4();
    return QJsonObject{
        {QStringLiteral("ipv4"), ipv4->address()},
        {QStringLiteral("gway"), ipv4->gateway()},
        {QStringLiteral("dns"), QJsonArray{ipv4->dns0(), ipv4->dns1()}},
    };
}

QJsonArray CardBO::statusToJson() const
{
    auto entry = [](const QString &name, bool ok, const QString &bad, const QString &text) {
        return QJsonObject{
            {QStringLiteral("name"), name},
            {QStringLiteral("status"), ok ? QStringLiteral("OK") : bad},
            {QStringLiteral("statusText"), ok ? QStringLiteral("OK") : text},
        };
    };
    manager::RFID *rfid = m_terminal.rfid();
    manager::Dispenser *dispenser = m_terminal.dispenser();
    manager::Barrier *barrier = m_terminal.barrier();
    return QJsonArray{
        entry(QStringLiteral("RFID"), rfid->active(), QStringLiteral("ERROR"), rfid->error()),
        entry(QStringLiteral("Dispenser"), dispenser->active(), QStringLiteral("ERROR"),
              QStringLiteral("Dispenser is inactive")),
        entry(QStringLiteral("Barrier"), barrier->active(), QStringLiteral("ERROR"), barrier->reason()),
        entry(QStringLiteral("NTP"), m_terminal.clock()->ntpSynced(), QStringLiteral("WARNING"),
              QStringLiteral("Clock not synchronized")),
    };
}

QJsonArray CardBO::configToJson() const
{
    QJsonArray settings;
    const QStringList keys = m_config.keys();
    for (const QString &key : keys) {
        if (shouldExclude(key))
            continue;
        const QVariant value = m_config.get(key);
        settings.append(QJsonObject{
            {QStringLiteral("name"), key},
            {QStringLiteral("type"), mapType(value.type())},
            {QStringLiteral("value"), QJsonValue::fromVariant(value)},
        });
    }
    return settings;
}

bool CardBO::shouldExclude(const QString &key)
{
    static const QList<QRegularExpression> wantedList{
        QRegularExpression(QStringLiteral("barrier\\/.+")),
        QRegularExpression(QStringLiteral("cameras\\/.+")),
        QRegularExpression(QStringLiteral("card-bo\\/hbIntervalSec")),
        QRegularExpression(QStringLiteral("card-bo\\/hbPolicy")),
        QRegularExpression(QStringLiteral("terminal\\/collectTimeoutSec")),
    };
    for (const QRegularExpression &wanted : wantedList) {
        if (wanted.match(key).hasMatch())
            return false;
    }
    return true;
}

QString CardBO::mapType(QVariant::Type type)
{
    switch (type) {
    case QVariant::Bool:
    case QVariant::String:
        return QStringLiteral("STR");
    case QVariant::StringList:
        return QStringLiteral("CSV");
    case QVariant::Url:
        return QStringLiteral("URL");
    default:
        return QStringLiteral("NUM");
    }
}

bool CardBO::handleHeartbeatResponse(int status, const QJsonValue &body)
{
    const QJsonObject answer = body.toObject();
    logInfo(QStringLiteral("Heartbeat response received : status=%1").arg(status));
    logInfo(wholeBody(compact(answerForLog(answer))));

    const QString blacklist = JsonRead::text(answer.value(QStringLiteral("blacklistVersion")));
    // One list at a time, in the order announced: a version announced while one is being
    // fetched or applied comes with a later heartbeat.
    if (!blacklist.isEmpty() && blacklist != blacklisVer() && blacklist != m_refusedBlacklist && !blacklistUpdating()) {
        logWarn(QStringLiteral("WARN: New blacklist version available : %1 ").arg(field(blacklist)));
        QPointer<CardBO> self(this);
        updateBlacklist(blacklist).done([self, blacklist]() {
            if (self)
                self->m_database.setParam(QStringLiteral("blacklistVer"), blacklist);
        });
    }

    const QString software = JsonRead::text(answer.value(QStringLiteral("softwareVersion")));
    if (!software.isEmpty() && software != softwareVersion()) {
        const QString url = JsonRead::text(answer.value(QStringLiteral("softwareUrl")));
        const QString md5 = JsonRead::text(answer.value(QStringLiteral("softwareMd5")));
        logWarn(QStringLiteral("WARN: New software version available : ") + field(software));
        m_terminal.update()->trigger(software, url, md5);
    }

    const QString configTime = JsonRead::text(answer.value(QStringLiteral("configUpdatedAt")));
    const QDateTime backend = QDateTime::fromString(configTime, Qt::ISODate);
    const QDateTime local = m_config.lastModified();
    if (backend.isValid() && (!local.isValid() || local.toUTC() < backend.toUTC())) {
        logWarn(QStringLiteral("WARN: New configuration received (backend=%1, local=%2)")
                    .arg(backend.toLocalTime().toString(Qt::ISODate), local.toString(Qt::ISODate)));
        applyConfig(JsonRead::array(answer.value(QStringLiteral("config"))));
    }

    updateLastComms();
    return true;
}

void CardBO::applyConfig(const QJsonArray &config)
{
    // Refusals logged one by one; a flood of them is counted.
    constexpr int MaxRefusalsLogged = 20;
    int refusals = 0;
    const auto refuse = [&refusals](const QString &line) {
        if (++refusals <= MaxRefusalsLogged)
            logWarn(line);
    };
    const QStringList known = m_config.keys();
    QVariantMap changes;
    for (const QJsonValue &element : config) {
        const QJsonObject setting = element.toObject();
        const QString name = JsonRead::text(setting.value(QStringLiteral("name")));
        const QJsonValue value = setting.value(QStringLiteral("value"));
        // A nameless entry would write a key of no group; a null value would leave the key
        // without any value, not even its default.
        if (name.isEmpty() || value.isNull() || value.isUndefined()) {
            refuse(QStringLiteral("WARN: Skipping configuration entry without name or value : ")
                   + field(QString::fromUtf8(QJsonDocument(QJsonArray{element}).toJson(QJsonDocument::Compact))));
            continue;
        }
        if (!known.contains(name))
            continue;
        QVariant typed;
        const QString why = m_config.refusal(name, value, &typed, Config::From::BackOffice);
        if (!why.isEmpty()) {
            refuse(QStringLiteral("WARN: Configuration entry refused : %1 (%2)").arg(field(name), why));
            continue;
        }
        changes.insert(name, typed);
    }
    if (refusals > MaxRefusalsLogged)
        logWarn(QStringLiteral("WARN: %1 more configuration entries refused").arg(refusals - MaxRefusalsLogged));
    // One write for the whole answer.
    if (!changes.isEmpty() && !m_config.set(changes))
        logError(QStringLiteral("ERROR: Configuration from the back office not applied"));
}

Deferred<> CardBO::updateBlacklist(const QString &version)
{
    Deferred<> result;
    if (blacklistUpdating()) {
        logWarn(QStringLiteral("WARN: A blacklist update is under way; version %1 is not fetched beside it").arg(field(version)));
        result.reject();
        return result;
    }
    QUrl url = createUrl(QStringLiteral("/api/v1/device/blacklist"));
    if (!version.isEmpty()) {
        QUrlQuery query;
        addQueryText(query, QStringLiteral("after"), version);
        url.setQuery(query);
    }

    auto job = QSharedPointer<WorkerJob>::create();
    const Deferred<int> outcome = job->outcome;
    Database *database = &m_database;
    const auto take = [job, database, outcome](int, QJsonValue body) {
        auto lists = std::make_shared<std::array<QStringList, 2>>();
        const JobOutcome read = readBlacklistAnswer(std::move(body), job->cancelled, lists->data());
        if (read != JobDone) {
            outcome.resolve(read);
            return;
        }
        // Applied once the document is gone.
        QTimer::singleShot(0, [job, database, outcome, lists]() {
            if (database->blacklistApply(std::move((*lists)[0]), std::move((*lists)[1]), &job->cancelled))
                outcome.resolve(JobDone);
            else
                outcome.resolve(job->cancelled ? JobAbandoned : JobFailed);
        });
    };
    m_blacklistJob = job;
    if (!startInWorker(job, url, BlacklistReplySize, BlacklistReplyValues, QStringLiteral("Update Blacklist response received"),
                       take)) {
        m_blacklistJob.reset();
        result.reject();
        return result;
    }

    QPointer<CardBO> self(this);
    const quint64 run = m_run;
    outcome.done([self, job, result, run, version](int code) {
        if (!self) {
            result.reject();
            return;
        }
        if (self->m_blacklistJob == job)
            self->m_blacklistJob.reset();
        if (code == JobLate)
            self->accepts(run, QStringLiteral("blacklist"));
        else if (code == JobAbandoned)
            logInfo(QStringLiteral("Blacklist update given up : the link was stopped; the list stays as it was"));
        else if (code == JobTooMany)
            logError(QStringLiteral("ERROR: Blacklist answer holds more than %1 entries; nothing applied").arg(BlacklistReplyValues));
        if (code == JobRefused || code == JobTooMany) {
            self->m_refusedBlacklist = version;
            logInfo(QStringLiteral("Blacklist version %1 refused; it is not fetched again").arg(field(version)));
        }
        // A list applied after a stop keeps its version unstored: fetched again, it changes nothing.
        if (code == JobDone && self->m_run == run)
            result.resolve();
        else
            result.reject();
    });
    return result;
}

Deferred<> CardBO::sendProgress(const QString &operation, int percent)
{
    Deferred<> result;
    // An update reports far faster than a request goes out: a request each would pile up.
    if (m_progressSending) {
        m_progressQueued = true;
        m_progressOperation = operation;
        m_progressPercent = percent;
        m_progressWaiting << result;
        return result;
    }
    m_progressSending = true;
    putProgress(operation, percent, {result});
    return result;
}

void CardBO::putProgress(const QString &operation, int percent, const QList<Deferred<>> &waiting)
{
    logInfo(QStringLiteral("Sending progress : [%1%%] %2").arg(percent).arg(field(operation)));
    QUrl url = createUrl(QStringLiteral("/api/v1/device/operation/status"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("progress"), QString::number(percent));
    addQueryText(query, QStringLiteral("operation"), operation);
    url.setQuery(query);
    QPointer<CardBO> self(this);
    request(m_client.put(url, QJsonValue(), RequestTimeout, SmallReplySize), QStringLiteral("progress"), AnswerHandler())
        .done([self, waiting]() {
            for (const Deferred<> &caller : waiting)
                caller.resolve();
            if (self)
                self->progressDone();
        })
        .fail([self, waiting]() {
            for (const Deferred<> &caller : waiting)
                caller.reject();
            if (self)
                self->progressDone();
        });
}

void CardBO::progressDone()
{
    if (!m_progressQueued) {
        m_progressSending = false;
        return;
    }
    m_progressQueued = false;
    const QList<Deferred<>> waiting = m_progressWaiting;
    m_progressWaiting.clear();
    putProgress(m_progressOperation, m_progressPercent, waiting);
}

Deferred<> CardBO::clearProgress()
{
    return request(m_client.del(createUrl(QStringLiteral("/api/v1/device/operation/status")), RequestTimeout, SmallReplySize),
                   QStringLiteral("progress"), AnswerHandler());
}

void CardBO::updateLastComms()
{
    const QDateTime now = QDateTime::currentDateTime();
    if (now == m_lastComms)
        return;
    m_lastComms = now;
    emit lastCommsChanged();
}

void CardBO::onParamChanged(const QString &key, const QVariant &value)
{
    if (key == QLatin1String("apiKey")) {
        logWarn(QStringLiteral("WARN: API Key changed"));
        m_client.setHeader(QStringLiteral("X-API-Key"), value.toString());
    } else if (key == QLatin1String("blacklistVer")) {
        logInfo(QStringLiteral("New blacklist avaliable : ") + field(value.toString()));
    } else if (key == QLatin1String("softwareVer")) {
        logInfo(QStringLiteral("New software update avaliable : ") + field(value.toString()));
    }
}

void CardBO::onConfigChanged(const QVariantMap &changes)
{
    if (!Config::contains(changes, QStringLiteral("card-bo\\/.+")))
        return;
    logWarn(QStringLiteral("WARN: Configuration changed. Applying."));
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        const QString value = isSecretKey(it.key()) ? QStringLiteral("****")
                                                    : field(Config::masked(it.key(), configValueText(it.value())));
        logInfo(QStringLiteral("  %1 : %2").arg(field(it.key()), value));
    }
    initClient();
}

// Transactions

void CardBO::sendTransaction(Transaction::Ptr trans)
{
    if (!trans)
        return;
    if (!m_database.transAdd(trans))
        logError(QStringLiteral("ERROR: Could not queue transaction : ") + field(trans->toString()));
    processPendingTransactions();
}

void CardBO::processPendingTransactions()
{
    if (m_sending)
        return;
    m_sending = true;
    int due = 0;
    const Transaction::Ptr trans = m_database.transNextDue(&due);
    if (!trans) {
        m_sending = false;
        return;
    }
    logInfo(QStringLiteral("Sending transaction (remaining=%1) : %2").arg(due - 1).arg(field(trans->toString())));
    QPointer<CardBO> self(this);
    transmitTransaction(trans)
        .done([self]() {
            if (!self)
                return;
            self->m_sending = false;
            self->processPendingTransactions();
        })
        .fail([self]() {
            if (self)
                self->m_sending = false;
        });
}

Deferred<> CardBO::transmitTransaction(Transaction::Ptr trans)
{
    Deferred<> result;
    QPointer<CardBO> self(this);
    m_client.post(createUrl(QStringLiteral("/api/v1/device/transaction")), trans->toJson(), RequestTimeout,
                  SmallReplySize)
        .done([self, result, trans](int status, QJsonValue body) {
            if (self && self->handleTransResponse(trans, status, body))
                result.resolve();
            else
                result.reject();
        })
        .fail([self, result, trans](int status, QJsonValue body) {
            if (self)
                self->handleTransResponse(trans, status, body);
            result.reject();
        });
    return result;
}

bool CardBO::handleTransResponse(Transaction::Ptr trans, int status, const QJsonValue &body)
{
    Transaction::SendDetails &send = trans->sendDetails();
    send.sendStatus = QStringLiteral("PENDING");
    send.sendDate = QDateTime::currentDateTime();
    send.sendAttempts += 1;
    send.respStatus = status;
    send.respData = body.toObject();

    if (status == 200 || status == 201) {
        send.sendStatus = QStringLiteral("OK");
        send.sendSchedDate = QDateTime();
        logInfo(QStringLiteral("Transaction sent successfully : ") + field(trans->toString()));
    } else {
        handleErrorResponse(status, body);
        if (shouldRetransmit(status, body)) {
            send.sendStatus = QStringLiteral("PENDING");
            send.sendSchedDate = nextSendDate(trans);
            logInfo(QStringLiteral("Scheduling re-transmit at %1 (attempts=%2) : %3")
                        .arg(send.sendSchedDate.toString(Qt::ISODate))
                        .arg(send.sendAttempts)
                        .arg(field(trans->toString())));
        } else {
            send.sendStatus = QStringLiteral("FAILED");
            send.sendSchedDate = QDateTime();
            logWarn(QStringLiteral("WARN: Transaction will not be re-transmitted : ") + field(trans->toString()));
        }
    }

    // Unrecorded, the row would still look due and go out again at once, for ever.
    if (!m_database.transUpdate(trans)) {
        logError(QStringLiteral("ERROR: Could not record the answer for transaction : ") + field(trans->toString()));
        return false;
    }
    return true;
}

bool CardBO::shouldRetransmit(int status, const QJsonValue &body)
{
    Q_UNUSED(body)
    // 408, 425 and 429 ask to try again later, as a server error does. A redirect the client
    // did not follow (to another server, out of TLS) has not reached the back office either.
    return status == 0 || status == 401 || status == 403 || status == 408 || status == 425 || status == 429
        || (status >= 300 && status <= 399) || (status >= 500 && status <= 599);
}

QDateTime CardBO::nextSendDate(Transaction::Ptr trans) const
{
    const int attempts = trans->sendDetails().sendAttempts;
    int delay = Database::LongestRetryDelay;
    if (attempts < 4)
        delay = 60;
    else if (attempts <= 6)
        delay = 900;
    else if (attempts <= 9)
        delay = 3600;
    return QDateTime::currentDateTime().addSecs(delay);
}

} // namespace Backend
