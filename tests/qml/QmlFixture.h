#pragma once

#include <QObject>
#include <QQmlEngine>
#include <QScopedPointer>
#include <QTemporaryDir>
#include <QTranslator>

class Config;
class EventManager;

// What the QML tests need from C++: the real event log on a temporary file,
// the Greek translation switched on and off, and the input method in use.
class QmlFixture : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString inputMethod READ inputMethod CONSTANT)

public:
    QmlFixture(QQmlEngine &engine, const QString &inputMethod, QObject *parent = nullptr);
    ~QmlFixture() override;

    EventManager &eventLog();
    QString inputMethod() const;

    Q_INVOKABLE void pushEvent(const QString &name, const QString &description, const QDateTime &timestamp);
    Q_INVOKABLE void clearEvents();
    // Installs the Greek translation (or removes it). The texts follow once the
    // test's manager changes its dynTr, as the controller's languageChanged does.
    Q_INVOKABLE bool setGreek(bool on);

private:
    QQmlEngine &m_engine;
    QString m_inputMethod;
    QTemporaryDir m_dir;
    QScopedPointer<Config> m_config;
    QScopedPointer<EventManager> m_eventLog;
    QTranslator m_translator;
};
