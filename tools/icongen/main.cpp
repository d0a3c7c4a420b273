// icongen OUTDIR: draws Ferrolink's icon and writes the files kept in resources/:
// img/Ferrolink_Icon_128x128.png (compiled into the program), icons/ferrolink-N.png for
// the desktop's hicolor theme (which takes the 128 one from img/), and ferrolink.ico (one
// 256 by 256 image) for Windows.
// Run it again after changing the drawing and commit what it writes.

#include <QBuffer>
#include <QColor>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>

namespace {

// Drawn on a 128-unit square and scaled: a dark plate, a sending node (amber) and a
// receiving node (cyan) joined by a patch cable.
QImage drawIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 128.0, size / 128.0);

    QLinearGradient plate(0, 0, 0, 128);
    plate.setColorAt(0, QColor(0x24, 0x3b, 0x55));
    plate.setColorAt(1, QColor(0x10, 0x1c, 0x2b));
    painter.setPen(Qt::NoPen);
    painter.setBrush(plate);
    painter.drawRoundedRect(QRectF(4, 4, 120, 120), 24, 24);

    QPainterPath cable(QPointF(36, 40));
    cable.cubicTo(QPointF(96, 34), QPointF(32, 94), QPointF(92, 88));
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0xe8, 0xee, 0xf4), 9, Qt::SolidLine, Qt::RoundCap));
    painter.drawPath(cable);

    const auto node = [&painter](QPointF centre, QColor colour) {
        painter.setPen(QPen(colour.darker(160), 4));
        painter.setBrush(colour);
        painter.drawEllipse(centre, 17, 17);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x10, 0x1c, 0x2b));
        painter.drawEllipse(centre, 6, 6);
    };
    node(QPointF(34, 40), QColor(0xf5, 0xa6, 0x23));
    node(QPointF(94, 88), QColor(0x3c, 0xc8, 0xe0));
    return image;
}

QByteArray png(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// An .ico holding one PNG-compressed 256 by 256 image, which Windows reads since Vista.
QByteArray ico(const QByteArray &png256)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(1);       // reserved, type icon, one image
    out << quint8(0) << quint8(0) << quint8(0) << quint8(0); // 256 by 256 is written as 0
    out << quint16(1) << quint16(32);                        // planes, bits per pixel
    out << quint32(png256.size()) << quint32(6 + 16);        // size, offset of the image
    out.writeRawData(png256.constData(), png256.size());
    return bytes;
}

bool write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        QTextStream(stderr) << "icongen: cannot write " << path << '\n';
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        QTextStream(stderr) << "usage: icongen OUTDIR (the resources folder)\n";
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath(QStringLiteral("img")) || !out.mkpath(QStringLiteral("icons")))
        return 1;
    bool ok = write(out.filePath(QStringLiteral("img/Ferrolink_Icon_128x128.png")), png(drawIcon(128)));
    for (int size : {16, 32, 48, 64, 256}) // 128: the image in img/
        ok = write(out.filePath(QStringLiteral("icons/ferrolink-%1.png").arg(size)), png(drawIcon(size))) && ok;
    ok = write(out.filePath(QStringLiteral("ferrolink.ico")), ico(png(drawIcon(256)))) && ok;
    return ok ? 0 : 1;
}
