// brisca-devicedump: validates one Brisca sensor, reads its settings and one thermal
// frame, and prints them. A small check that the sensor link works on a real line.

#include "briscadevice.h"
#include "briscaregisters.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSerialPort>
#include <QTextStream>
#include <QTimer>
#include <QVariant>

#include <algorithm>
#include <cstdio>

namespace {

QString celsius(quint16 raw)
{
    return QString::number(double(Brisca::kelvinTenthsToCelsius(raw)), 'f', 1);
}

QString position(quint16 reg)
{
    return QStringLiteral("(%1,%2)")
        .arg(Brisca::positionFirst(reg))
        .arg(Brisca::positionSecond(reg));
}

QString onOff(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

void printSettings(QTextStream &out, const BriscaDevice &d)
{
    out << "Settings\n";
    out << "  slave address           " << d.slaveAddress << '\n';
    out << "  serial settings code    " << d.serialSettings << " (baud "
        << Brisca::baudRateOfIndex(Brisca::baudIndexOfSettings(d.serialSettings))
        << ", parity code " << Brisca::parityCodeOfSettings(d.serialSettings) << ")\n";
    out << "  app 1 thresholds        max " << celsius(d.app1MaxThreshold) << " C, min "
        << celsius(d.app1MinThreshold) << " C\n";
    out << "  app 2 thresholds        max " << celsius(d.app2MaxThreshold) << " C, min "
        << celsius(d.app2MinThreshold) << " C\n";
    out << "  app 3 thresholds        max " << celsius(d.app3MaxThreshold) << " C, min "
        << celsius(d.app3MinThreshold) << " C\n";
    out << "  alarm duration          " << d.alarmDuration << " ms\n";
    out << "  emissivity              " << d.emissivity << " %\n";
    out << "  reticle size            " << d.reticleSize << " px\n";
    out << "  moving average window   " << d.movingAverageWindow << " frames\n";
    out << "  grid ROI size code      " << d.gridRoiSize << " ("
        << Brisca::roiSideFromGridCode(d.gridRoiSize) << " px regions)\n";
    out << "  temperature choice      " << d.temperatureChoice << '\n';
    out << "  NO/NC output            " << onOff(d.noNcEnabled)
        << (d.alarmTimerBased ? ", timer based" : ", action based")
        << (d.outputNormallyClosed ? ", N.C." : ", N.O.") << (d.transistorNpn ? ", NPN" : ", PNP")
        << ", flag " << onOff(d.noNcOutputActive) << '\n';
    out << "  applications            1 " << onOff(d.app1Enabled) << ", 2 " << onOff(d.app2Enabled)
        << ", 3 " << onOff(d.app3Enabled) << '\n';
    out << "  app 1 limited FOV       " << onOff(d.app1LimitFov) << '\n';
    out << "  frame average           " << onOff(d.frameAverage) << '\n';
    out << "  counter type            "
        << (d.counterUnidirectional ? "unidirectional" : "bidirectional") << '\n';
}

void printMeasurements(QTextStream &out, const BriscaDevice &d)
{
    out << "Measurements\n";
    out << "  app 1 min / avg / max   " << celsius(d.app1MinTemp) << " "
        << position(d.app1MinPosition) << " / " << celsius(d.app1AvgTemp) << " / "
        << celsius(d.app1MaxTemp) << " " << position(d.app1MaxPosition) << '\n';
    out << "  app 2 average           " << celsius(d.app2AvgTemp) << '\n';
    out << "  app 3 highest breach    "
        << (d.app3HighestBreachTemp == 0 ? QStringLiteral("N/A") : celsius(d.app3HighestBreachTemp))
        << " in area A" << d.app3HighestBreachArea << ", counter " << d.app3Counter << '\n';
    out << "  alarms                  1 " << onOff(d.app1Alarm) << ", 2 " << onOff(d.app2Alarm)
        << ", 3 " << onOff(d.app3Alarm) << '\n';
    out << "  region temperatures     " << d.roiTemperatures.size() << " values\n";
}

void printFrame(QTextStream &out, const QVector<quint16> &frame)
{
    const auto [lo, hi] = std::minmax_element(frame.cbegin(), frame.cend());
    out << "Frame (" << frame.size() << " pixels, raw " << *lo << " .. " << *hi << ", "
        << celsius(*lo) << " .. " << celsius(*hi) << " C)\n";
    out << "  element 0 = " << frame.first() << ", element 1023 = " << frame.last() << '\n';
    // As the image shows it: element i in column i / 32 and row i % 32, row 0 at the bottom.
    for (int row = Brisca::FrameHeight - 1; row >= 0; --row) {
        out << "  ";
        for (int column = 0; column < Brisca::FrameWidth; ++column)
            out << qSetFieldWidth(6) << celsius(frame.at(column * Brisca::FrameHeight + row))
                << qSetFieldWidth(0);
        out << '\n';
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brisca-devicedump"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Reads the settings and one thermal frame of a Brisca sensor."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("PORT"), QStringLiteral("serial port"));
    const QCommandLineOption slaveOption(QStringLiteral("slave"), QStringLiteral("slave address"),
                                         QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption baudOption(QStringLiteral("baud"), QStringLiteral("baud rate"),
                                        QStringLiteral("B"), QStringLiteral("19200"));
    const QCommandLineOption parityOption(QStringLiteral("parity"),
                                          QStringLiteral("none, even or odd"), QStringLiteral("P"),
                                          QStringLiteral("even"));
    parser.addOptions({slaveOption, baudOption, parityOption});
    parser.process(app);

    QTextStream err(stderr);
    if (parser.positionalArguments().size() != 1) {
        err << parser.helpText();
        return 2;
    }
    bool ok = false;
    const int slave = parser.value(slaveOption).toInt(&ok);
    if (!ok || slave < 1 || slave > 247) {
        err << "slave address must be 1 .. 247\n";
        return 2;
    }
    const int baud = parser.value(baudOption).toInt(&ok);
    if (!ok || baud <= 0) {
        err << "invalid baud rate\n";
        return 2;
    }
    const QString parityName = parser.value(parityOption).toLower();
    QSerialPort::Parity parity = QSerialPort::EvenParity;
    if (parityName == QLatin1String("none"))
        parity = QSerialPort::NoParity;
    else if (parityName == QLatin1String("odd"))
        parity = QSerialPort::OddParity;
    else if (parityName != QLatin1String("even")) {
        err << "parity must be none, even or odd\n";
        return 2;
    }

    BriscaDevice device;
    device.setConnectionParameter(QModbusDevice::SerialPortNameParameter,
                                  parser.positionalArguments().constFirst());
    device.setConnectionParameter(QModbusDevice::SerialParityParameter, parity);
    device.setConnectionParameter(QModbusDevice::SerialBaudRateParameter, baud);
    device.setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
    device.setConnectionParameter(QModbusDevice::SerialStopBitsParameter,
                                  parity == QSerialPort::NoParity ? QSerialPort::TwoStop
                                                                  : QSerialPort::OneStop);
    device.setTimeout(3000);
    device.setNumberOfRetries(0);

    QTextStream out(stdout);
    int exitCode = 0;
    auto finish = [&](int code) {
        exitCode = code;
        device.disconnectDevice();
        QCoreApplication::exit(code);
    };

    QObject::connect(&device, &BriscaDevice::signal_status, &app, [&](const QString &text) {
        err << text << '\n';
        err.flush();
        if (text.contains(QLatin1String("error")) || text.startsWith(QLatin1String("Could not")))
            finish(1);
    });
    QObject::connect(&device, &QModbusDevice::errorOccurred, &app, [&](QModbusDevice::Error) {
        err << "link error: " << device.errorString() << '\n';
        finish(1);
    });
    QObject::connect(&device, &BriscaDevice::connectionValidated, &app, [&] {
        out << "Slave " << slave << " validated\n";
        device.readSettings(quint8(slave));
    });
    // The settings read ends with the holding registers; the frame comes next.
    QObject::connect(&device, &BriscaDevice::holdingRegsDataReady, &app, [&] {
        printSettings(out, device);
        out.flush();
        device.requestImage();
    });
    QObject::connect(&device, &BriscaDevice::pixelDataReady, &app,
                     [&](const QVector<quint16> &frame) {
                         printMeasurements(out, device);
                         printFrame(out, frame);
                         out.flush();
                         finish(0);
                     });

    if (!device.connectDevice()) {
        err << "cannot open " << parser.positionalArguments().constFirst() << ": "
            << device.errorString() << '\n';
        return 1;
    }
    device.selectSlave(quint8(slave));

    // Every request has its own timeout; this only bounds a sensor that keeps the
    // sequence going without ever completing it.
    QTimer::singleShot(30000, &app, [&] {
        err << "no complete answer within 30 s\n";
        finish(1);
    });
    const int rc = app.exec();
    return exitCode != 0 ? exitCode : rc;
}
