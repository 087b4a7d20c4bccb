#include "terminal/Terminal.h"

#include "app/Config.h"
#include "app/LogQuote.h"
#include "app/RegularFile.h"
#include "backend/CardBO.h"
#include "backend/Database.h"
#include "terminal/CollectEngine.h"
#include "terminal/Engine.h"
#include "terminal/IssueEngine.h"
#include "transport/MqttClient.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMap>

#include <time.h>

namespace {

const char LogTag[] = "[Terminal] ";

const QString DeviceIdKey = QStringLiteral("terminal/deviceId");
const QString CustomsIdKey = QStringLiteral("terminal/customsId");
const QString LocationIdKey = QStringLiteral("terminal/locationId");
// The store's parameter with the code of the update's last progress report.
const QString UpdateProgressParam = QStringLiteral("updateProgress");

// Ids are a few bytes; a configured path to something endless must not stall the start.
const qint64 MaxIdFileBytes = 4096;

QString topic(const Config &config, const char *key)
{
    return config.get(QString::fromLatin1(key)).toString();
}

QString activity(bool active)
{
    return active ? QStringLiteral("active") : QStringLiteral("inactive");
}

std::optional<int> decimal(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok)
        return std::nullopt;
    return value;
}

// Whether `folder` lies inside `ancestor` (and is not the same folder).
bool isBelow(const QString &folder, const QString &ancestor)
{
    const QString prefix = ancestor.endsWith(QLatin1Char('/')) ? ancestor : ancestor + QLatin1Char('/');
    return folder.startsWith(prefix);
}

} // namespace

const QString Terminal::VendingType = QStringLiteral("CARD_VENDING_MACHINE");
const QString Terminal::CollectionType = QStringLiteral("CARD_COLLECTION_MACHINE");
const QString Terminal::SimButtonTopic = QStringLiteral("vesk/ui/button");
const QString Terminal::SimLoopPresentTopic = QStringLiteral("vesk/ui/loop/present");
const QString Terminal::SimLoopFreeTopic = QStringLiteral("vesk/ui/loop/free");
const QString Terminal::SimCameraTriggerTopic = QStringLiteral("vesk/ui/camera/trigger");

