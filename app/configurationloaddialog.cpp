#include "configurationloaddialog.h"

#include "briscadevice.h"
#include "sensorconfigurator.h"
#include "settingcatalog.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

using namespace BriscaConfig;
using Outcome = SensorConfigurator::Outcome;

ConfigurationLoadDialog::ConfigurationLoadDialog(BriscaDevice *device,
                                                 const Configuration &configuration,
                                                 const QString &path, QWidget *parent)
    : QDialog(parent)
    , m_configuration(configuration)
    , m_path(path)
    , m_device(device)
    , m_configurator(new SensorConfigurator(device, this))
    , m_summary(new QLabel(this))
    , m_table(new QTableWidget(0, 3, this))
    , m_write(new QPushButton(tr("&Write to sensor"), this))
    , m_close(new QPushButton(tr("Cancel"), this))
{
    setWindowTitle(tr("Load configuration onto sensor: %1").arg(QFileInfo(path).fileName()));
    m_summary->setWordWrap(true);
    m_table->verticalHeader()->hide();
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionMode(QAbstractItemView::NoSelection);
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_write->setEnabled(false);

    auto *buttons = new QDialogButtonBox(this);
    buttons->addButton(m_write, QDialogButtonBox::AcceptRole);
    buttons->addButton(m_close, QDialogButtonBox::RejectRole);
    // Writing is never the default: Enter must not change a sensor.
    m_write->setAutoDefault(false);
    m_close->setDefault(true);
    connect(m_write, &QPushButton::clicked, this, &ConfigurationLoadDialog::write);
    connect(m_close, &QPushButton::clicked, this, &ConfigurationLoadDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_summary);
    layout->addWidget(m_table, 1);
    layout->addWidget(buttons);
    resize(720, 480);

    connect(m_configurator, &SensorConfigurator::settingsRead, this,
            &ConfigurationLoadDialog::showDifferences);
    connect(m_configurator, &SensorConfigurator::readFailed, this, [this](const QString &error) {
        m_summary->setText(
            tr("The sensor's settings could not be read: %1\nNothing was written.").arg(error));
        m_close->setText(tr("Close"));
    });
    connect(m_configurator, &SensorConfigurator::writing, this, [this](int setting) {
        m_summary->setText(tr("Writing %1…").arg(settings().at(setting).label));
    });
    connect(m_configurator, &SensorConfigurator::finished, this,
            &ConfigurationLoadDialog::showResult);

    m_summary->setText(tr("Reading the sensor's settings…"));
    // The pages may show older values than the sensor holds; the comparison is with what it
    // holds now.
    m_configurator->readSettings();
}

QString ConfigurationLoadDialog::summary() const
{
    return m_summary->text();
}

bool ConfigurationLoadDialog::isWriting() const
{
    return m_configurator->isBusy();
}

void ConfigurationLoadDialog::reject()
{
    // Half a configuration is worse than either: once writing has begun it runs to the end.
    if (m_configurator->isBusy() && !m_write->isEnabled())
        return;
    QDialog::reject();
}

void ConfigurationLoadDialog::setRow(int row, const QStringList &cells, bool muted)
{
    for (int column = 0; column < cells.size(); ++column) {
        auto *item = new QTableWidgetItem(cells.at(column));
        if (muted)
            item->setForeground(palette().color(QPalette::Disabled, QPalette::Text));
        m_table->setItem(row, column, item);
    }
}

