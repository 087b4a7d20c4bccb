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
// no HTTP answer came. Redirects are followed with the same verb; a request with a body is not
// redirected to another server. Each answer is read up to a bound given with its request; a
// larger one is aborted, and so is one packed (Content-Encoding) though asked for as it is.
class HttpClient : public QObject
{
    Q_OBJECT

public:
    using Result = Deferred<int, QJsonValue>;

    // Consecutive redirects followed before the chain is refused.
    static constexpr int MaxRedirects = 5;
    // Bytes of an answer body read at most, unless the request gives its own bound.
    static constexpr qint64 DefaultMaxReplySize = 4 * 1024 * 1024;
    // Bytes of a certificate, key or authority file read at most.
    static constexpr qint64 MaxTlsFileSize = 64 * 1024;

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
    // The JSON values of a document (lists and objects included, an object's member counts
    // once), counted without parsing it.
    static qint64 countValues(QByteArray const &bytes);
    // How an answer of more values than its request's bound is refused.
    static QString tooManyValues(qint64 maxValues);
    // How an answer of more bytes than its request's bound is refused.
    static QString tooLarge(qint64 maxReplySize);

    // Asks for the answer as it is. Left to itself the network layer asks for gzip and deflate,
    // unpacks the answer before anyone counts it and hides its length: every bound would count
    // the unpacked bytes, a thousand times those that arrive.
    static void askForIdentity(QNetworkRequest &request);
    // The Content-Encoding of an answer packed all the same, empty when it is not.
    static QByteArray packedEncoding(QNetworkReply const *reply);

public slots:
    // `maxValues`, when not negative, bounds the JSON values of the answer: the parser's memory
    // grows with them, up to some thirty times the bytes (a list of "[0]").
    HttpClient::Result get(QUrl const &url, int timeout = 30000, qint64 maxReplySize = DefaultMaxReplySize,
                           qint64 maxValues = -1);
    HttpClient::Result del(QUrl const &url, int timeout = 30000, qint64 maxReplySize = DefaultMaxReplySize);
    HttpClient::Result put(QUrl const &url, QJsonValue const &data, int timeout = 30000,
                           qint64 maxReplySize = DefaultMaxReplySize);
    HttpClient::Result post(QUrl const &url, QJsonValue const &data, int timeout = 30000,
                            qint64 maxReplySize = DefaultMaxReplySize);

signals:
    void authRequired(QNetworkReply *reply, QAuthenticator *authenticator);

private:
    enum class Verb { Get, Delete, Put, Post };

    // One request and the hops it is redirected along.
    struct Exchange {
        Verb verb;
        QJsonValue data;
        int timeout;
        qint64 maxReplySize;
        QUrl origin; // the first URL: only its scheme, host and port get the credentials
        int hops = 0;
        qint64 maxValues = -1; // JSON values of the answer at most; none when negative
    };

    Result send(Exchange const &exchange, QUrl const &url);
    // The calling thread's manager. One whose connections were made with another TLS set-up
    // than `tlsSetUp` is left to finish its replies and replaced.
    QNetworkAccessManager *qnam(QByteArray const &tlsSetUp);
    // `credentials` false: without the credential headers and the client certificate.
    // `refusal` says why no request can be made (a TLS file that cannot be used).
    QNetworkRequest createRequest(QUrl const &url, bool credentials, QByteArray *tlsSetUp, QString *refusal);
    QSslConfiguration createSslConfig(bool credentials, QByteArray *tlsSetUp, QString *refusal);
    static QSslCertificate loadCert(QString const &path, QString *refusal);
    static QSslKey loadPrivKey(QString const &path, QString *refusal);
    // A file that cannot be opened gives no bytes (logged); one that is there but no regular
    // file, or larger than MaxTlsFileSize, is refused.
    static QByteArray readTlsFile(QString const &path, QString *refusal);
    static bool sameOrigin(QUrl const &a, QUrl const &b);
    static bool isCredentialHeader(QString const &name);
    Result processReply(QNetworkReply *reply, Exchange const &exchange);
    Result processRedirect(QNetworkReply *reply, Exchange const &exchange);
    void onSslErrors(QNetworkReply *reply, QList<QSslError> const &errors);

    bool m_ignoreSslErrors = false;
    QMap<QString, QString> m_headers;
    QMap<QString, QString> m_tlsFiles;
    // Each thread's manager, created on its first request and gone when the thread ends or
    // the client goes. Not a QThreadStorage: its slots outlive it in threads still running
    // and are handed to the next storage created, freed managers and all. Shared with the
    // managers' own clean-up, which may run in their threads after the client is gone.
    // Managers replaced after a change of the TLS set-up stay listed until their last reply
    // is gone.
    struct Managers {
        QMutex mutex;
        QMap<QThread *, QNetworkAccessManager *> byThread;
        QList<QNetworkAccessManager *> retired;
    };
    QSharedPointer<Managers> m_managers;
};

Q_DECLARE_METATYPE(HttpClient::Result)