Terminal::Terminal(Config &config, manager::MqttClient &mqtt, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_mqtt(mqtt)
    , m_rfid(mqtt, topic(config, "topics/rfid"))
    , m_dispenser(mqtt, topic(config, "topics/dispenser"))
    , m_cardIssuer(m_rfid, m_dispenser)
    , m_network(mqtt, topic(config, "topics/network"))
    , m_update(mqtt, topic(config, "topics/update"))
    , m_barrier(config)
    , m_button(m_board, 0)
    , m_loop(m_board, 1)
    , m_cameras(config, mqtt)
    , m_database(new Backend::Database(config, this))
    , m_cardBO(new Backend::CardBO(config, *m_database, *this, this))
    , m_session(new Session(this))
{
    // The back-office client reads the terminal through its narrow view, so the
    // terminal makes this connection for it.
    m_progressSent.resolve();
    connect(this, &Terminal::updateProgress, m_cardBO,
            [this](const QString &operation, int percent) { m_progressSent = m_cardBO->sendProgress(operation, percent); });
    // The code last reported outlives a restart: one the broker kept meanwhile (an install that
    // restarted the program) is reported once, and its replay at the next start is not.
    bool stored = false;
    const int reported = m_database->param(UpdateProgressParam).toInt(&stored);
    if (stored)
        m_update.setReportedProgress(reported);

    init();

    for (const QString &simulation : {SimButtonTopic, SimLoopPresentTopic, SimLoopFreeTopic, SimCameraTriggerTopic})
        m_mqtt.subscribe(simulation, 0);
    connect(&m_mqtt, &manager::MqttClient::received, this, &Terminal::onSimulation);
}

Terminal::~Terminal()
{
    m_engine.reset();
    disconnectSignals();
    // The back-office client reads the devices: it goes before them.
    delete m_cardBO;
    m_cardBO = nullptr;
    delete m_database;
    m_database = nullptr;
}

QString Terminal::stateToStr(State state)
{
    static const QMap<int, QString> names{
        {Init, QStringLiteral("Init")},
        {Busy, QStringLiteral("Busy")},
        {Ready, QStringLiteral("Ready")},
        {Error, QStringLiteral("Error")},
        {Stopped, QStringLiteral("Stopped")},
    };
    return names.value(int(state), QStringLiteral("Unknown"));
}

QString Terminal::modelToType(const QString &model)
{
    if (model == QLatin1String("KTV52817"))
        return VendingType;
    if (model == QLatin1String("KTW4163"))
        return CollectionType;
    return QString();
}

// ---------------------------------------------------------------------------
// Ids

void Terminal::init()
{
    // Only the files named now are watched: a key that changed leaves its old file alone.
    const QStringList watched = m_watcher.files() + m_watcher.directories();
    if (!watched.isEmpty())
        m_watcher.removePaths(watched);

    setDeviceId(loadId(DeviceIdKey, m_config.get(DeviceIdKey).toString()));
    setCustomsId(loadId(CustomsIdKey, m_config.get(CustomsIdKey).toString()));
    setLocationId(loadId(LocationIdKey, m_config.get(LocationIdKey).toString()));
}

QString Terminal::loadId(const QString &key, const QString &value)
{
    // Only one short token is an id, however it is given: another file's content or a text
    // with line breaks must not become the id we publish, send, log and write onto cards.
    if (!Config::namesFile(value)) {
        if (Config::isIdToken(value))
            return value;
        qCritical().noquote().nospace() << LogTag << "ERROR: " << key << " holds no id (at most " << Config::MaxIdLength
                                        << " printable characters without blanks) : " << LogQuote::quote(value);
        return QString();
    }

    if (QFileInfo::exists(value)) {
        // Opened once without blocking and checked on what was opened: a pipe put in the
        // file's place cannot hold the start.
        const RegularFile::Contents file = RegularFile::readHead(value, MaxIdFileBytes);
        if (!file.ok()) {
            qCritical().noquote().nospace() << LogTag << "ERROR: Could not open file : " << LogQuote::quote(value);
            return QString();
        }
        QByteArray bytes = file.bytes;
        const int nul = bytes.indexOf('\0');
        if (nul >= 0)
            bytes.truncate(nul);
        m_watcher.addPath(value);
        const QString id = QString::fromUtf8(bytes).trimmed();
        if (!Config::isIdToken(id)) {
            qCritical().noquote().nospace() << LogTag << "ERROR: File " << LogQuote::quote(value)
                                            << " holds no id (one line of at most " << Config::MaxIdLength
                                            << " printable characters without blanks)";
            return QString();
        }
        return id;
    }

    qCritical().noquote().nospace() << LogTag << "ERROR: File does not exist : " << LogQuote::quote(value);
    watchForCreation(value, true);
    return QString();
}

void Terminal::watchForCreation(const QString &file, bool announce)
{
    // A folder that is missing too cannot be watched: its nearest existing parent is, and each
    // folder made under it moves the watch down until the file itself comes.
    QString path = QFileInfo(file).absolutePath();
    while (!QFileInfo(path).isDir() && !QDir(path).isRoot())
        path = QFileInfo(path).absolutePath();
    if (m_watcher.directories().contains(path)) {
        if (announce)
            qInfo().noquote().nospace() << LogTag << "Watching path for file creation : " << LogQuote::quote(path);
        return;
    }
    if (!m_watcher.addPath(path)) {
        qCritical().noquote().nospace() << LogTag << "ERROR: Could not watch path for file creation : "
                                        << LogQuote::quote(path);
        return;
    }
    qInfo().noquote().nospace() << LogTag << "Watching path for file creation : " << LogQuote::quote(path);
}

void Terminal::setDeviceId(const QString &id)
{
    if (id == m_deviceId)
        return;
    qInfo().noquote().nospace() << LogTag << "Device ID changed : " << LogQuote::quote(id);
    m_deviceId = id;
    emit serialNumChanged();
}

void Terminal::setCustomsId(const QString &id)
{
    if (id == m_customsId)
        return;
    qInfo().noquote().nospace() << LogTag << "Customs ID changed : " << LogQuote::quote(id);
    m_customsId = id;
    emit customsIdChanged();
}

void Terminal::setLocationId(const QString &id)
{
    if (id == m_locationId)
        return;
    qInfo().noquote().nospace() << LogTag << "Location ID changed : " << LogQuote::quote(id);
    m_locationId = id;
    emit locationIdChanged();
}

bool Terminal::fileRecentlyCreated(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return false;
    // Not every file system keeps a birth time; the inode change time is set at creation too.
    QDateTime created = info.birthTime();
    if (!created.isValid())
        created = info.metadataChangeTime();
    return created.msecsTo(QDateTime::currentDateTime()) < 2000;
}

void Terminal::reloadId(const QString &key, const QString &path)
{
    const QString id = loadId(key, path);
    if (key == DeviceIdKey)
        setDeviceId(id);
    else if (key == CustomsIdKey)
        setCustomsId(id);
    else
        setLocationId(id);
}

void Terminal::onFileChanged(const QString &path)
{
    qInfo().noquote().nospace() << LogTag << "File changed : " << LogQuote::quote(path);
    for (const QString &key : {DeviceIdKey, CustomsIdKey, LocationIdKey}) {
        if (m_config.get(key).toString() == path)
            reloadId(key, path);
    }
    // A file replaced by rename drops out of the watch.
    if (QFileInfo::exists(path) && !m_watcher.files().contains(path))
        m_watcher.addPath(path);
}

void Terminal::onDirChanged(const QString &path)
{
    qDebug().noquote().nospace() << LogTag << "Directory changed : " << LogQuote::quote(path);
    for (const QString &key : {DeviceIdKey, CustomsIdKey, LocationIdKey}) {
        const QString file = m_config.get(key).toString();
        // A file that was missing at the last load is not watched yet: its
        // creation counts even when this report comes late.
        const bool missing = QFileInfo(file).isFile() && !m_watcher.files().contains(file);
        if (fileRecentlyCreated(file) || missing) {
            qInfo().noquote().nospace() << LogTag << "File created : " << LogQuote::quote(file);
            reloadId(key, file);
        } else if (isBelow(QFileInfo(file).absolutePath(), path) && !QFileInfo::exists(file)
                   && (file.contains(QLatin1Char('/')) || file.contains(QLatin1Char('.')))) {
            // A folder on the way to a missing file may have come.
            watchForCreation(file, false);
        }
    }
}

void Terminal::onConfigChanged(const QVariantMap &changes)
{
    if (!Config::contains(changes, QStringLiteral("terminal\\/.+")))
        return;
    qWarning().noquote().nospace() << LogTag << "WARN: Configuration changed. Applying.";
    init();
}

std::optional<int> Terminal::customsNumber() const
{
    return decimal(m_customsId);
}

QString Terminal::customsName() const
{
    return m_database->findCustoms(decimal(m_customsId).value_or(0)).name;
}

QString Terminal::locationName() const
{
    return m_database->findLocation(decimal(m_locationId).value_or(0)).name;
}

int Terminal::uptime() const
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int(now.tv_sec);
}

