#include "portchooser.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QSerialPortInfo>
#include <QStyle>

PortChooser::PortChooser(QLineEdit *field)
    : QObject(field)
    , m_field(field)
    , m_action(new QAction(field))
    , m_menu(new QMenu(field))
{
    m_action->setIcon(field->style()->standardIcon(QStyle::SP_ArrowDown));
    m_action->setToolTip(tr("Serial ports of this computer"));
    m_field->addAction(m_action, QLineEdit::TrailingPosition);
    connect(m_menu, &QMenu::aboutToShow, this, &PortChooser::refresh);
    connect(m_action, &QAction::triggered, this,
            [this] { m_menu->popup(m_field->mapToGlobal(m_field->rect().bottomLeft())); });
}

QString PortChooser::describe(const QSerialPortInfo &port)
{
    QString text = port.portName();
    if (!port.description().isEmpty())
        text += QStringLiteral(" — ") + port.description();
    QStringList details;
    if (!port.manufacturer().isEmpty())
        details << port.manufacturer();
    if (!port.serialNumber().isEmpty())
        details << tr("serial %1").arg(port.serialNumber());
    if (!details.isEmpty())
        text += QStringLiteral(" (") + details.join(QStringLiteral(", ")) + QLatin1Char(')');
    return text;
}

void PortChooser::refresh()
{
    m_menu->clear();
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports) {
        QAction *entry = m_menu->addAction(describe(port));
        const QString location = port.systemLocation();
        entry->setData(location);
        connect(entry, &QAction::triggered, m_field, [this, location] {
            m_field->setText(location);
            m_field->setFocus();
        });
    }
    if (ports.isEmpty()) {
        QAction *none = m_menu->addAction(tr("No serial port found; type the port's path"));
        none->setEnabled(false);
    }
}
