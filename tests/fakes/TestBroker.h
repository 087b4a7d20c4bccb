#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A real mosquitto broker of the test's own, listening on 127.0.0.1 at a free port, with its
// configuration (and the optional password file) in a temporary folder that lives as long as the
// object. It logs everything (log_type all) to a buffer the test can search. stop() and start()
// again keep the port, so clients can reconnect; the destructor stops it.
class TestBroker
{
public:
    TestBroker();
    ~TestBroker();
    TestBroker(TestBroker const &) = delete;
    TestBroker &operator=(TestBroker const &) = delete;

    // Before start(): once a user exists, anonymous clients are refused (CONNACK 5) and only
    // these names and passwords log in.
    void addUser(QString const &name, QString const &password);
    // Before start(): false keeps the broker to errors, warnings, notices and information (no line per
    // packet), for programs that do not run the
    // event loop (the log pipe would fill up and stall the broker).
    void setVerbose(bool verbose) { m_verbose = verbose; }
    // Before start(): extra lines for the broker's configuration file (acl_file, clientid_prefixes...).
    void addConfig(QString const &line);
    // Writes a file into the broker's folder (an ACL file, say) and returns its path.
    QString writeFile(QString const &name, QByteArray const &content);

    // Starts the broker and returns once it accepts connections (false after 10 s or when it
    // exits, with the reason in errorString()). The first start picks the port.
    bool start();
    // SIGTERM, then waits until it has exited: clients see their connection closed.
    void stop();
    // SIGKILL, then waits until it has exited.
    void kill();
    bool restart();
    bool isRunning() const;

    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 port() const { return m_port; }
    QString dir() const { return m_dir.path(); }
    QString errorString() const { return m_error; }

    // Everything the broker logged since it was first started (one line per event).
    QString log() const;
    // Log lines that contain fragment.
    int count(QString const &fragment) const;
    // Runs the event loop until the log holds at least `times` lines with fragment.
    bool waitForLog(QString const &fragment, int times = 1, int msec = 5000) const;

private:
    bool launch();
    void collect() const;
    void finish();

    QTemporaryDir m_dir;
    quint16 m_port = 0;
    QList<QPair<QString, QString>> m_users;
    QStringList m_extra;
    bool m_verbose = true;
    std::unique_ptr<QProcess> m_process;
    mutable QByteArray m_log;
    QString m_error;
};
