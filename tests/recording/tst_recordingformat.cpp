#include "recordingformat.h"
#include "recordingreader.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Recording;

namespace {

// A frame row that reads back; the malformed files below are made from it.
Sample frameSample()
{
    Sample s;
    s.time = QDateTime::currentDateTime();
    s.kind = Sample::Kind::Frame;
    s.frame.fill(2981, 1024);
    s.roiTemperatures = {3045, 3046, 3047};
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
