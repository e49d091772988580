#include "about.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

// The dialog's widgets, named so that the slots connect by name. The widgets
// belong to the dialog; the record only points at them.
struct About::Widgets
{
    QVBoxLayout *verticalLayout = nullptr;
    QTextBrowser *textBrowser = nullptr;
    QHBoxLayout *horizontalLayout_2 = nullptr;
    QPushButton *About_Qt = nullptr;
    QDialogButtonBox *buttonBox = nullptr;
};

About::About(QWidget *parent)
    : QDialog(parent, Qt::WindowFlags())
    , m_widgets(std::make_unique<Widgets>())
{
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("About"));
    resize(487, 331);

    Widgets &w = *m_widgets;
    w.verticalLayout = new QVBoxLayout(this);
    w.verticalLayout->setObjectName(QStringLiteral("verticalLayout"));

    w.textBrowser = new QTextBrowser(this);
    w.textBrowser->setObjectName(QStringLiteral("textBrowser"));
    // The browser must never follow a link itself, or the notice would be
    // replaced by the page; every click arrives as anchorClicked instead.
    w.textBrowser->setOpenExternalLinks(true);
    w.textBrowser->setOpenLinks(false);
    w.verticalLayout->addWidget(w.textBrowser);

    w.horizontalLayout_2 = new QHBoxLayout();
    w.horizontalLayout_2->setObjectName(QStringLiteral("horizontalLayout_2"));
    w.About_Qt = new QPushButton(this);
    w.About_Qt->setObjectName(QStringLiteral("About_Qt"));
    w.horizontalLayout_2->addWidget(w.About_Qt);
    w.buttonBox = new QDialogButtonBox(this);
    w.buttonBox->setObjectName(QStringLiteral("buttonBox"));
    w.buttonBox->setOrientation(Qt::Horizontal);
    w.buttonBox->setStandardButtons(QDialogButtonBox::Ok);
    w.horizontalLayout_2->addWidget(w.buttonBox);
    w.verticalLayout->addLayout(w.horizontalLayout_2);

    setWindowTitle(tr("About"));
    w.About_Qt->setText(tr("About Qt"));
    w.textBrowser->setHtml(
        tr("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\" "
           "\"http://www.w3.org/TR/REC-html40/strict.dtd\">\n"
           "<html><head><meta name=\"qrichtext\" content=\"1\" />"
           "<style type=\"text/css\">\np, li { white-space: pre-wrap; }\n</style></head>"
           "<body style=\" font-family:'MS Shell Dlg 2'; font-size:7.8pt; font-weight:400; "
           "font-style:normal;\">\n"
           "<p style=\" margin:0px; -qt-block-indent:0; text-indent:0px;\">"
           "<img src=\":/images/velmora-logo.png\" /></p>\n"
           "<p style=\"-qt-paragraph-type:empty; margin:0px; -qt-block-indent:0; "
           "text-indent:0px;\"><br /></p>\n"
           "<p style=\" margin:0px; -qt-block-indent:0; text-indent:0px;\">"
           "<span style=\" font-size:10pt;\">Brisca GUI Client v%1</span></p>\n"
           "<p style=\"-qt-paragraph-type:empty; margin:0px; -qt-block-indent:0; "
           "text-indent:0px;\"><br /></p>\n"
           "<p style=\" margin:0px; -qt-block-indent:0; text-indent:0px;\">"
           "<a href=\"https://www.example.com/\"><span style=\" font-size:8pt; "
           "text-decoration: underline; color:#0000ff;\">Velmora - www.example.com</span></a>"
           "</p>\n"
           "<p style=\" margin:0px; -qt-block-indent:0; text-indent:0px;\">"
           "<span style=\" font-size:8.25pt; color:#808080;\">"
           "This program is free software under the GNU General Public License version 3 or "
           "later. It is built on the Qt framework, used under the GNU Lesser General Public "
           "License version 3, and on the QCustomPlot library, used under the GNU General "
           "Public License version 3. The toggle switch is this project's own work, licensed "
           "under the GNU General Public License, and follows the "
           "</span><a href=\"https://m2.material.io/components/switches\"><span style=\" "
           "font-size:8.25pt; text-decoration: underline; color:#0000ff;\">Material Design "
           "switch guidelines</span></a><span style=\" font-size:8.25pt; color:#808080;\">. "
           "The licence texts are at </span>"
           "<a href=\"https://www.gnu.org/licenses/\"><span style=\" font-size:8.25pt; "
           "text-decoration: underline; color:#0000ff;\">www.gnu.org/licenses</span></a>"
           "<span style=\" font-size:8.25pt; color:#808080;\">.</span></p>\n"
           "<p style=\"-qt-paragraph-type:empty; margin:0px; -qt-block-indent:0; "
           "text-indent:0px;\"><br /></p></body></html>")
            .arg(QStringLiteral(BRISCA_VERSION)));

    connect(w.buttonBox, SIGNAL(accepted()), this, SLOT(accept()));
    connect(w.buttonBox, SIGNAL(rejected()), this, SLOT(reject()));

    QMetaObject::connectSlotsByName(this);
}

About::~About() = default;

void About::on_textBrowser_anchorClicked(const QUrl &arg1)
{
    // A link the desktop cannot open is not worth an error box.
    QDesktopServices::openUrl(arg1);
}

void About::on_About_Qt_clicked()
{
    QApplication::aboutQt();
}