// ---------------------------------------------------------------------------
// State

void Terminal::setState(State state, const QString &reason)
{
    if (state == m_state && reason == m_reason)
        return;
    // The card issuer's reason may carry a service's own text.
    const QString suffix =
        reason.isEmpty() ? QString() : QStringLiteral("(reason=") + LogQuote::quote(reason) + QLatin1Char(')');
    qInfo().noquote().nospace() << LogTag
                                << QStringLiteral("State changed : (%1) %2 %3").arg(int(state)).arg(stateToStr(state), suffix);
    m_state = state;
    m_reason = reason;
    emit stateChanged();
    if (state == Ready || state == Error)
        printState();
}

void Terminal::printState()
{
    const QString rule(49, QLatin1Char('-'));
    const QStringList lines{
        rule,
        QStringLiteral(" TERMINAL STATE"),
        rule,
        QStringLiteral(" Serial Num : %1").arg(LogQuote::quote(m_deviceId)),
        QStringLiteral(" Type       : %1").arg(m_type),
        QStringLiteral(" State      : %1").arg(stateToStr(m_state)),
        QStringLiteral(" Reason     : %1").arg(LogQuote::quote(m_reason)),
        QStringLiteral(" Customs    : (%1) %2").arg(LogQuote::quote(m_customsId), LogQuote::quote(customsName())),
        QStringLiteral(" Location   : (%1) %2").arg(LogQuote::quote(m_locationId), LogQuote::quote(locationName())),
        QStringLiteral(" Uptime     : %1").arg(uptime()),
        rule,
        QStringLiteral(" RFID       : %1").arg(activity(m_rfid.active())),
        QStringLiteral(" Dispenser  : %1").arg(activity(m_dispenser.active())),
        QStringLiteral(" Barrier    : %1").arg(activity(m_barrier.active())),
        QStringLiteral(" Loop       : %1").arg(m_loop.isOccupied() ? QStringLiteral("occupied") : QStringLiteral("free")),
        rule,
        QStringLiteral(" Card BO    : %1").arg(int(m_cardBO->state())),
        rule,
    };
    for (const QString &line : lines)
        qInfo().noquote().nospace() << LogTag << line;
}

