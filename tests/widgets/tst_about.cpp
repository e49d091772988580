#include "about.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>

namespace {

// Stands in for the desktop's browser.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public Q_SLOTS:
    void openUrl(const QUrl &url) { urls << url; }
};

// The viewport point in the middle of the first link to href, or (-1, -1).
QPoint linkPosition(QTextBrowser *browser, const QString &href)
{
    for (QTextBlock block = browser->document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.charFormat().isAnchor() || fragment.charFormat().anchorHref() != href)
                continue;
            QTextCursor cursor(browser->document());
            cursor.setPosition(fragment.position() + fragment.length() / 2);
            return browser->cursorRect(cursor).center();
        }
    }
    return QPoint(-1, -1);
}

} // namespace

class tst_About : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void identity();
    void linkGoesToTheDesktop();
    void okClosesAndDestroys();
};

void tst_About::cleanup()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
}

// The version the program is built as, and the logo from the resources: a wrong path
// would leave a broken image at the top.
void tst_About::identity()
{
    About about;
    auto *browser = about.findChild<QTextBrowser *>(QStringLiteral("textBrowser"));
    QVERIFY(browser);
    QVERIFY(browser->toPlainText().contains(QStringLiteral("Brisca GUI Client v" BRISCA_VERSION)));
    QString source;
    for (QTextBlock block = browser->document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd() && source.isEmpty(); ++it) {
            if (it.fragment().charFormat().isImageFormat())
                source = it.fragment().charFormat().toImageFormat().name();
        }
    }
    const QVariant logo = browser->loadResource(QTextDocument::ImageResource, QUrl(source));
    QVERIFY2(!QImage::fromData(logo.toByteArray()).isNull() || !logo.value<QImage>().isNull(),
             qPrintable(source));
}

void tst_About::linkGoesToTheDesktop()
{
    const QString href = QStringLiteral("https://m2.material.io/components/switches");
    UrlCatcher desktop;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &desktop, "openUrl");

    About about;
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    auto *browser = about.findChild<QTextBrowser *>(QStringLiteral("textBrowser"));
    QVERIFY(browser);
    const QString before = browser->toHtml();

    const QPoint at = linkPosition(browser, href);
    QVERIFY2(browser->viewport()->rect().contains(at), qPrintable(href));
    QTest::mouseClick(browser->viewport(), Qt::LeftButton, {}, at);

    QTRY_COMPARE(desktop.urls, QList<QUrl>{QUrl(href)});
    QCOMPARE(browser->toHtml(), before);
    QVERIFY(browser->source().isEmpty());
}

void tst_About::okClosesAndDestroys()
{
    QPointer<About> about = new About;
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->show();
    QVERIFY(QTest::qWaitForWindowExposed(about));
    auto *buttonBox = about->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
    QVERIFY(buttonBox);
    QTest::mouseClick(buttonBox->button(QDialogButtonBox::Ok), Qt::LeftButton);
    QTRY_VERIFY(about.isNull());
}

QTEST_MAIN(tst_About)
#include "tst_about.moc"
