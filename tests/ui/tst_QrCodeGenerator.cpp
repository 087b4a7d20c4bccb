#include "ui/QrCodeGenerator.h"

#include "fakes/LogCapture.h"
#include "fakes/QrDecoder.h"

#include <QRegularExpression>
#include <QtTest>

using qrcodegen::QrCode;

class tst_QrCodeGenerator : public QObject
{
    Q_OBJECT

private slots:
    void svgShape_data();
    void svgShape();
    void decodesBack_data();
    void decodesBack();
    void tooLongForAnyCode();
};

void tst_QrCodeGenerator::svgShape_data()
{
    QTest::addColumn<int>("border");
    QTest::newRow("border 0") << 0;
    QTest::newRow("border 1") << 1;
    QTest::newRow("border 4") << 4;
}

// One line; the declaration, the document type, the view box of the symbol and its
// border, a white area and one square per dark module, row by row.
void tst_QrCodeGenerator::svgShape()
{
    QFETCH(int, border);
    const QrCode code = QrCode::encodeText("VORN", QrCode::Ecc::MEDIUM);
    QCOMPARE(code.getSize(), 21);
    const QString svg = QrCodeGenerator().generateSvgQr("VORN", quint16(border), QrCode::Ecc::MEDIUM);
    QCOMPARE(svg, QrCodeGenerator::toSvgString(code, quint16(border)));

    QVERIFY(!svg.contains('\n'));
    const int n = 21 + 2 * border;
    const QString head = QStringLiteral(
                             "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" "
                             "\"http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd\"><svg xmlns=\"http://www.w3.org/2000/svg\" "
                             "version=\"1.1\" viewBox=\"0 0 %1 %1\" stroke=\"none\"><rect width=\"100%\" height=\"100%\" "
                             "fill=\"#FFFFFF\"/><path d=\"M%2,%2h1v1h-1z M%3,%2h1v1h-1z")
                             .arg(n)
                             .arg(border)
                             .arg(border + 1);
    QVERIFY2(svg.startsWith(head), qPrintable(svg.left(400)));
    QVERIFY(svg.endsWith("h1v1h-1z\" fill=\"#000000\"/></svg>"));

    // Exactly the dark modules, in reading order.
    QStringList expected;
    for (int y = 0; y < code.getSize(); ++y)
        for (int x = 0; x < code.getSize(); ++x)
            if (code.getModule(x, y))
                expected << QStringLiteral("M%1,%2h1v1h-1z").arg(x + border).arg(y + border);
    const QRegularExpressionMatch path = QRegularExpression("<path d=\"([^\"]*)\"").match(svg);
    QVERIFY(path.hasMatch());
    QCOMPARE(path.captured(1).split(' '), expected);
}

void tst_QrCodeGenerator::decodesBack_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("digits") << "20240131";
    QTest::newRow("report values") << "SN-1;2024-01-31 09:15;1.2.3;0.0.2;;;;OK;OK;MISSING;ERROR;OK";
    QTest::newRow("Greek") << QString::fromUtf8("Κωδικός Πινακίδα");
    QTest::newRow("quotes and markup") << "<a href=\"x\">&amp;</a> 100%";
    QTest::newRow("long") << QString("0123456789abcdef;").repeated(40);
}

void tst_QrCodeGenerator::decodesBack()
{
    QFETCH(QString, text);
    const QString svg = QrCodeGenerator().generateSvgQr(text, 1, QrCode::Ecc::MEDIUM);
    QString error;
    const QString decoded = QrDecoder::decodeSvg(svg, &error);
    QVERIFY2(!decoded.isNull(), qPrintable(error));
    QCOMPARE(decoded, text);
}

// More than the largest code holds: no symbol, and the log says why.
void tst_QrCodeGenerator::tooLongForAnyCode()
{
    LogCapture log;
    const QString svg = QrCodeGenerator().generateSvgQr(QString(3000, 'x'), 1, QrCode::Ecc::MEDIUM);
    QVERIFY(svg.isEmpty());
    QVERIFY(log.contains(QtCriticalMsg, "[QrCodeGenerator] ERROR: Text too long for a QR code (3000 bytes)"));
}

QTEST_MAIN(tst_QrCodeGenerator)
#include "tst_QrCodeGenerator.moc"