void Terminal::updateState()
{
    // Stopping the back-office link reports its change while the terminal stops: an evaluation
    // then would report Ready (its state block, the idle screen) for a moment, or make an
    // engine that moves a card just before a card self-test takes the dispenser.
    if (m_stopping)
        return;
    qInfo().noquote().nospace() << LogTag << "Check state";
    if (!(checkHardware() && checkData() && checkBackend() && checkEngine()))
        return;
    // An issuer that has not heard its devices yet reports nothing, but no card can move: the lane
    // waits in Init, not Ready, until the issuer can serve.
    setState(m_cardIssuer.canServe() ? Ready : Init, QString());
}

bool Terminal::checkHardware()
{
    if (m_cardIssuer.canServe())
        return true;
    // Without a reason the issuer has only not heard the devices yet: nothing to report, and the
    // engine waits for it to serve before it moves a card or opens a session (see updateState).
    if (m_cardIssuer.state() == manager::CardIssuer::Init && m_cardIssuer.reason().isEmpty())
        return true;
    setState(Error, m_cardIssuer.reason());
    return false;
}

bool Terminal::checkData()
{
    QString reason;
    if (m_deviceId.isEmpty())
        reason = QStringLiteral("Missing Device id");
    else if (m_customsId.isEmpty())
        reason = QStringLiteral("Missing Customs id");
    else if (!customsNumber())
        reason = QStringLiteral("Invalid Customs id"); // it is written on every card as a number
    else if (m_locationId.isEmpty())
        reason = QStringLiteral("Missing Location id");
    else if (m_type.isEmpty())
        reason = QStringLiteral("Missing Terminal type");
    if (reason.isEmpty())
        return true;
    setState(Error, reason);
    return false;
}

bool Terminal::checkBackend()
{
    if (!m_cardBO) {
        setState(Error, QStringLiteral("No backend instance"));
        return false;
    }
    if (m_cardBO->state() == Backend::CardBO::NotRegistered) {
        setState(Error, QStringLiteral("Terminal not registered"));
        return false;
    }
    return true;
}

