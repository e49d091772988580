#include "operatorguide.h"

#include <QImage>

namespace {

// Screenshots are taken at a field laptop's full width; in the guide they share the window.
constexpr int PictureWidth = 760;

} // namespace

// Outside any namespace, as the resource initialiser must be.
static void initHelpResources()
{
    Q_INIT_RESOURCE(help);
}

OperatorGuide::OperatorGuide(QWidget *parent)
    : QTextBrowser(parent)
{
    initHelpResources();
    setObjectName(QStringLiteral("operatorGuide"));
    setWindowFlag(Qt::Window);
    setWindowTitle(tr("Velmora Brisca: operator's guide"));
    setOpenExternalLinks(true);
    resize(PictureWidth + 80, 700);
    setSource(source(), QTextDocument::MarkdownResource);
}

QUrl OperatorGuide::source()
{
    return QUrl(QStringLiteral("qrc:/help/operator.md"));
}

QVariant OperatorGuide::loadResource(int type, const QUrl &name)
{
    const QVariant loaded = QTextBrowser::loadResource(type, name);
    if (type != QTextDocument::ImageResource)
        return loaded;
    QImage picture = qvariant_cast<QImage>(loaded);
    if (picture.isNull())
        picture = QImage::fromData(loaded.toByteArray());
    if (picture.width() > PictureWidth)
        picture = picture.scaledToWidth(PictureWidth, Qt::SmoothTransformation);
    return picture.isNull() ? loaded : QVariant(picture);
}
