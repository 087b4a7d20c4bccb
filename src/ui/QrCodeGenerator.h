#pragma once

#include <QObject>
#include <QString>

#include <qrcodegen.hpp>

// Renders a text as a QR code in SVG: one line, a white area under the whole
// symbol and one 1x1 square per dark module. Keeps no state.
class QrCodeGenerator : public QObject
{
public:
    explicit QrCodeGenerator(QObject *parent = nullptr);

    // The UTF-8 bytes of `text` as a QR code with `border` light modules on
    // each side; an empty text when the text does not fit any QR code.
    QString generateSvgQr(const QString &text, quint16 border, qrcodegen::QrCode::Ecc ecc) const;

    static QString toSvgString(const qrcodegen::QrCode &code, quint16 border);
};
