// brisca-perf-linkwork [FRAMES]: the client's link work of whole images, for callgrind.
//
//   valgrind --tool=callgrind --instr-atstart=no brisca-perf-linkwork 20
//
// A BriscaDevice on its own, connected to an unpaced virtual sensor, asks for FRAMES images
// one after the other, the way continuous mode does: the next requestImage() once the
// frame has arrived. Instrumentation is switched on only around those images, so the count
// holds what the client does for them (issuing the requests, the serial port, the Modbus
// master's framing, the reply handlers, the caches, the frame assembly) and nothing of the
// start-up. Waiting for the line costs no instructions, so the count does not depend on
// how fast the sensor answers.

#include "briscadevice.h"
#include "perfsupport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>

#include <cstdio>

#ifdef BRISCA_HAVE_CALLGRIND
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#define CALLGRIND_ZERO_STATS
#endif

namespace {

int fail(const char *what)
{
    std::fprintf(stderr, "brisca-perf-linkwork: %s\n", what);
    return 1;
}

// Asks for one image and runs the event loop until its frame is there.
bool oneImage(BriscaDevice &device, int timeoutMs)
{
    QEventLoop loop;
    bool arrived = false;
    QObject::connect(&device, &BriscaDevice::pixelDataReady, &loop, [&] {
        arrived = true;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    device.requestImage();
    loop.exec();
    return arrived;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int frames = qMax(1, app.arguments().value(1, QStringLiteral("20")).toInt());
    // Under callgrind everything runs some 50 times slower than natively.
    constexpr int ImageTimeoutMs = 60000;

    Perf::Sim sim;
    const QStringList args{QStringLiteral("--load"),
                           sim.writeJson(QStringLiteral("map.json"), Perf::sensorMap(19200)),
                           QStringLiteral("--parity"), QStringLiteral("even")};
    if (!sim.start(args))
        return fail("the virtual sensor did not start");

    BriscaDevice device;
    // The connection the window makes for 19200 8E1; the line itself is a pty.
    device.setConnectionParameter(QModbusDevice::SerialPortNameParameter, sim.linkPath());
    device.setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::EvenParity);
    device.setConnectionParameter(QModbusDevice::SerialBaudRateParameter, 19200);
    device.setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
    device.setConnectionParameter(QModbusDevice::SerialStopBitsParameter, QSerialPort::OneStop);
    device.setTimeout(ImageTimeoutMs / 10);
    device.setNumberOfRetries(0);
    if (!device.connectDevice())
        return fail("cannot open the sensor's line");

    // The settings read the window makes after selecting: it sets the slave address and
    // the retries that every image then runs with.
    QEventLoop settings;
    QObject::connect(&device, &BriscaDevice::holdingRegsDataReady, &settings, &QEventLoop::quit);
    QTimer::singleShot(ImageTimeoutMs, &settings, &QEventLoop::quit);
    device.readSettings(1);
    settings.exec();
    if (device.slaveAddress != 1)
        return fail("the settings were not read");

    // First-time work (buffers, the first reads of the port) stays out of the count.
    for (int i = 0; i < 3; ++i) {
        if (!oneImage(device, ImageTimeoutMs))
            return fail("a warm-up image did not arrive");
    }

    CALLGRIND_ZERO_STATS;
    CALLGRIND_START_INSTRUMENTATION;
    int done = 0;
    for (; done < frames; ++done) {
        if (!oneImage(device, ImageTimeoutMs))
            break;
    }
    CALLGRIND_STOP_INSTRUMENTATION;

    device.disconnectDevice();
    sim.stop();
    if (done < frames)
        return fail("an image did not arrive");
    std::printf("result frames=%d\n", frames);
    return 0;
}
