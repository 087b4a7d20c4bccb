#pragma once

#include "async/Deferred.h"

#include <QAuthenticator>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSharedPointer>
#include <QSslError>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QSslCertificate;
class QSslConfiguration;
class QSslKey;
class QThread;

// REST client: GET, DELETE, PUT and POST with JSON bodies, fixed raw headers, optional client
// certificate TLS. Every exchange ends in (status, body) or (status, failure); status 0 when
// no HTTP answer came. Redirects are followed with the same verb.
class HttpClient : public QObject
{
    Q_OBJECT

public:
    using Result = Deferred<int, QJsonValue>;

    // Consecutive redirects followed before the chain is refused.
    static constexpr int MaxRedirects = 5;

    explicit HttpClient(QObject *parent = nullptr);
    ~HttpClient() override;

    void setHeader(QString const &name, QString const &value);
    QMap<QString, QString> const &headers() const { return m_headers; }

    void setTLSCert(QString const &path);
    void setTLSKey(QString const &path);
    void setTLSRootCA(QString const &path);

    bool ignoreSslErrors() const { return m_ignoreSslErrors; }
    void setIgnoreSslErrors(bool ignore);

    static QString bytesToStr(qint64 bytes);
    static QByteArray createPayload(QJsonValue const &value);
    static QJsonValue parsePayload(QByteArray const &bytes);

public slots:
    HttpClient::Result get(QUrl const &url, int timeout = 30000);
    HttpClient::Result del(QUrl const &url, int timeout = 30000);
    HttpClient::Result put(QUrl const &url, QJsonValue const &data, int timeout = 30000);
    HttpClient::Result post(QUrl const &url, QJsonValue const &data, int timeout = 30000);

signals:
    void authRequired(QNetworkReply *reply, QAuthenticator *authenticator);

private:
    enum class Verb { Get, Delete, Put, Post };

    Result send(Verb verb, QUrl const &url, QJsonValue const &data, int timeout, int hops);
    QNetworkAccessManager *qnam();
    QNetworkRequest createRequest(QUrl const &url);
    QSslConfiguration createSslConfig();
    static QSslCertificate loadCert(QString const &path);
    static QSslKey loadPrivKey(QString const &path);
    Result processReply(QNetworkReply *reply, Verb verb, QJsonValue const &data, int timeout, int hops);
    Result processRedirect(QNetworkReply *reply, Verb verb, QJsonValue const &data, int timeout, int hops);
    void onSslErrors(QNetworkReply *reply, QList<QSslError> const &errors);

    bool m_ignoreSslErrors = false;
    QMap<QString, QString> m_headers;
    QMap<QString, QString> m_tlsFiles;
    // Each thread's manager, created on its first request and gone when the thread ends or
    // the client goes. Not a QThreadStorage: its slots outlive it in threads still running
    // and are handed to the next storage created, freed managers and all. Shared with the
    // managers' own clean-up, which may run in their threads after the client is gone.
    struct Managers {
        QMutex mutex;
        QMap<QThread *, QNetworkAccessManager *> byThread;
    };
    QSharedPointer<Managers> m_managers;
};

Q_DECLARE_METATYPE(HttpClient::Result)
