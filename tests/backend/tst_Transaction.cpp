#include "backend/Transaction.h"

#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

using Backend::Transaction;

class tst_Transaction : public QObject
{
    Q_OBJECT

private slots:
    void typeNames_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("type");
        QTest::newRow("SCAN") << "SCAN" << int(Transaction::Scan);
        QTest::newRow("scan") << "scan" << int(Transaction::Scan);
        QTest::newRow("Collection") << "Collection" << int(Transaction::Collection);
        QTest::newRow("ERROR_REPORT") << "ERROR_REPORT" << int(Transaction::ErrorReport);
        QTest::newRow("ISSUANCE") << "ISSUANCE" << int(Transaction::Issuance);
        QTest::newRow("empty") << "" << int(Transaction::Issuance);
        QTest::newRow("no name") << "REFUND" << int(Transaction::Issuance);
        QTest::newRow("name with blank") << "SCAN " << int(Transaction::Issuance);
    }
    void typeNames()
    {
        QFETCH(QString, text);
        QFETCH(int, type);
        QCOMPARE(int(Transaction::strToType(text)), type);
    }

    void typeToStrOutsideTable()
    {
        QCOMPARE(Transaction::typeToStr(Transaction::ErrorReport), QStringLiteral("ERROR_REPORT"));
        QCOMPARE(Transaction::typeToStr(Transaction::Type(4)), QString());
        QCOMPARE(Transaction::typeToStr(Transaction::Type(-1)), QString());
    }

    void createdRecordAndDocument()
    {
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        const Transaction::Ptr t = Transaction::create(Transaction::Collection, QStringLiteral("SN-9"),
                                                       QStringLiteral("04A1B2C3"), QStringLiteral("jammed"));
        QVERIFY(t);
        QCOMPARE(t->type(), Transaction::Collection);
        QCOMPARE(t->kelvoDbId(), QStringLiteral("0"));
        QCOMPARE(t->sendDetails().sendStatus, QStringLiteral("PENDING"));
        QCOMPARE(t->sendDetails().sendAttempts, 0);
        QVERIFY(t->sendDetails().sendSchedDate.isNull());
        QVERIFY(t->timestamp() >= before && t->timestamp() <= QDateTime::currentDateTime());
        QCOMPARE(t->timestamp().timeSpec(), Qt::LocalTime);

        const QJsonObject doc = t->toJson();
        QCOMPARE(doc.keys(), (QStringList{"cardUid", "deviceSerial", "errorDetails", "kelvoDbRecordId", "timestamp",
                                          "transactionUid", "type"}));
        for (const QString &key : doc.keys())
            QVERIFY2(doc.value(key).isString(), qPrintable(key));
        QCOMPARE(doc.value("type").toString(), QStringLiteral("COLLECTION"));
        QCOMPARE(doc.value("kelvoDbRecordId").toString(), QStringLiteral("0"));
        QCOMPARE(doc.value("transactionUid").toString(), t->uuid());
        QCOMPARE(doc.value("cardUid").toString(), QStringLiteral("04A1B2C3"));
        QCOMPARE(doc.value("deviceSerial").toString(), QStringLiteral("SN-9"));
        QCOMPARE(doc.value("errorDetails").toString(), QStringLiteral("jammed"));
        // A local time to the second, without a zone suffix.
        QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d$"))
                    .match(doc.value("timestamp").toString())
                    .hasMatch());

        QCOMPARE(t->toString(), QStringLiteral("%1 (type=COLLECTION, cardUid=04A1B2C3, created=%2)")
                                    .arg(t->uuid(), doc.value("timestamp").toString()));
    }

    void uidsAreBareAndFresh()
    {
        const QRegularExpression form(
            QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
        const QString first = Transaction::createUid();
        const QString second = Transaction::createUid();
        QVERIFY2(form.match(first).hasMatch(), qPrintable(first));
        QVERIFY2(form.match(second).hasMatch(), qPrintable(second));
        QVERIFY(first != second);
    }
};

QTEST_GUILESS_MAIN(tst_Transaction)
#include "tst_Transaction.moc"
