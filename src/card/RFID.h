#pragma once

#include "async/Deferred.h"
#include "card/Card.h"
#include "transport/MqttDevice.h"

namespace manager {

// Client of the RFID reader service: mirrors its identity and reader state,
// keeps the card last reported in the field, and offers the reader commands.
class RFID : public MqttDevice
{
    Q_OBJECT
    Q_PROPERTY(QString uid READ uid NOTIFY uidChanged)
    Q_PROPERTY(QString manufacturer READ manufacturer NOTIFY manufacturerChanged)
    Q_PROPERTY(QString model READ model NOTIFY modelChanged)
    Q_PROPERTY(QString firmware READ firmware NOTIFY firmwareChanged)
    Q_PROPERTY(QString software READ software NOTIFY softwareChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(Tag::Ptr activeCard READ activeCard NOTIFY activeCardChanged)
    Q_PROPERTY(bool active READ active NOTIFY stateChanged)

public:
    // The service's numbers; any number it sends is kept as it comes.
    enum State : int { Init = 0, Idle = 1, Searching = 2, CardFound = 3, Updating = 4, Error = 5 };
    Q_ENUM(State)

    struct Result
    {
        Tag::Ptr card;
        QString error;
        // The service answered the command, completed or refused. A command that got no answer
        // (no connection, no reply in time, or a wait for a card) leaves it false.
        bool answered = false;
    };

    RFID(MqttClient &mqtt, const QString &base, QObject *parent = nullptr);
    ~RFID() override;

    QString uid() const { return m_uid; }
    QString manufacturer() const { return m_manufacturer; }
    QString model() const { return m_model; }
    QString firmware() const { return m_firmware; }
    QString software() const { return m_software; }
    QString error() const { return m_error; }
    State state() const { return m_state; }
    Tag::Ptr activeCard() const { return m_activeCard; }
    bool active() const;

    static QString stateToStr(State state);
    // The card of a card envelope: a RUDIv1Card for the template "RUDIv1",
    // null for anything else.
    static Tag::Ptr cardFactory(const QJsonObject &object);
    // The uid of a card for log lines; "<none>" without one.
    static QString uidOf(const Tag::Ptr &card);

    Deferred<Result> enable(bool autoread);
    Deferred<Result> disable();
    Deferred<Result> createCard(const QString &templateName);
    Deferred<Result> readCard(const QString &templateName, int usageLogs);
    Deferred<Result> writeCard(Card::Ptr card);
    // Resolves with the card in the field; never with a null card.
    Deferred<Result> waitCardFound(int msec);

    bool beepValid();
    bool beepInvalid();

    void setActiveCard(Tag::Ptr card);
    void setUid(const QString &uid);
    void setManufacturer(const QString &manufacturer);
    void setModel(const QString &model);
    void setFirmware(const QString &firmware);
    void setSoftware(const QString &software);
    void setError(const QString &error);
    void setState(State state);

signals:
    void uidChanged();
    void manufacturerChanged();
    void modelChanged();
    void firmwareChanged();
    void softwareChanged();
    void stateChanged();
    void errorChanged();
    void activeCardChanged();
    void cardFound(Tag::Ptr tag);
    void cardRemoved(Tag::Ptr tag);
    void cardAutoread(Card::Ptr card);
    void cardAutoreadFailed(QString error);
    void updateProgress(int percent, int minutes, int seconds);

protected:
    void logParseError(const QString &topic, const QByteArray &payload, const QString &error) const override;

private:
    Deferred<Result> command(const QString &suffix, const QJsonObject &request);
    Deferred<Result> waitNextCardFound(int msec);
    void onInfo(const QJsonObject &doc);
    void onStatus(const QJsonObject &doc);
    void onOffline();
    void onCardFound(const QJsonObject &doc);
    void onCardRemoved();
    void onAutoread(const QJsonObject &doc);

    QString m_uid;
    QString m_manufacturer;
    QString m_model;
    QString m_firmware;
    QString m_software;
    State m_state = Init;
    QString m_error;
    Tag::Ptr m_activeCard;
};

} // namespace manager

Q_DECLARE_METATYPE(manager::RFID::Result)
