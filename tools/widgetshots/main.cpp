// Renders the pictures of the switch and the About dialog for the documentation.
#include "about.h"
#include "switch.h"

#include <QApplication>
#include <QDir>
#include <QGridLayout>
#include <QLabel>
#include <QTextBrowser>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: brisca-widgetshots <output folder>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));

    QWidget sheet;
    sheet.setAutoFillBackground(true);
    auto *grid = new QGridLayout(&sheet);
    const QStringList columns{QStringLiteral("off"), QStringLiteral("on"),
                              QStringLiteral("disabled off"), QStringLiteral("disabled on")};
    for (int c = 0; c < columns.size(); ++c)
        grid->addWidget(new QLabel(columns.at(c), &sheet), 0, c + 1);
    const QStringList rows{QStringLiteral("without text"), QStringLiteral("with text"),
                           QStringLiteral("right to left")};
    for (int r = 0; r < rows.size(); ++r) {
        grid->addWidget(new QLabel(rows.at(r), &sheet), r + 1, 0);
        for (int c = 0; c < columns.size(); ++c) {
            // Set while hidden, so the states show without a slide.
            auto *sw = new Switch(r == 0 ? QString() : QStringLiteral("Application %1").arg(c + 1),
                                  &sheet);
            sw->setChecked(c % 2 == 1);
            sw->setEnabled(c < 2);
            if (r == 2)
                sw->setLayoutDirection(Qt::RightToLeft);
            grid->addWidget(sw, r + 1, c + 1);
        }
    }
    // A window shown at its own size hint is capped at two thirds of the
    // screen, which the small offscreen screen would cut the texts to.
    sheet.resize(sheet.sizeHint());
    sheet.show();
    QApplication::processEvents();
    bool ok = sheet.grab().save(out.filePath(QStringLiteral("switch-states.png")));

    About about;
    about.show();
    QApplication::processEvents();
    ok = about.grab().save(out.filePath(QStringLiteral("about-dialog.png"))) && ok;
    return ok ? 0 : 1;
}
