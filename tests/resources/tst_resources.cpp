#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QPixmap>
#include <QWindow>
#include <QtEndian>
#include <QtTest>

namespace {

const QString logoPath = QStringLiteral(":/images/velmora-logo.png");
const QString iconPath = QStringLiteral(":/images/velmora_icon.ico");

const int iconCount = 5;
const int iconDirectoryEnd = 6 + 16 * iconCount;
const int dibHeaderSize = 40;

QByteArray readResource(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

template <typename T> T le(const QByteArray &data, int offset)
{
    return qFromLittleEndian<T>(data.constData() + offset);
}

quint8 byteAt(const QByteArray &data, int offset)
{
    return static_cast<quint8>(data.at(offset));
}

int maskStride(int size)
{
    return (size + 31) / 32 * 4;
}

} // namespace

class tst_Resources : public QObject
{
    Q_OBJECT

private slots:
    void logoLoadsWithoutWindows();
    void logoIsPlainRgbaPng();
    void iconDirectoryIsContiguous();
    void iconImage_data();
    void iconImage();
    void iconDecodesWithQt();
};

void tst_Resources::logoLoadsWithoutWindows()
{
    // The main window's form and the About text find the logo by path alone, so the
    // collection has to be there from static initialisation on, widgets or not.
    QVERIFY(!qApp->inherits("QApplication"));
    QVERIFY(QGuiApplication::topLevelWindows().isEmpty());

    const QImage logo(logoPath);
    QVERIFY(!logo.isNull());
    QCOMPARE(logo.size(), QSize(259, 47));
    QVERIFY(logo.hasAlphaChannel());

    // The word mark sits on a transparent background: clear corners, solid ink.
    for (const QPoint corner : {QPoint(0, 0), QPoint(258, 0), QPoint(0, 46), QPoint(258, 46)})
        QCOMPARE(qAlpha(logo.pixel(corner)), 0);
    int opaque = 0;
    for (int y = 0; y < logo.height(); ++y) {
        for (int x = 0; x < logo.width(); ++x)
            opaque += qAlpha(logo.pixel(x, y)) == 255;
    }
    QVERIFY2(opaque > logo.width() * logo.height() / 8, qPrintable(QString::number(opaque)));

    const QPixmap pixmap(logoPath);
    QCOMPARE(pixmap.size(), QSize(259, 47));
    QVERIFY(pixmap.hasAlphaChannel());
}

void tst_Resources::logoIsPlainRgbaPng()
{
    const QByteArray png = readResource(logoPath);
    QVERIFY(png.size() > 33);
    QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
    QCOMPARE(png.mid(12, 4), QByteArray("IHDR"));
    QCOMPARE(qFromBigEndian<quint32>(png.constData() + 8), 13u);
    QCOMPARE(qFromBigEndian<quint32>(png.constData() + 16), 259u);
    QCOMPARE(qFromBigEndian<quint32>(png.constData() + 20), 47u);
    QCOMPARE(byteAt(png, 24), quint8(8)); // bits per channel
    QCOMPARE(byteAt(png, 25), quint8(6)); // colour type: RGB with alpha
    QCOMPARE(byteAt(png, 28), quint8(0)); // not interlaced
}

void tst_Resources::iconDirectoryIsContiguous()
{
    const QByteArray ico = readResource(iconPath);
    QVERIFY(ico.size() >= iconDirectoryEnd);
    QCOMPARE(le<quint16>(ico, 0), quint16(0));
    QCOMPARE(le<quint16>(ico, 2), quint16(1)); // icon, not cursor
    QCOMPARE(le<quint16>(ico, 4), quint16(iconCount));

    // The images follow the directory back to back in entry order and fill the file.
    qint64 expected = iconDirectoryEnd;
    for (int i = 0; i < iconCount; ++i) {
        const int entry = 6 + 16 * i;
        QCOMPARE(qint64(le<quint32>(ico, entry + 12)), expected);
        expected += le<quint32>(ico, entry + 8);
    }
    QCOMPARE(qint64(ico.size()), expected);
}

void tst_Resources::iconImage_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("size");

