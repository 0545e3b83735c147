// Help > User Guide: README and docs/*.md, compiled in as resources, in a
// browser window of the application.
#pragma once

#include <QTextBrowser>
#include <QWidget>

// A QTextBrowser whose Markdown headings can be linked to: each heading gets
// the anchor the page's links use (lower case, punctuation dropped, blanks as
// hyphens; a repeated heading gets -1, -2, ...).
class GuideBrowser : public QTextBrowser
{
    Q_OBJECT

public:
    explicit GuideBrowser(QWidget *parent = nullptr);

    // The anchor a link to a heading with this text uses.
    static QString headingAnchor(const QString &heading);
    // Whether the page shown has this anchor.
    bool hasAnchor(const QString &name) const;

protected:
    void doSetSource(const QUrl &name, QTextDocument::ResourceType type) override;

private:
    void anchorHeadings();
};

class UserGuide : public QWidget
{
    Q_OBJECT

public:
    explicit UserGuide(QWidget *parent = nullptr);

    static QUrl homePage();
    GuideBrowser *browser() const { return m_browser; }

private:
    GuideBrowser *m_browser = nullptr;
};
