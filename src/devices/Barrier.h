#pragma once

#include "async/Deferred.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

class Config;

namespace manager {

// The lane's boom barrier: its state with a reason, whether the boom is open,
// and the controller's two detector loops. The decoders turn the controller's
// status and loop words into that state; the link that would read those
// words from the controller is not there yet, so in the running system the
// barrier stays "Disconnected".
class Barrier : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString manufacturer READ manufacturer NOTIFY manufacturerChanged)
    Q_PROPERTY(QString model READ model NOTIFY modelChanged)
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString reason READ reason NOTIFY stateChanged)
    Q_PROPERTY(bool isOpen READ isOpen NOTIFY isOpenChanged)
    Q_PROPERTY(bool loopA READ loopA NOTIFY loopAChanged)
    Q_PROPERTY(bool loopB READ loopB NOTIFY loopBChanged)

public:
    // The numbers travel in the status document.
    enum State { Init = 0, Busy = 1, Ready = 2, Error = 3 };
    Q_ENUM(State)

    explicit Barrier(Config &config, QObject *parent = nullptr);
    ~Barrier() override;

    static QString stateToStr(int state);
    // "host:port" or a full URL; the scheme defaults to tcp.
    static QUrl parseUrl(const QString &text);

    QString manufacturer() const;
    QString model() const;
    State state() const { return m_state; }
    QString reason() const { return m_reason; }
    bool isOpen() const { return m_isOpen; }
    bool loopA() const { return m_loopA & 0x1; }
    bool loopB() const { return m_loopB & 0x1; }
    // Busy or Ready: the controller answers.
    bool active() const { return m_state == Busy || m_state == Ready; }

    // Resolved at once: there is no controller link to send it to.
    Deferred<> open();

    void setState(State state, const QString &reason);
    void setIsOpen(bool open);
    // The controller's 32-bit status word and 16-bit loop words.
    void setStatus(unsigned int status);
    void setLoopA(unsigned short flags);
    void setLoopB(unsigned short flags);

    void onConfigChanged(const QVariantMap &changes);

signals:
    void manufacturerChanged();
    void modelChanged();
    void stateChanged();
    void isOpenChanged();
    void loopAChanged();
    void loopBChanged();
    void barrierOpened();
    void barrierClosed();

private:
    void initTimers();
    void initClient();
    void readStatus();
    void setLoop(char name, unsigned short &stored, unsigned short flags, void (Barrier::*changed)());

    Config &m_config;
    State m_state = Init;
    QString m_reason;
    bool m_isOpen = false;
    unsigned int m_status = 0;
    unsigned short m_loopA = 0;
    unsigned short m_loopB = 0;
    QTimer m_statusTimer;
    QTimer m_reconnectTimer;
};

} // namespace manager
