#pragma once

#include "async/Deferred.h"
#include "transport/MqttDevice.h"

namespace manager {

// Client of the card dispenser service: mirrors the dispenser's identity and
// sensor flags, turns its card events into signals and offers the mechanical
// commands.
class Dispenser : public MqttDevice
{
    Q_OBJECT
    Q_PROPERTY(QString manufacturer READ manufacturer NOTIFY manufacturerChanged)
    Q_PROPERTY(QString model READ model NOTIFY modelChanged)
    Q_PROPERTY(QString firmware READ firmware NOTIFY firmwareChanged)
    Q_PROPERTY(QString software READ software NOTIFY softwareChanged)
    Q_PROPERTY(QString cartridge READ cartridge NOTIFY cartridgeChanged)
    Q_PROPERTY(bool active READ active NOTIFY activeChanged)
    Q_PROPERTY(bool isJammed READ isJammed NOTIFY isJammedChanged)
    Q_PROPERTY(bool isDoorOpen READ isDoorOpen NOTIFY isDoorOpenChanged)
    Q_PROPERTY(bool cardInMouth READ cardInMouth NOTIFY cardInMouthChanged)
    Q_PROPERTY(bool cardInRfid READ cardInRfid NOTIFY cardInRfidChanged)
    Q_PROPERTY(int cartridgePercent READ cartridgePercent NOTIFY cartridgePercentChanged)

public:
    struct Result
    {
        int code = 0; // 0 success, -1 the exchange failed, else the service's code
        QString description;
    };

    Dispenser(MqttClient &mqtt, const QString &base, QObject *parent = nullptr);
    ~Dispenser() override;

    QString manufacturer() const { return m_manufacturer; }
    QString model() const { return m_model; }
    QString firmware() const { return m_firmware; }
    QString software() const { return m_software; }
    QString cartridge() const { return m_cartridge; }
    bool active() const { return m_active; }
    bool isJammed() const { return m_isJammed; }
    bool isDoorOpen() const { return m_isDoorOpen; }
    bool cardInMouth() const { return m_cardInMouth; }
    bool cardInRfid() const { return m_cardInRfid; }
    int cartridgePercent() const { return m_cartridgePercent; }

    Deferred<Result> accept();
    Deferred<Result> issue();
    Deferred<Result> dispose();
    Deferred<Result> eject();
    Deferred<Result> collect();
    Deferred<Result> enableAccept();
    Deferred<Result> disableAccept();
    // Waits for the driver to take the card; 0 seconds waits without end.
    Deferred<Result> waitCollect(int sec);
    // Bit 0 lights the red LED, bit 1 the green one.
    bool setLEDs(quint8 leds);

    void setManufacturer(const QString &manufacturer);
    void setModel(const QString &model);
    void setFirmware(const QString &firmware);
    void setSoftware(const QString &software);
    void setActive(bool active);
    void setIsJammed(bool isJammed);
    void setIsDoorOpen(bool isDoorOpen);
    void setCardInMouth(bool cardInMouth);
    void setCardInRfid(bool cardInRfid);
    void setCartridge(const QString &cartridge);
    void setCartridgePercent(int cartridgePercent);

signals:
    void manufacturerChanged();
    void modelChanged();
    void firmwareChanged();
    void softwareChanged();
    void activeChanged();
    void isJammedChanged();
    void isDoorOpenChanged();
    void cardInMouthChanged();
    void cardInRfidChanged();
    void cartridgeChanged();
    void cartridgePercentChanged();
    void sensorsChanged();
    void cardInserted();
    void cardRemoved();
    void cardDisposed();

protected:
    void logParseError(const QString &topic, const QByteArray &payload, const QString &error) const override;

private:
    Deferred<Result> command(const QString &suffix);
    void onInfo(const QJsonObject &doc);
    void onStatus(const QJsonObject &doc);

    QString m_manufacturer;
    QString m_model;
    QString m_firmware;
    QString m_software;
    bool m_active = false;
    bool m_isJammed = false;
    bool m_isDoorOpen = false;
    bool m_cardInMouth = false;
    bool m_cardInRfid = false;
    QString m_cartridge;
    int m_cartridgePercent = 0;
};

} // namespace manager

Q_DECLARE_METATYPE(manager::Dispenser::Result)
