#pragma once

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>

// Reads QR codes back the way a phone would: from a picture, with zbarimg
// (Debian's zbar-tools). Header only: the tests that use it link Qt Gui.
namespace QrDecoder {

// The text of the one QR code in a PNG file; a null text (and why in `error`)
// when none is found.
inline QString decodePng(const QString &path, QString *error = nullptr)
{
    const QString zbarimg = QStandardPaths::findExecutable(QStringLiteral("zbarimg"));
    if (zbarimg.isEmpty()) {
        if (error)
            *error = QStringLiteral("zbarimg not found (package zbar-tools)");
        return QString();
    }
    QProcess process;
    process.start(zbarimg, {QStringLiteral("--raw"), QStringLiteral("-q"), QStringLiteral("-Sbinary"), path});
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("zbarimg found no code (exit %1): %2")
                         .arg(process.exitCode())
                         .arg(QString::fromUtf8(process.readAllStandardError()));
        return QString();
    }
    QByteArray out = process.readAllStandardOutput();
    if (out.endsWith('\n'))
        out.chop(1);
    return QString::fromUtf8(out);
}

// An SVG drawn at `pixels` square on white, as a page would show it (Qt's SVG
// renderer reads a width of "100%" as 100 units, so a larger symbol's border
// would otherwise stay transparent).
inline QImage renderSvg(const QString &svg, int pixels)
{
    QByteArray bytes = svg.toUtf8();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "svg");
    reader.setScaledSize(QSize(pixels, pixels));
    const QImage drawn = reader.read();
    if (drawn.isNull())
        return QImage();
    QImage image(drawn.size(), QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.drawImage(0, 0, drawn);
    painter.end();
    return image;
}

// The text of a QR code given as SVG, rendered and decoded.
inline QString decodeSvg(const QString &svg, QString *error = nullptr)
{
    // Whole pixels per module: a blurred module edge costs the decoder on large codes.
    const QRegularExpressionMatch box = QRegularExpression(QStringLiteral("viewBox=\"0 0 (\\d+) ")).match(svg);
    const QImage image = renderSvg(svg, box.hasMatch() ? box.captured(1).toInt() * 6 : 600);
    if (image.isNull()) {
        if (error)
            *error = QStringLiteral("the SVG does not render (is the Qt SVG image plugin, libqt5svg5, installed?)");
        return QString();
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("qr.png"));
    if (!image.save(path)) {
        if (error)
            *error = QStringLiteral("cannot write ") + path;
        return QString();
    }
    return decodePng(path, error);
}

} // namespace QrDecoder
