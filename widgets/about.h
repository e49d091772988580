#pragma once

#include <QDialog>

#include <memory>

class QUrl;

// The client's identity, version and licence notice, with a button for the
// toolkit's own About box. Links in the text open in the desktop's browser.
class About : public QDialog
{
    Q_OBJECT

public:
    explicit About(QWidget *parent = nullptr);
    ~About() override;

private Q_SLOTS:
    void on_textBrowser_anchorClicked(const QUrl &arg1);
    void on_About_Qt_clicked();

private:
    struct Widgets;
    std::unique_ptr<Widgets> m_widgets;
};
