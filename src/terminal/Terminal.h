#pragma once

#include "async/Deferred.h"
#include "backend/TerminalView.h"
#include "camera/CameraManager.h"
#include "card/CardIssuer.h"
#include "card/Dispenser.h"
#include "card/RFID.h"
#include "devices/Barrier.h"
#include "devices/Button.h"
#include "devices/Clock.h"
#include "devices/Loop.h"
#include "devices/MIOBoard.h"
#include "devices/Network.h"
#include "devices/Update.h"
#include "terminal/Session.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QVariantMap>

#include <optional>

class Config;
class Engine;

namespace Backend {
class CardBO;
class Database;
} // namespace Backend

namespace manager {
class MqttClient;
} // namespace manager

// The whole terminal: owns the device clients, the cameras, the local store
// and the back-office link, keeps its ids current from their files, decides
// whether it can serve vehicles, and runs the engine for its type.
class Terminal : public QObject, public Backend::TerminalView
{
    Q_OBJECT
    Q_PROPERTY(QString type READ type NOTIFY typeChanged)
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString reason READ reason NOTIFY stateChanged)
    Q_PROPERTY(QString serialNum READ serialNum NOTIFY serialNumChanged)
    Q_PROPERTY(QString customsId READ customsId NOTIFY customsIdChanged)
    Q_PROPERTY(QString locationId READ locationId NOTIFY locationIdChanged)
    Q_PROPERTY(QString customsName READ customsName NOTIFY customsIdChanged)
    Q_PROPERTY(QString locationName READ locationName NOTIFY locationIdChanged)
    Q_PROPERTY(int uptime READ uptime NOTIFY uptimeChanged)
    Q_PROPERTY(Session *session READ session NOTIFY sessionChanged)
    Q_PROPERTY(manager::RFID *rfid READ rfid CONSTANT)
    Q_PROPERTY(manager::Dispenser *dispenser READ dispenser CONSTANT)
    Q_PROPERTY(manager::Network *network READ network CONSTANT)
    Q_PROPERTY(manager::Update *update READ update CONSTANT)
    Q_PROPERTY(manager::MIOBoard *board READ board CONSTANT)
    Q_PROPERTY(manager::Clock *clock READ clock CONSTANT)
    Q_PROPERTY(manager::Button *button READ button CONSTANT)
    Q_PROPERTY(manager::Loop *loop READ loop CONSTANT)

public:
    // The numbers travel in the status document: never renumber.
    enum State { Init = 0, Busy = 1, Ready = 2, Error = 3, Stopped = 4 };
    Q_ENUM(State)

    static const QString VendingType;    // "CARD_VENDING_MACHINE"
    static const QString CollectionType; // "CARD_COLLECTION_MACHINE"

    // The fixed simulation topics, from construction on.
    static const QString SimButtonTopic;
    static const QString SimLoopPresentTopic;
    static const QString SimLoopFreeTopic;
    static const QString SimCameraTriggerTopic;

    Terminal(Config &config, manager::MqttClient &mqtt, QObject *parent = nullptr);
    ~Terminal() override;

    static QString stateToStr(State state);
    static QString modelToType(const QString &model);
    // True when the file exists and was created less than 2000 ms ago.
    static bool fileRecentlyCreated(const QString &path);

    QString type() const override { return m_type; }
    State state() const { return m_state; }
    QString reason() const { return m_reason; }
    QString serialNum() const override { return m_deviceId; }
    QString customsId() const override { return m_customsId; }
    QString locationId() const override { return m_locationId; }
    // The customs id as the number written on and compared with cards; none
    // when the id is no decimal number.
    std::optional<int> customsNumber() const;
    QString customsName() const;
    QString locationName() const;
    int uptime() const override;
    Session *session() const { return m_session; }
    QSharedPointer<Engine> engine() const { return m_engine; }
    Config &config() const { return m_config; }

    manager::RFID *rfid() override { return &m_rfid; }
    manager::Dispenser *dispenser() override { return &m_dispenser; }
    manager::CardIssuer *cardIssuer() override { return &m_cardIssuer; }
    manager::Network *network() override { return &m_network; }
    manager::Update *update() override { return &m_update; }
    manager::MIOBoard *board() { return &m_board; }
    manager::Barrier *barrier() override { return &m_barrier; }
    manager::Clock *clock() override { return &m_clock; }
    manager::Button *button() { return &m_button; }
    manager::Loop *loop() { return &m_loop; }
    manager::CameraManager *cameras() { return &m_cameras; }
    Backend::Database *database() { return m_database; }
    Backend::CardBO *cardBO() { return m_cardBO; }

    void setDeviceId(const QString &id);
    void setCustomsId(const QString &id);
    void setLocationId(const QString &id);

    // Loads the three ids from their files or literals.
    void init();
    QString loadId(const QString &key, const QString &value);

    void setState(State state, const QString &reason);
    void updateState();
    bool checkHardware();
    bool checkData();
    bool checkBackend();
    bool checkEngine();
    void printState();

public slots:
    void start();
    void stop();

signals:
    void typeChanged();
    void stateChanged();
    void serialNumChanged();
    void customsIdChanged();
    void locationIdChanged();
    void uptimeChanged();
    void updateProgress(QString oper, int progress);
    void sessionChanged();
    void sessionStarted();
    void sessionFinished();

private:
    void onFileChanged(const QString &path);
    void onDirChanged(const QString &path);
    // Watches the nearest existing folder of a missing id file; `announce` logs a watch already set.
    void watchForCreation(const QString &file, bool announce);
    void onConfigChanged(const QVariantMap &changes);
    void onModelChanged();
    void setType(const QString &type);
    void onTypeChanged();
    void onUpdateProgress();
    // Tells the link of the update's status, as far as the back office follows it.
    void reportUpdate(const QString &status, int percent);
    // Stores the update's last progress code once the link's report before it is through.
    void storeReportedProgress();
    // Creates the engine for the type, stores it, then starts it.
    QSharedPointer<Engine> createEngine(const QString &type);
    void connectSignals();
    void disconnectSignals();
    void onSimulation(const QByteArray &data, const QByteArray &topic, bool retained);
    // Reloads the id of the key whose configured value is `path`.
    void reloadId(const QString &key, const QString &path);

    Config &m_config;
    QFileSystemWatcher m_watcher;
    manager::MqttClient &m_mqtt;
    manager::RFID m_rfid;
    manager::Dispenser m_dispenser;
    manager::CardIssuer m_cardIssuer;
    manager::Network m_network;
    manager::Update m_update;
    // The link's outcome for the last progress report: a code counts as reported once it is
    // through, so that one the back office did not take is told again at the next start.
    Deferred<> m_progressSent;
    manager::MIOBoard m_board;
    manager::Barrier m_barrier;
    manager::Clock m_clock;
    manager::Button m_button;
    manager::Loop m_loop;
    manager::CameraManager m_cameras;
    // A camera cycle asked for on the trigger topic is running.
    bool m_simulatedCycle = false;
    Backend::Database *m_database;
    Backend::CardBO *m_cardBO;
    QString m_type;
    State m_state = Init;
    QString m_reason;
    QString m_deviceId;
    QString m_customsId;
    QString m_locationId;
    Session *m_session;
    QSharedPointer<Engine> m_engine;
    // Inside stop(), while the link's stop is evaluated.
    bool m_stopping = false;
};