    QTest::newRow("16") << 0 << 16;
    QTest::newRow("32") << 1 << 32;
    QTest::newRow("48") << 2 << 48;
    QTest::newRow("64") << 3 << 64;
    QTest::newRow("128") << 4 << 128;
}

void tst_Resources::iconImage()
{
    QFETCH(int, index);
    QFETCH(int, size);

    const QByteArray ico = readResource(iconPath);
    QVERIFY(ico.size() >= iconDirectoryEnd);
    const int entry = 6 + 16 * index;
    QCOMPARE(int(byteAt(ico, entry)), size % 256);
    QCOMPARE(int(byteAt(ico, entry + 1)), size % 256);
    QCOMPARE(byteAt(ico, entry + 2), quint8(0)); // no palette
    QCOMPARE(le<quint16>(ico, entry + 4), quint16(1));
    QCOMPARE(le<quint16>(ico, entry + 6), quint16(32));

    const int pixelBytes = size * size * 4;
    const int maskBytes = maskStride(size) * size;
    const quint32 length = le<quint32>(ico, entry + 8);
    const quint32 offset = le<quint32>(ico, entry + 12);
    // An uncompressed 32-bit bitmap followed by a full AND mask, nothing less.
    QCOMPARE(length, quint32(dibHeaderSize + pixelBytes + maskBytes));
    QVERIFY(qint64(offset) + length <= ico.size());

    const QByteArray dib = ico.mid(int(offset), int(length));
    QCOMPARE(le<quint32>(dib, 0), quint32(dibHeaderSize));
    QCOMPARE(le<qint32>(dib, 4), size);
    QCOMPARE(le<qint32>(dib, 8), 2 * size); // colour bitmap and mask stacked
    QCOMPARE(le<quint16>(dib, 12), quint16(1));
    QCOMPARE(le<quint16>(dib, 14), quint16(32));
    QCOMPARE(le<quint32>(dib, 16), quint32(0)); // BI_RGB

    // Readers that ignore alpha draw through the mask, so it must cut out exactly
    // the transparent pixels; and the emblem must actually be there.
    int opaque = 0;
    for (int row = 0; row < size; ++row) {
        for (int x = 0; x < size; ++x) {
            const int alpha = byteAt(dib, dibHeaderSize + (row * size + x) * 4 + 3);
            const int maskByte =
                byteAt(dib, dibHeaderSize + pixelBytes + row * maskStride(size) + x / 8);
            const bool masked = maskByte & (0x80 >> (x % 8));
            if (masked != (alpha == 0))
                QFAIL(qPrintable(QStringLiteral("mask and alpha disagree at %1,%2 (alpha %3)")
                                     .arg(x)
                                     .arg(row)
                                     .arg(alpha)));
            opaque += alpha == 255;
        }
    }
    QVERIFY2(opaque > size * size / 3, qPrintable(QString::number(opaque)));
    QCOMPARE(int(byteAt(dib, dibHeaderSize + 3)), 0); // a corner is see-through
}

void tst_Resources::iconDecodesWithQt()
{
    QImageReader reader(iconPath);
    if (!QImageReader::supportedImageFormats().contains("ico"))
        QSKIP("the ico image plugin is not installed");
    QCOMPARE(reader.imageCount(), iconCount);
    const QList<int> sizes{16, 32, 48, 64, 128};
    QList<int> found;
    for (int i = 0; i < iconCount; ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QVERIFY(image.hasAlphaChannel());
        QCOMPARE(image.width(), image.height());
        found << image.width();
    }
    std::sort(found.begin(), found.end());
    QCOMPARE(found, sizes);
}

int main(int argc, char *argv[])
{
    // A bare QGuiApplication and no widget module: what the logo needs is only the
    // resource collection and the image plugins.
    QGuiApplication app(argc, argv);
    tst_Resources test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_resources.moc"
