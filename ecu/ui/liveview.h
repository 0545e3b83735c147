// LiveView: "Module > Live View…", a running module as the simulator's panel
// shows a simulation. MONITOR feeds the panel (latched changes ringed for a
// moment), the event log and the timeline; the top says what the module is,
// whether it holds the open setup (with its differences) and when its
// calibration was last uploaded; a right-click forces an item, renewed while
// the window is open and connected, and closing the window releases them.
#pragma once

#include <QByteArray>
#include <QMessageBox>
#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "livelink.h"
#include "livenames.h"
#include "modulecompare.h"
#include "simpanel.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QTabWidget;
class QTimer;
class SimEventLog;
class SimTimeline;

namespace kelda {
class SimTrace;
}

class LiveView : public QWidget
{
    Q_OBJECT

public:
    // The open setup as the window compares it with the module and names
    // what the module reports.
    struct Setup {
        QString name;  // "utility-truck.kelda", or "the open setup"
        QByteArray calName;  // the name field an upload would write
        QByteArray image;  // the setup compiled
        kelda::SimNames names;
        // The differing items' lines for the module's contents.
        std::function<QStringList(const kelda::upload::ModuleContents &)> differences;
    };

    // Connects to the port at once (from the event loop).
    LiveView(const QString &port, Setup setup, QWidget *parent = nullptr);
    ~LiveView() override;

    // Questions go through here, so that the main window (and tests) answer
    // without a modal loop; the default asks with a message box.
    using Asker =
        std::function<QMessageBox::StandardButton(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                                                  const QString &text, QMessageBox::StandardButtons buttons)>;
    void setAsker(Asker asker) { asker_ = std::move(asker); }

    // Forces an item from the panel (what its right-click menu does).
    void force(SimPanel::Part part, int row, SimPanel::ForceAction action);

    SimPanel *panel() const { return panel_; }
    SimEventLog *eventLog() const { return eventLog_; }
    SimTimeline *timeline() const { return timeline_; }
    QTabWidget *tabs() const { return tabs_; }
    QLabel *moduleLine() const { return moduleLine_; }
    QLabel *holdsLine() const { return holdsLine_; }
    QLabel *historyLine() const { return historyLine_; }
    QLabel *statusLine() const { return statusLine_; }
    QLabel *forcedBanner() const { return forcedLabel_; }
    QPushButton *releaseAllButton() const { return releaseAll_; }
    QPushButton *differencesButton() const { return differencesButton_; }
    QPushButton *reconnectButton() const { return reconnect_; }
    QPlainTextEdit *differences() const { return differences_; }
    QPlainTextEdit *log() const { return log_; }
    const kelda::SimTrace *trace() const { return trace_.get(); }
    LiveLink &link() { return *link_; }
    // Replies taken into the picture since connecting.
    int replies() const { return replies_; }

public slots:
    void reconnect();
    void releaseAll();
    void showDifferences();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildTop();
    void buildTabs();
    void opened(bool ok, const QString &why);
    void showModule();
    void compared(const kelda::upload::ModuleContents &contents);
    void replied(const LiveLink::Reply &reply);
    // history: show what the latched records say happened between two replies.
    void apply(const LiveLink::Reply &reply, bool history);
    void changed(uint8_t kind, int item, bool value, qint64 tick);
    void pulsed(uint8_t kind, int item, bool value, bool now, qint64 tick);
    void showForces();
    void expireMarks();
    void trouble(const QString &text);
    void note(const QString &text);
    QString itemText(uint8_t kind, int item) const;

    QString port_;
    Setup setup_;
    kelda::live::LiveNames names_;
    Asker asker_;
    std::unique_ptr<LiveLink> link_;
    kelda::upload::ModuleCompare compare_;
    std::unique_ptr<kelda::SimTrace> trace_;
    // The module's items as last reported, by kind (CORLA_LIVE_…) and number.
    std::array<std::vector<bool>, 10> now_;
    std::map<std::pair<int, int>, qint64> latchedMarks_;  // (part, row): until when (ms)
    bool primed_ = false;  // the first picture after connecting has come (see replied)
    bool engineRunning_ = false;
    bool traceFull_ = false;
    int replies_ = 0;
    QTimer *markTimer_;
    SimPanel *panel_ = nullptr;
    SimEventLog *eventLog_ = nullptr;
    SimTimeline *timeline_ = nullptr;
    QTabWidget *tabs_ = nullptr;
    QSplitter *splitter_ = nullptr;
    QLabel *moduleLine_ = nullptr, *holdsLine_ = nullptr, *historyLine_ = nullptr, *statusLine_ = nullptr,
           *forcedLabel_ = nullptr;
    QWidget *forcedBanner_ = nullptr;
    QPushButton *releaseAll_ = nullptr, *differencesButton_ = nullptr, *reconnect_ = nullptr;
    QPlainTextEdit *differences_ = nullptr, *log_ = nullptr;
};
