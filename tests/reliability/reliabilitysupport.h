#pragma once

#include "windowdriver.h"

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

class BriscaDevice;
class QMainWindow;
class QMessageBox;

namespace Reliability {

// Every message the window put in its status bar, in order. The bar signals a change only
// when the text differs from the one shown, so a repeated text (a second "Value
// successfully updated") is taken from the device's own status signal: attach() every
// device the window creates.
class StatusLog : public QObject
{
public:
    explicit StatusLog(QMainWindow *window);

    void attach(BriscaDevice *device);
    int size() const { return m_entries.size(); }
    QStringList since(int index) const { return m_entries.mid(index); }
    // Index of the first message from `from` on that matches the regular expression, or -1.
    int find(const QString &pattern, int from = 0) const;
    int count(const QString &pattern, int from) const;

private:
    QStringList m_entries;
    bool m_barChanged = false;
};

// The quiet map with a frame whose every element is told apart (20.0 degrees plus a tenth
// per element) and, from register 25, the region temperatures `regions`.
QJsonObject mapWithFrame(const QVector<int> &regions = {});

// Gives the next modal message box to `answer` as soon as it shows.
void answerNextBox(const std::function<void(QMessageBox *)> &answer);
void acceptNextBox();

// The port as the window shows it once the link is gone: Connect offered again, nothing
// that needs an open port, continuous mode stopped. Empty when so, else what differs.
QStringList portClosedDifferences(const WindowDriver &driver);

// What the operator reads on one control: a combo box's or spin box's text, a label's
// text and style, "on" or "off" for a check button.
QString shown(const WindowDriver &driver, const char *name);
// The threshold editors, maximum and minimum of each page, and which of them are enabled
// ("1" or "0" each, in that order).
extern const char *const Editors[6];
QString editorsEnabled(const WindowDriver &driver);
// Every value-carrying widget of the window, by object name (plots by a digest of their
// frame).
QMap<QString, QString> widgetSnapshot(const QMainWindow &window);
// The device's caches, keyed by register ("holding 9", "coils 5", "discrete 2", "input 0",
// "input block" for the regions, "frame"), and the same for what the sensor holds.
QMap<QString, QString> cacheSnapshot(const BriscaDevice &device);
QMap<QString, QString> sensorView(const SimProcess &sim);
// Names whose values differ between two snapshots (also names present in only one).
QStringList changedKeys(const QMap<QString, QString> &before, const QMap<QString, QString> &after);

// The fault matrix: every fault the virtual sensor can inject against every operation the
// operator can start (docs/reliability.md describes the cells).
enum Operation
{
    SelectSlave,
    SettingsRead,
    CoilWrite,
    RegisterWrite,
    ThresholdPair,
    SingleImage,
    ContinuousMode,
    BusSettings,
};
// One `_data()` row per operation of `operations` and fault, columns "operation", "fault".
void faultMatrixRows(const QList<Operation> &operations);
// Runs the cell of the current row and fails the test if a check of the cell failed.
void runFaultRow();

// One window on one sensor for a played scene, with the frames drawn.
struct Play
{
    WindowDriver driver;
    int frames = 0;

    bool begin(const QJsonObject &map, const QStringList &simArgs);
    // Connect and Select slave (again).
    bool select();
    template <typename T = QPushButton> T *get(const char *name) const
    {
        return driver.child<T>(name);
    }
    int holding(int address) { return driver.sim().stateArray("holding").value(address); }
    int coil(int address) { return driver.sim().stateArray("coils").value(address); }
    // Writes since `mark` whose frame starts with `prefix`.
    QStringList writesTo(int mark, const QString &prefix) const;
};
using Moves = std::function<void(Play &)>;
// Plays the current row: a sensor started with its columns "map" and "simArgs", a window
// connected to it, then the row's "moves".
void playRow();

} // namespace Reliability

Q_DECLARE_METATYPE(Reliability::Moves)
