#pragma once

#include "card/RUDIv1Card.h"

#include <QDateTime>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QVariantMap>

// The record of the vehicle passage the terminal is handling now. The engines
// fill it and move it through its states; the screens observe it. Every setter
// announces real changes only.
class Session : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool result READ result WRITE setResult NOTIFY resultChanged)
    Q_PROPERTY(QString error READ error WRITE setError NOTIFY errorChanged)
    Q_PROPERTY(QDateTime start READ start WRITE setStart NOTIFY startChanged)
    Q_PROPERTY(QDateTime end READ end WRITE setEnd NOTIFY endChanged)
    Q_PROPERTY(QString uuid READ uuid WRITE setUuid NOTIFY uuidChanged)
    Q_PROPERTY(QString type READ type WRITE setType NOTIFY typeChanged)
    Q_PROPERTY(QString deviceId READ deviceId WRITE setDeviceId NOTIFY deviceIdChanged)
    Q_PROPERTY(QString customsId READ customsId WRITE setCustomsId NOTIFY customsIdChanged)
    Q_PROPERTY(QString locationId READ locationId WRITE setLocationId NOTIFY locationIdChanged)
    Q_PROPERTY(QVariantMap readings READ readings WRITE setReadings NOTIFY readingsChanged)
    Q_PROPERTY(QString cardId READ cardId WRITE setCardId NOTIFY cardIdChanged)
    Q_PROPERTY(bool cardReturned READ cardReturned WRITE setCardReturned NOTIFY cardReturnedChanged)
    Q_PROPERTY(bool buttonPressed READ buttonPressed WRITE setButtonPressed NOTIFY buttonPressedChanged)

public:
    // The numbers travel in signals and log lines: never renumber.
    enum State : qint32 {
        Stopped = 0,
        Idle = 1,
        DataCollect = 2,
        WaitUser = 3,
        Permission = 4,
        CardProcess = 5,
        WaitCollect = 6,
        Exit = 7,
        PostExit = 8,
        Error = 9,
    };
    Q_ENUM(State)

    explicit Session(QObject *parent = nullptr);

    static QString stateToStr(State state);

    State state() const { return m_state; }
    void setState(State state);

    bool result() const { return m_result; }
    QString error() const { return m_error; }
    QDateTime start() const { return m_start; }
    QDateTime end() const { return m_end; }
    QString uuid() const { return m_uuid; }
    QString type() const { return m_type; }
    QString deviceId() const { return m_deviceId; }
    QString customsId() const { return m_customsId; }
    QString locationId() const { return m_locationId; }
    QVariantMap readings() const { return m_readings; }
    QString cardId() const { return m_cardId; }
    QSharedPointer<RUDIv1Card> card() const { return m_card; }
    bool cardReturned() const { return m_cardReturned; }
    bool buttonPressed() const { return m_buttonPressed; }

    void setResult(bool result);
    void setError(const QString &error);
    void setStart(const QDateTime &start);
    void setEnd(const QDateTime &end);
    void setUuid(const QString &uuid);
    void setType(const QString &type);
    void setDeviceId(const QString &deviceId);
    void setCustomsId(const QString &customsId);
    void setLocationId(const QString &locationId);
    // Replaces the whole map; keys missing from the new one are gone.
    void setReadings(const QVariantMap &readings);
    void setCardId(const QString &cardId);
    // Not a property: no comparison, no signal.
    void setCard(const QSharedPointer<RUDIv1Card> &card);
    void setCardReturned(bool cardReturned);
    void setButtonPressed(bool buttonPressed);

    // The readings of a fresh record: both plates, empty.
    static QVariantMap emptyReadings();

signals:
    void stateChanged(Session::State prev, Session::State curr);
    void resultChanged();
    void errorChanged();
    void startChanged();
    void endChanged();
    void uuidChanged();
    void typeChanged();
    void deviceIdChanged();
    void customsIdChanged();
    void locationIdChanged();
    void readingsChanged();
    void cardIdChanged();
    void cardReturnedChanged();
    void buttonPressedChanged();

private:
    State m_state = Stopped;
    bool m_result = false;
    QString m_error;
    QDateTime m_start;
    QDateTime m_end;
    QString m_uuid;
    QString m_type;
    QString m_deviceId;
    QString m_customsId;
    QString m_locationId;
    QVariantMap m_readings;
    QString m_cardId;
    QSharedPointer<RUDIv1Card> m_card;
    bool m_cardReturned = false;
    bool m_buttonPressed = false;
};

Q_DECLARE_METATYPE(Session::State)
