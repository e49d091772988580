// Records from a sensor until a given number of rows, then leaves the file the way a process
// killed while writing a row would (half of a row at its end) and waits to be killed.
//
//   brisca-recordkill PORT FILE ROWS
//
// Prints "cut N" once N whole rows and the half row are in the file. A row goes to the file
// in one write, so the half row is written here on purpose: no kill could be timed to land
// inside that write.
#include "briscadevice.h"
#include "devicesampler.h"
#include "recorder.h"
#include "recordingformat.h"

#include <QCoreApplication>
#include <QFile>
#include <QSerialPort>
#include <QVariant>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: brisca-recordkill PORT FILE ROWS\n");
        return 2;
    }
    const QString path = args.at(2);
    const qint64 rows = args.at(3).toLongLong();

    BriscaDevice device;
    device.setConnectionParameter(QModbusDevice::SerialPortNameParameter, args.at(1));
    device.setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::EvenParity);
    device.setConnectionParameter(QModbusDevice::SerialBaudRateParameter, 19200);
    device.setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
    device.setConnectionParameter(QModbusDevice::SerialStopBitsParameter, QSerialPort::OneStop);
    device.setTimeout(3000);
    device.slaveAddress = 1;
    if (!device.connectDevice()) {
        std::fprintf(stderr, "cannot open %s\n", qPrintable(args.at(1)));
        return 1;
    }

    DeviceSampler sampler;
    sampler.setDevice(&device);
    Recorder recorder;
    QObject::connect(&sampler, &DeviceSampler::sampled, &recorder, &Recorder::writeSample);
    if (!recorder.start(path)) {
        std::fprintf(stderr, "%s\n", qPrintable(recorder.errorString()));
        return 1;
    }

    Recording::Sample last;
    QObject::connect(&sampler, &DeviceSampler::sampled, &app,
                     [&](const Recording::Sample &sample) { last = sample; });
    QObject::connect(&device, &BriscaDevice::pixelDataReady, &app, [&] {
        if (recorder.rowCount() < rows)
            device.requestImage();
    });
    QObject::connect(&recorder, &Recorder::rowWritten, &app, [&](qint64 written) {
        if (written != rows)
            return;
        sampler.setDevice(nullptr);
        const QByteArray row = Recording::formatRow(last);
        QFile file(path);
        if (!file.open(QIODevice::Append) || file.write(row.left(row.size() / 2)) <= 0)
            std::exit(1);
        file.close();
        std::printf("cut %lld\n", written);
        std::fflush(stdout);
    });
    device.requestImage();
    return app.exec();
}
