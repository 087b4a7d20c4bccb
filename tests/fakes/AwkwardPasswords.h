#pragma once

#include <QList>
#include <QString>

// Passwords for the user-info of a camera's or gate's URL that hold what a scan for the end of
// the URL might stop at, or what a URL parser reads in its own way, or that run past the bound
// of a log line. Each is a head, the character (or run) and a tail, both made of the row's
// number, so that a test can tell that neither half shows anywhere, however the character itself
// was escaped or wherever a line was cut.
struct AwkwardPassword
{
    QString name;
    QString password;
    QString head;
    QString tail;
    // "user:password", ready to go before the "@" of a URL.
    QString userInfo() const { return QStringLiteral("ops:") + password; }
    // The URL's text inside a JSON string, as a body or a compact document writes it.
    static QString inJson(const QString &text)
    {
        QString out = text;
        return out.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    }
};

inline QList<AwkwardPassword> awkwardPasswords()
{
    const QList<QPair<QString, QString>> characters{
        {QStringLiteral("quote"), QStringLiteral("'")},         {QStringLiteral("double quote"), QStringLiteral("\"")},
        {QStringLiteral("less than"), QStringLiteral("<")},     {QStringLiteral("greater than"), QStringLiteral(">")},
        {QStringLiteral("backslash"), QStringLiteral("\\")},    {QStringLiteral("blank"), QStringLiteral(" ")},
        {QStringLiteral("at"), QStringLiteral("@")},            {QStringLiteral("colon"), QStringLiteral(":")},
        {QStringLiteral("encoded at"), QStringLiteral("%40")},
        {QStringLiteral("longer than a log line shows"), QString(600, QLatin1Char('p'))},
    };
    QList<AwkwardPassword> passwords;
    for (int i = 0; i < characters.size(); ++i) {
        const QString head = QStringLiteral("Kq%1h").arg(i);
        const QString tail = QStringLiteral("Wx%1t").arg(i);
        passwords << AwkwardPassword{characters.at(i).first, head + characters.at(i).second + tail, head, tail};
    }
    return passwords;
}
