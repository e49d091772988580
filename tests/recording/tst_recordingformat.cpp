#include "recordingformat.h"
#include "recordingreader.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Recording;

namespace {

Sample frameSample()
{
    Sample s;
    s.time =
        QDateTime::fromString(QStringLiteral("2025-03-01T14:05:09.042+01:00"), Qt::ISODateWithMs);
    s.kind = Sample::Kind::Frame;
    Measurements &m = s.measurements;
    m.app1MinTemp = 0;
    m.app1MinPosition = 0x1F02;
    m.app1MaxTemp = 65535;
    m.app1MaxPosition = 0xFF00;
    m.app1AvgTemp = 2731;
    m.app1Alarm = true;
    m.app2AvgTemp = 2732;
    m.app3HighestBreachTemp = 0;
    m.app3HighestBreachArea = 65535;
    m.app3Counter = 256;
    m.app3Alarm = true;
    m.app1LimitFov = true;
    m.app1MaxThreshold = 9431;
    m.app1MinThreshold = 2531;
    m.reticleSize = 255;
    m.gridRoiSize = 4;
    m.app3MinThreshold = 1;
    for (int i = 0; i < 1024; ++i)
        s.frame.append(quint16(i * 64 + i / 16));
    s.roiTemperatures = {3045, 1, 65535};
    return s;
}

// Line `line` (0 = header) of `text` with column `column` set to `value`.
QByteArray withField(const QByteArray &text, int line, int column, const QByteArray &value)
{
    QList<QByteArray> lines = text.split('\n');
    QList<QByteArray> fields = lines[line].split(',');
    fields[column] = value;
    lines[line] = fields.join(',');
    return lines.join('\n');
}

// Column numbers as the header names them.
int columnOf(const char *name)
{
    return header().trimmed().split(',').indexOf(name);
}

} // namespace

class tst_RecordingFormat : public QObject
{
    Q_OBJECT
private slots:
    void everyRawTemperatureSurvivesItsText();
    void rowRoundTrip();
    void malformedFiles_data();
    void malformedFiles();
};

void tst_RecordingFormat::everyRawTemperatureSurvivesItsText()
{
    for (int raw = 0; raw <= 0xFFFF; ++raw) {
        const QByteArray text = celsiusText(quint16(raw));
        // printf rounds the binary value correctly, and each raw value is an exact hundredth.
        const QByteArray expected = QByteArray::number((raw * 10 - 27315) / 100.0, 'f', 2);
        if (text != expected)
            QFAIL(qPrintable(QString("raw %1 written as %2, expected %3")
                                 .arg(raw)
                                 .arg(QString::fromLatin1(text), QString::fromLatin1(expected))));
        quint16 back = 0;
        if (!parseCelsius(text.constBegin(), text.constEnd(), &back) || back != raw)
            QFAIL(qPrintable(QString("%1 read back as raw %2, written from %3")
                                 .arg(QString::fromLatin1(text))
                                 .arg(back)
                                 .arg(raw)));
    }
}

void tst_RecordingFormat::rowRoundTrip()
{
    const Sample frame = frameSample();
    Sample measurements = frame;
    measurements.kind = Sample::Kind::Measurements;
    measurements.measurements.app3HighestBreachTemp = 3000;
    measurements.frame.clear();
    measurements.roiTemperatures.clear();

    for (const Sample &s : {frame, measurements}) {
        QByteArray row = formatRow(s);
        QVERIFY(row.endsWith('\n'));
        row.chop(1);
        Sample back;
        QString error;
        QVERIFY2(parseRow(row, &back, &error), qPrintable(error));
        QCOMPARE(back.time.toMSecsSinceEpoch(), s.time.toMSecsSinceEpoch());
        QCOMPARE(back.time.offsetFromUtc(), 3600);
        QCOMPARE(back.kind, s.kind);
        QVERIFY(back.measurements == s.measurements);
        QCOMPARE(back.frame, s.frame);
        QCOMPARE(back.roiTemperatures, s.roiTemperatures);
    }
}

void tst_RecordingFormat::malformedFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");

    const QByteArray good = header() + formatRow(frameSample()) + formatRow(frameSample());
    QByteArray binary(300, '\0');
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char(i * 37);
    QByteArray shortRow = good; // the last row loses one of its empty region columns
    shortRow.remove(shortRow.size() - 2, 1);

    QTest::newRow("empty file") << QByteArray() << "Line 1:";
    QTest::newRow("another CSV") << QByteArray("a,b,c\n1,2,3\n") << "Line 1:";
    QTest::newRow("binary") << binary << "Line 1:";
    QTest::newRow("column missing") << shortRow << "Line 3: 1304 columns";
    QTest::newRow("below absolute zero")
        << withField(good, 2, columnOf("pixel_5"), "-273.25") << "Line 3: column pixel_5:";
    QTest::newRow("between two raw values")
        << withField(good, 1, columnOf("pixel_0"), "25.00") << "Line 2: column pixel_0:";
    QTest::newRow("counter above 16 bits")
        << withField(good, 1, columnOf("app3_counter"), "65536") << "Line 2: column app3_counter:";
    QTest::newRow("alarm neither 0 nor 1")
        << withField(good, 1, columnOf("app2_alarm"), "2") << "Line 2: column app2_alarm:";
    QTest::newRow("no time") << withField(good, 2, 0, "yesterday") << "Line 3: column time:";
    QTest::newRow("region list with a gap")
        << withField(good, 1, columnOf("region_2"), "") << "Line 2: column region_3:";
    QTest::newRow("overlong line") << header() + QByteArray(100000, 'x') + '\n' << "Line 2:";
}

void tst_RecordingFormat::malformedFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath("bad.csv");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    const Contents contents = readRecording(path);
    QVERIFY(!contents.ok());
    QVERIFY2(contents.error.startsWith(expected), qPrintable(contents.error));
    QVERIFY(contents.rows.isEmpty());
}

QTEST_GUILESS_MAIN(tst_RecordingFormat)
#include "tst_recordingformat.moc"
