#include "windowkeys.h"

#include "operatorguide.h"

#include <QAction>
#include <QWidget>

WindowKeys::WindowKeys(QWidget *window)
    : QObject(window)
    , m_window(window)
{
    // Spelt out: the platform's own quit sequence is empty on some desktops.
    auto *quit = new QAction(tr("Quit"), window);
    quit->setObjectName(QStringLiteral("actionQuit"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, window, &QWidget::close);
    window->addAction(quit);

    auto *help = new QAction(tr("Operator's guide"), window);
    help->setObjectName(QStringLiteral("actionOperatorGuide"));
    help->setShortcut(QKeySequence(Qt::Key_F1));
    connect(help, &QAction::triggered, this, &WindowKeys::openGuide);
    window->addAction(help);
}

void WindowKeys::openGuide()
{
    if (!m_guide) {
        m_guide = new OperatorGuide(m_window);
        m_guide->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_guide->show();
    m_guide->raise();
    m_guide->activateWindow();
}