void ConfigurationLoadDialog::showDifferences()
{
    if (!m_device)
        return;
    QVector<SensorConfigurator::Item> differing;
    for (const auto &item : SensorConfigurator::compare(*m_device, m_configuration)) {
        if (item.differs())
            differing.append(item);
    }
    m_table->setRowCount(differing.size());
    m_table->setHorizontalHeaderLabels({tr("Setting"), tr("Sensor now"), tr("File")});
    int writes = 0;
    bool bus = false;
    for (int row = 0; row < differing.size(); ++row) {
        const SensorConfigurator::Item &item = differing.at(row);
        const Setting &setting = settings().at(item.setting);
        QString label = setting.label;
        if (setting.bus) {
            label += tr(" (not written from here)");
            bus = true;
        } else {
            ++writes;
        }
        setRow(row, {label, valueText(setting, item.before), valueText(setting, item.wanted)},
               setting.bus);
    }
    int total = 0;
    for (auto it = m_configuration.values().constBegin(); it != m_configuration.values().constEnd();
         ++it)
        total += settings().at(it.key()).bus ? 0 : 1;
    QString text = writes == 0
                       ? tr("The sensor already holds every setting of the file.")
                       : tr("%1 of the file's %2 settings differ from the sensor. Nothing is "
                            "written until you press Write to sensor; then every setting is "
                            "read back.")
                             .arg(writes)
                             .arg(total);
    if (bus)
        text += QLatin1Char(' ') + tr("The file's bus settings differ too; they are not written "
                                      "from here (the connection page changes them).");
    m_summary->setText(text);
    m_write->setEnabled(writes > 0);
    if (writes == 0)
        m_close->setText(tr("Close"));
}

void ConfigurationLoadDialog::write()
{
    if (m_configurator->isBusy())
        return;
    m_write->setEnabled(false);
    m_close->setEnabled(false);
    m_configurator->apply(m_configuration, false);
}

void ConfigurationLoadDialog::showResult(bool ok)
{
    // What changed, or failed to, before what stayed as it was.
    QVector<SensorConfigurator::Item> items = m_configurator->items();
    const auto rank = [](Outcome outcome) {
        return outcome == Outcome::Failed       ? 0
               : outcome == Outcome::Verified   ? 1
               : outcome == Outcome::NotWritten ? 2
                                                : 3;
    };
    std::stable_sort(items.begin(), items.end(), [&](const auto &a, const auto &b) {
        return rank(a.outcome) < rank(b.outcome);
    });
    m_table->clear();
    m_table->setRowCount(items.size());
    m_table->setHorizontalHeaderLabels({tr("Setting"), tr("Sensor now"), tr("Result")});
    int written = 0;
    for (int row = 0; row < items.size(); ++row) {
        const SensorConfigurator::Item &item = items.at(row);
        const Setting &setting = settings().at(item.setting);
        QString result;
        switch (item.outcome) {
        case Outcome::Unchanged:
            result = tr("unchanged");
            break;
        case Outcome::Verified:
            result = tr("written and verified");
            ++written;
            break;
        case Outcome::Failed:
            result = tr("failed: %1").arg(item.detail);
            break;
        case Outcome::NotWritten:
            result =
                setting.bus ? tr("not written from here") : tr("not written: %1").arg(item.detail);
            break;
        }
        const quint16 now = item.readBack ? item.after : item.before;
        setRow(row, {setting.label, valueText(setting, now), result},
               item.outcome == Outcome::Unchanged || item.outcome == Outcome::NotWritten);
        if (item.outcome == Outcome::Failed)
            m_table->item(row, 2)->setForeground(Qt::red);
    }
    if (ok) {
        m_summary->setText(tr("%1 settings written and verified; every setting of the file was "
                              "read back from the sensor.")
                               .arg(written));
    } else {
        QStringList before;
        for (const QString &name : m_configurator->writtenBeforeFailure())
            before << settings().at(indexOf(name)).label;
        QString text = tr("Some settings failed: the sensor does not hold the file's values.");
        if (m_configurator->stoppedAt() >= 0)
            text += QLatin1Char(' ') +
                    tr("Writing stopped at %1; written before it: %2.")
                        .arg(settings().at(m_configurator->stoppedAt()).label,
                             before.isEmpty() ? tr("nothing") : before.join(QLatin1String(", ")));
        m_summary->setText(text);
    }
    m_close->setText(tr("Close"));
    m_close->setEnabled(true);
}