bool Terminal::checkEngine()
{
    if (m_engine)
        return true;
    if (createEngine(m_type))
        return true;
    setState(Error, QStringLiteral("Unsupported dispenser model"));
    return false;
}

QSharedPointer<Engine> Terminal::createEngine(const QString &type)
{
    qInfo().noquote().nospace() << LogTag << "Creating terminal engine for : " << type;
    QSharedPointer<Engine> engine;
    if (type == VendingType) {
        engine.reset(new IssueEngine(this));
    } else if (type == CollectionType) {
        engine.reset(new CollectEngine(this));
    } else {
        qCritical().noquote().nospace() << LogTag << "ERROR: Terminal type not supported";
        return engine;
    }
    connect(engine.data(), &Engine::sessionStarted, this, &Terminal::sessionStarted);
    connect(engine.data(), &Engine::sessionFinished, this, &Terminal::sessionFinished);
    // Stored first: starting it may change the card issuer's state, and the
    // evaluation that follows must find this engine instead of making another.
    m_engine = engine;
    engine->start();
    emit sessionChanged();
    return engine;
}

void Terminal::onModelChanged()
{
    const QString model = m_dispenser.model();
    qWarning().noquote().nospace() << LogTag << "WARN: Dispenser model changed : " << LogQuote::quote(model);
    setType(modelToType(model));
}

void Terminal::setType(const QString &type)
{
    if (type == m_type)
        return;
    m_type = type;
    emit typeChanged();
}

void Terminal::onTypeChanged()
{
    qWarning().noquote().nospace() << LogTag << "WARN: Terminal type changed : " << m_type;
    // Released without stop(): the next engine starts over from Stopped. With no type, no
    // engine follows: a session left open (a card waiting in the mouth) would stay open for
    // good, keeping the lane occupied and card self-tests refused.
    if (m_type.isEmpty() && m_engine)
        m_engine->stop();
    m_engine.reset();
    updateState();
}

void Terminal::onUpdateProgress()
{
    reportUpdate(m_update.status(), m_update.progressPercent());
}

void Terminal::reportUpdate(const QString &status, int percent)
{
    if (status == QLatin1String("Downloading"))
        emit updateProgress(QStringLiteral("Downloading"), percent);
    if (status == QLatin1String("Installing"))
        emit updateProgress(QStringLiteral("Installing"), 0);
    if (status.contains(QLatin1String("failed")))
        emit updateProgress(status, 100);
    if (status == QLatin1String("Installation success"))
        emit updateProgress(QStringLiteral("Updated"), 100);
}

void Terminal::start()
{
    if (m_state != Init && m_state != Stopped)
        return;
    qInfo().noquote().nospace() << LogTag << "Starting Terminal engine";
    // An id file replaced while the terminal was stopped is seen now.
    init();
    connectSignals();
    // Starting the link is evaluated at once: an engine made by that evaluation has started itself.
    const QSharedPointer<Engine> engine = m_engine;
    // The dispenser announces only changes: one made while stopped is taken now.
    if (modelToType(m_dispenser.model()) != m_type)
        onModelChanged();
    m_cardBO->start();
    if (engine && engine == m_engine)
        engine->start();
    // A progress code taken while stopped (a self-test stops the terminal), or one the back
    // office did not take, is told now: the end of an install it ended, whatever came since.
    const int code = m_update.reportedProgress();
    if (code != m_database->param(UpdateProgressParam).toInt()) {
        reportUpdate(manager::Update::codeStatus(code), 100);
        storeReportedProgress();
    }
    updateState();
}

void Terminal::storeReportedProgress()
{
    const int code = m_update.reportedProgress();
    QPointer<Terminal> self(this);
    m_progressSent.done([self, code] {
        if (self)
            self->m_database->setParam(UpdateProgressParam, code);
    });
}

