// The Problems dock: the findings of the setup checks of the open setup, run
// again shortly after each change, listed in the order the tables show rows.
#pragma once

#include <QList>
#include <QObject>

#include "setupcheck.h"

class PMModel;
class QDockWidget;
class QTimer;
class QTreeWidget;

class ProblemsDock : public QObject
{
    Q_OBJECT

public:
    // Fills `list` inside `dock` (both of the main window's form) from `model`.
    ProblemsDock(PMModel *model, QDockWidget *dock, QTreeWidget *list, QObject *parent);

    const QList<kelda::check::Finding> &findings() const { return m_findings; }
    // Checks the setup now and lists what it finds.
    void run();
    // Checks soon: one check for a burst of edits.
    void runSoon();

signals:
    // A finding's line was activated: the window shows where it is.
    void activated(const kelda::check::Finding &finding);

private:
    PMModel *m_model;
    QDockWidget *m_dock;
    QTreeWidget *m_list;
    QTimer *m_timer;
    QList<kelda::check::Finding> m_findings;
};
