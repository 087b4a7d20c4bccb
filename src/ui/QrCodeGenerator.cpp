#include "ui/QrCodeGenerator.h"

#include <QDebug>

QrCodeGenerator::QrCodeGenerator(QObject *parent)
    : QObject(parent)
{
}

QString QrCodeGenerator::generateSvgQr(const QString &text, quint16 border, qrcodegen::QrCode::Ecc ecc) const
{
    const QByteArray bytes = text.toUtf8();
    try {
        // encodeText reads a C string: a text with a zero inside would be cut there.
        if (bytes.contains('\0')) {
            const std::vector<std::uint8_t> data(bytes.cbegin(), bytes.cend());
            return toSvgString(qrcodegen::QrCode::encodeBinary(data, ecc), border);
        }
        return toSvgString(qrcodegen::QrCode::encodeText(bytes.constData(), ecc), border);
    } catch (const qrcodegen::data_too_long &e) {
        qCritical().noquote().nospace() << "[QrCodeGenerator] ERROR: Text too long for a QR code (" << bytes.size()
                                        << " bytes) : " << e.what();
        return QString();
    }
}

QString QrCodeGenerator::toSvgString(const qrcodegen::QrCode &code, quint16 border)
{
    const int size = code.getSize();
    const int extent = size + 2 * int(border);
    QString svg;
    svg.reserve(256 + size * size * 8);
    svg += QLatin1String("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                         "<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" "
                         "\"http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd\">");
    svg += QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" viewBox=\"0 0 %1 %1\" "
                          "stroke=\"none\">")
               .arg(extent);
    svg += QLatin1String("<rect width=\"100%\" height=\"100%\" fill=\"#FFFFFF\"/>");
    svg += QLatin1String("<path d=\"");
    bool first = true;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            if (!code.getModule(x, y))
                continue;
            if (!first)
                svg += QLatin1Char(' ');
            first = false;
            svg += QLatin1Char('M') + QString::number(x + border) + QLatin1Char(',') + QString::number(y + border)
                   + QLatin1String("h1v1h-1z");
        }
    }
    svg += QLatin1String("\" fill=\"#000000\"/>");
    svg += QLatin1String("</svg>");
    return svg;
}
