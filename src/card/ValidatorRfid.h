#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include "card/SAM.h"

// The RFID reader of a validator with the secure access modules in its
// slots, as the validator pages show them. Filled from the reader's
// information and status documents.
class ValidatorRfid : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool active READ active NOTIFY activeChanged)
    Q_PROPERTY(bool enabled READ enabled NOTIFY enabledChanged)
    Q_PROPERTY(int numberOfSlots READ numberOfSlots NOTIFY numberOfSlotsChanged)
    Q_PROPERTY(QString state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(QString firmware READ firmware NOTIFY firmwareChanged)
    Q_PROPERTY(QString version READ version NOTIFY versionChanged)
    Q_PROPERTY(QString manufacturer READ manufacturer NOTIFY manufacturerChanged)
    Q_PROPERTY(QString model READ model NOTIFY modelChanged)
    Q_PROPERTY(QString deviceUid READ deviceUid NOTIFY deviceUidChanged)
    Q_PROPERTY(SAM *sam READ sam NOTIFY samChanged)

public:
    explicit ValidatorRfid(QObject *parent = nullptr);
    ~ValidatorRfid() override;

    // An information document (it has "firmware") and/or a status document
    // (it has "state"); anything else changes nothing.
    ValidatorRfid *fromJson(const QJsonObject &json);
    void parseInfo(const QJsonObject &json);
    void parseStatus(const QJsonObject &json);

    // The reader's state numbers by name; "Unknown" for any other number.
    static QString mapState(int number);

    bool active() const { return m_active; }
    // The RF field is on.
    bool enabled() const;
    int numberOfSlots() const { return m_slots.size(); }
    QString state() const { return m_state; }
    QString error() const { return m_error; }
    QString firmware() const { return m_firmware; }
    QString version() const { return m_version; }
    QString manufacturer() const { return m_manufacturer; }
    QString model() const { return m_model; }
    QString deviceUid() const { return m_deviceUid; }
    // The module of the first listed slot; null when none is listed.
    SAM *sam() const;

    QList<bool> slotFlags() const { return m_slots; }
    QList<SAM *> sams() const { return m_sams; }

    void setActive(bool active);
    void setFirmware(const QString &firmware);
    void setVersion(const QString &version);
    void setManufacturer(const QString &manufacturer);
    void setModel(const QString &model);
    void setDeviceUid(const QString &uid);
    void setError(const QString &error);
    void setState(const QString &state);
    // One flag per slot, each element read as a bool.
    void setSlots(const QJsonArray &flags);
    // Replaces every module with one per element, in order; the old ones are
    // deleted later, as a page may still be bound to them.
    void setSams(const QJsonArray &sams);

signals:
    void activeChanged();
    void enabledChanged();
    void numberOfSlotsChanged();
    void stateChanged();
    void errorChanged();
    void firmwareChanged();
    void versionChanged();
    void manufacturerChanged();
    void modelChanged();
    void deviceUidChanged();
    void samChanged();

private:
    bool m_active = false;
    QString m_state;
    QString m_error;
    QString m_firmware;
    QString m_version;
    QString m_manufacturer;
    QString m_model;
    QString m_deviceUid;
    QList<bool> m_slots;
    QList<SAM *> m_sams;
};
