#pragma once

#include <QTextBrowser>

// The operator's guide (docs/operator.md with its screenshots), shown from the program's
// own resources so that it is there wherever the program runs.
class OperatorGuide : public QTextBrowser
{
    Q_OBJECT
public:
    explicit OperatorGuide(QWidget *parent = nullptr);

    // Where the guide lives among the resources.
    static QUrl source();

protected:
    // Screenshots are scaled down to the width of the window's text.
    QVariant loadResource(int type, const QUrl &name) override;
};
