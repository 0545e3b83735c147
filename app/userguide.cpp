#include "userguide.h"

#include <QHash>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextCursor>
#include <QToolBar>
#include <QVBoxLayout>

GuideBrowser::GuideBrowser(QWidget *parent) : QTextBrowser(parent)
{
    setObjectName(QStringLiteral("guideBrowser"));
    // Web addresses go to the desktop's browser; pages of the guide stay here.
    setOpenExternalLinks(true);
}

QString GuideBrowser::headingAnchor(const QString &heading)
{
    static const QRegularExpression dropped(QStringLiteral("[^\\w\\- ]"));
    QString slug = heading.trimmed().toLower();
    slug.remove(dropped);
    slug.replace(QLatin1Char(' '), QLatin1Char('-'));
    return slug;
}

bool GuideBrowser::hasAnchor(const QString &name) const
{
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().anchorNames().contains(name))
                return true;
    return false;
}

void GuideBrowser::doSetSource(const QUrl &name, QTextDocument::ResourceType type)
{
    const QUrl before = source().adjusted(QUrl::RemoveFragment);
    QTextBrowser::doSetSource(name, type);
    if (source().adjusted(QUrl::RemoveFragment) == before && !before.isEmpty()
        && document()->property("anchored").toBool())
        return;  // the same page: only scrolled
    anchorHeadings();
    // The browser scrolled before the headings had their anchors.
    if (!name.fragment().isEmpty())
        scrollToAnchor(name.fragment());
}

void GuideBrowser::anchorHeadings()
{
    QHash<QString, int> seen;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        if (block.blockFormat().headingLevel() == 0 || block.length() <= 1)
            continue;
        QString anchor = headingAnchor(block.text());
        const int repeats = seen[anchor]++;
        if (repeats > 0)
            anchor += QLatin1Char('-') + QString::number(repeats);
        QTextCursor cursor(block);
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        QTextCharFormat format;
        format.setAnchor(true);
        format.setAnchorNames({anchor});
        cursor.mergeCharFormat(format);
    }
    document()->setProperty("anchored", true);
}

UserGuide::UserGuide(QWidget *parent) : QWidget(parent, Qt::Window)
{
    // The pages live in a static library; its resources must be registered by hand.
    Q_INIT_RESOURCE(guide);
    setObjectName(QStringLiteral("UserGuide"));
    setWindowTitle(QStringLiteral("KELDA User Guide"));
    resize(820, 640);

    m_browser = new GuideBrowser(this);
    auto *bar = new QToolBar(this);
    QAction *back = bar->addAction(QStringLiteral("Back"), m_browser, &QTextBrowser::backward);
    QAction *forward = bar->addAction(QStringLiteral("Forward"), m_browser, &QTextBrowser::forward);
    bar->addAction(QStringLiteral("Contents"), m_browser, &QTextBrowser::home);
    back->setShortcut(QKeySequence::Back);
    forward->setShortcut(QKeySequence::Forward);
    back->setEnabled(false);
    forward->setEnabled(false);
    connect(m_browser, &QTextBrowser::backwardAvailable, back, &QAction::setEnabled);
    connect(m_browser, &QTextBrowser::forwardAvailable, forward, &QAction::setEnabled);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(bar);
    layout->addWidget(m_browser);
    m_browser->setSource(homePage(), QTextDocument::MarkdownResource);
}

QUrl UserGuide::homePage()
{
    return QUrl(QStringLiteral("qrc:/guide/README.md"));
}