void Terminal::stop()
{
    if (m_state == Stopped)
        return;
    qInfo().noquote().nospace() << LogTag << "Stopping Terminal engine";
    m_stopping = true;
    m_cardBO->stop();
    m_stopping = false;
    if (m_engine)
        m_engine->stop();
    disconnectSignals();
    setState(Stopped, QStringLiteral("User request"));
}

void Terminal::connectSignals()
{
    connect(&m_config, &Config::configChanged, this, &Terminal::onConfigChanged);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &Terminal::onFileChanged);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &Terminal::onDirChanged);
    connect(&m_update, &manager::Update::progressPercentChanged, this, &Terminal::onUpdateProgress);
    connect(&m_update, &manager::Update::statusChanged, this, &Terminal::onUpdateProgress);
    connect(&m_update, &manager::Update::reportedProgressChanged, this, &Terminal::storeReportedProgress);
    connect(&m_dispenser, &manager::Dispenser::modelChanged, this, &Terminal::onModelChanged);
    connect(&m_cardIssuer, &manager::CardIssuer::stateChanged, this, &Terminal::updateState);
    connect(m_cardBO, &Backend::CardBO::stateChanged, this, &Terminal::updateState);
    connect(this, &Terminal::typeChanged, this, &Terminal::onTypeChanged);
    connect(this, &Terminal::serialNumChanged, this, &Terminal::updateState);
    connect(this, &Terminal::customsIdChanged, this, &Terminal::updateState);
    connect(this, &Terminal::locationIdChanged, this, &Terminal::updateState);
}

void Terminal::disconnectSignals()
{
    QObject::disconnect(&m_config, nullptr, this, nullptr);
    QObject::disconnect(&m_watcher, nullptr, this, nullptr);
    QObject::disconnect(&m_update, nullptr, this, nullptr);
    QObject::disconnect(&m_dispenser, nullptr, this, nullptr);
    QObject::disconnect(&m_cardIssuer, nullptr, this, nullptr);
    if (m_cardBO)
        QObject::disconnect(m_cardBO, nullptr, this, nullptr);
    QObject::disconnect(this, nullptr, this, nullptr);
}

// ---------------------------------------------------------------------------
// Simulation

void Terminal::onSimulation(const QByteArray &data, const QByteArray &topic, bool retained)
{
    Q_UNUSED(data)
    const bool acting = topic == SimButtonTopic.toLatin1() || topic == SimLoopPresentTopic.toLatin1()
                        || topic == SimCameraTriggerTopic.toLatin1();
    // The broker hands a kept message to every new subscription: after each reconnection it
    // would stand in for a driver or a vehicle that is not there.
    if (acting && retained) {
        qWarning().noquote().nospace() << LogTag << "WARN: Ignoring retained message on " << topic;
        return;
    }
    if (topic == SimButtonTopic.toLatin1()) {
        qInfo().noquote().nospace() << LogTag << "On button pressed from MQTT";
        if (m_engine)
            m_engine->simButtonPressed();
    } else if (topic == SimLoopPresentTopic.toLatin1()) {
        qInfo().noquote().nospace() << LogTag << "On Vehicle Present from MQTT";
        if (m_engine)
            m_engine->simLoopPresent();
    } else if (topic == SimCameraTriggerTopic.toLatin1()) {
        // One simulated cycle at a time: a flood would otherwise queue a cycle per message.
        if (m_simulatedCycle) {
            qWarning().noquote().nospace() << LogTag
                                           << "WARN: Ignoring camera trigger from MQTT: a simulated cycle is running";
            return;
        }
        qInfo().noquote().nospace() << LogTag << "On Camera trigger from MQTT";
        m_simulatedCycle = true;
        m_cameras.cameraProcess(QString()).done([this](QMap<QString, QString>) { m_simulatedCycle = false; });
    }
}
