#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QtEndian>
#include <QtTest>

// The images inside the program: the logo that the form and the About dialog show, and
// the icon whose images Windows picks by size.
class tst_Resources : public QObject
{
    Q_OBJECT

private slots:
    void logoWithoutWidgets();
    void iconImages();
};

void tst_Resources::logoWithoutWidgets()
{
    // The form and the About text find the logo by its path alone, so the collection has to
    // be there from static initialisation on, whether widgets exist or not.
    QVERIFY(!qApp->inherits("QApplication"));
    const QImage logo(QStringLiteral(":/images/velmora-logo.png"));
    QVERIFY(!logo.isNull());
    QVERIFY(logo.hasAlphaChannel());
}

void tst_Resources::iconImages()
{
    QFile file(QStringLiteral(":/images/velmora_icon.ico"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray ico = file.readAll();
    QVERIFY(ico.size() > 6);
    const auto byteAt = [&ico](int offset) {
        return quint8(ico.at(offset));
    };
    const auto le32 = [&ico](int offset) {
        return qFromLittleEndian<quint32>(ico.constData() + offset);
    };

    QList<int> sizes;
    for (int i = 0; i < qFromLittleEndian<quint16>(ico.constData() + 4); ++i) {
        const int entry = 6 + 16 * i;
        QVERIFY(ico.size() >= entry + 16);
        const int size = byteAt(entry);
        sizes << size;
        // A 32-bit bitmap with alpha, then the AND mask that readers without alpha draw
        // through: it must cut out exactly the transparent pixels.
        const quint32 offset = le32(entry + 12);
        const int stride = (size + 31) / 32 * 4;
        const int pixels = int(offset) + 40;
        const int mask = pixels + size * size * 4;
        QCOMPARE(le32(entry + 8), quint32(mask + stride * size - int(offset)));
        QVERIFY(ico.size() >= mask + stride * size);
        int opaque = 0;
        for (int row = 0; row < size; ++row) {
            for (int x = 0; x < size; ++x) {
                const int alpha = byteAt(pixels + (row * size + x) * 4 + 3);
                const bool masked = byteAt(mask + row * stride + x / 8) & (0x80 >> (x % 8));
                if (masked != (alpha == 0))
                    QFAIL("the mask and the alpha disagree");
                opaque += alpha == 255;
            }
        }
        QVERIFY2(opaque > size * size / 3, "the emblem is missing");
    }
    QCOMPARE(sizes, QList<int>({16, 32, 48, 64, 128}));
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
