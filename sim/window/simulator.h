// Simulator: a top-level window that runs a compiled setup every 10 ms. The
// user ticks keys, switches and CAN inputs; the window shows states, timers,
// LX1 outputs, the LX1 channel grid and the LX2 LEDs. It owns its engine, its
// own copy of the setup's store session and the temporary image file, and is
// destroyed when closed.
#pragma once

#include <QRect>
#include <QSize>
#include <QBrush>
#include <QHash>
#include <QString>
#include <QTemporaryFile>
#include <QWidget>

#include <QElapsedTimer>

#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "schema.h"
#include "simengine.h"
#include "simnames.h"
#include "storecursor.h"

class QComboBox;
class QLabel;
class QPushButton;
class QShortcut;
class QSplitter;
class QTableWidget;
class QTableWidgetItem;
class QTabWidget;
class QTimer;
class QWidget;

class SimEventLog;
class SimPanel;
class SimTimeline;

namespace kelda {
class SimFrameFeed;
class SimTrace;
}  // namespace kelda

// The dialogs a simulator window needs; the main window passes its own, so
// that tests answer them. Unset ones use the plain Qt dialogs.
struct SimDialogs {
    std::function<QString(QWidget *parent, const QString &caption, const QString &filter)> saveFileName;
    std::function<void(QWidget *parent, const QString &text)> warn;
    std::function<QString(QWidget *parent, const QString &caption, const QString &filter)> openFileName;
};

namespace Ui {
class SimulatorClass;
}

class Simulator : public QWidget
{
    Q_OBJECT

public:
    explicit Simulator(QWidget *parent = nullptr);
    ~Simulator() override;

    // Copies the model's session, fills the tables, loads the timers, reads
    // the image from imageFileName() and starts ticking.
    void start(StoreSession modelSession);

    // Where the image is compiled to; exists from construction on.
    QString imageFileName() const { return m_imageFile.fileName(); }

    Ui::SimulatorClass *form() const { return ui; }
    const kelda::SimEngine &engine() const { return *m_engine; }
    StoreSession session() const { return m_session.get(); }
    QTimer *tickTimer() const { return m_timer; }
    // Every change since the start or the last Reset; null never.
    const kelda::SimTrace &trace() const { return *m_trace; }
    SimPanel *panel() const { return m_panel; }
    SimEventLog *eventLog() const { return m_log; }
    SimTimeline *timeline() const { return m_timeline; }

    void setDialogs(SimDialogs dialogs) { m_dialogs = std::move(dialogs); }
    // The setup file the run was started from: Save Event Log and Save Plot
    // never write over it (nor over a CAN log played).
    void setSetupFile(const QString &path) { m_setupFile = path; }
    const SimDialogs &dialogs() const { return m_dialogs; }

    // Restart: compiles the setup again into imageFileName() and calls
    // restart() with its session; false when it cannot (it has said why).
    // Without one, Restart is not offered.
    using Restarter = std::function<bool(Simulator *)>;
    void setRestarter(Restarter restarter) { m_restarter = std::move(restarter); }
    // A new copy of the setup, compiled afresh into imageFileName(), run from
    // tick 0 with the inputs that are set now kept (by name).
    void restart(StoreSession modelSession);

    // Plays a recorded CAN log through the run from the current tick, with
    // the window's pause, step and speed; false (said) when it cannot be read.
    bool playLog(const QString &path);
    bool playingLog() const;

    enum class Speed { RealTime, TenTimes, Fastest };
    bool isPaused() const { return m_paused; }
    Speed speed() const { return m_speed; }

    // "Why is this on": which event set or cleared state row r and when; the
    // states that drive LX1 output row r or LED row r now.
    QString stateWhy(int row) const;
    QString outputWhy(int row) const;
    QString ledWhy(int row) const;

    // The size a window that has never been closed opens at: the content's
    // size hint, at least kDefaultSize, within the screen's available area.
    static constexpr QSize kDefaultSize{1100, 820};
    static QRect fittedGeometry(QSize wanted, const QRect &available);

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

public slots:
    void switchChanged(QTableWidgetItem *item);
    // One tick, then everything drawn.
    void Update();
    // The setup this simulation was started from has changed.
    void setupChanged();
    void setPaused(bool paused);
    // One tick while paused.
    void step();
    // Tick 0, every input released, the log and timeline emptied.
    void reset();
    void setSpeed(Speed speed);

private:
    // Size, place and splitter as last closed (simlayout.cpp).
    void restoreLayout();
    void saveLayout() const;
    // True after a warning when path is a file the run reads.
    bool refusesInput(const QString &path);
    QWidget *buildChangedBar();
    void setUpTables();
    void buildControls();
    void buildViews();
    void onTimer();
    void runTick();
    void showAll();
    void showViews();
    void showClock();
    void startEngine();
    void forgetShown();
    void restartClicked();
    void keyChangedOnPanel(int row, bool held);
    void switchChangedOnPanel(int row, bool on);
    void inputTicked(QTableWidgetItem *item);
    // CAN values typed and frames played (simcan.cpp)
    void buildCanViews();
    void fillCanTables();
    void showCan();
    void canValueEdited(QTableWidgetItem *item);
    void canInputTicked(QTableWidgetItem *item);
    void framesOn();
    void playLogClicked();
    void showLogPosition();
    void stopLog();
    void saveLog();
    void savePlot();
    QString askSaveFileName(const QString &caption, const QString &filter);
    void warn(const QString &text);
    // The inputs ticked now, by table and row name, and ticked again after a restart.
    struct HeldInputs {
        QStringList keys, switches, canInputs;
    };
    HeldInputs heldInputs() const;
    void holdInputs(const HeldInputs &held);
    void fillTables();
    void fillTable(QTableWidget *table, const QStringList &names, int checkColumns, int textColumns);
    void readInputs();
    void clearPresses();
    void showState();
    void showRows();

    // Shown text and colour of one drawn cell; redrawn only when it changes.
    struct Shown {
        int value = -1;  // -1 = not drawn yet
    };
    // True when the cell changed.
    bool draw(QTableWidget *table, int row, int column, Shown &shown, int value, const QString &text, bool green,
              bool coloured);
    // The cells drawCells changes, then one repaint of the table's changed part.
    void drawTable(QTableWidget *table, const std::function<bool()> &drawCells);
    // An empty drawn cell of row r; its tooltip says why, in the tables that have one.
    QTableWidgetItem *newCell(QTableWidget *table, int row) const;
    // SimEngine::timerText(value), formatted once per value.
    const QString &timerText(uint16_t value);
    QHash<uint16_t, QString> m_timerTexts;
    QRect m_dirty;  // columns and rows of the cells drawCells changed
    const QBrush m_green{Qt::green, Qt::SolidPattern}, m_white{Qt::white, Qt::SolidPattern};

    Ui::SimulatorClass *ui = nullptr;
    QTemporaryFile m_imageFile;
    QByteArray m_image;
    std::unique_ptr<kelda::SimEngine> m_engine;
    kelda::SimInputs m_boxes;
    bool m_inputsTicked = true;  // a box has changed since readInputs
    bool m_pressesTicked = false;  // an SP, LP or DP box was read ticked
    kelda::UniqueSession m_session;
    QTimer *m_timer = nullptr;

    std::vector<Shown> m_shownStates, m_shownTimers, m_shownOutputs, m_shownLeds, m_shownGrid;
    kelda::SimNames m_names;

    std::unique_ptr<kelda::SimTrace> m_trace;
    bool m_traceFull = false;
    SimDialogs m_dialogs;
    Restarter m_restarter;

    QWidget *m_changedBar = nullptr;
    QLabel *m_clock = nullptr;
    QPushButton *m_pauseButton = nullptr, *m_stepButton = nullptr;
    QComboBox *m_speedCombo = nullptr;
    QShortcut *m_stepKey = nullptr;
    QTabWidget *m_views = nullptr;
    QSplitter *m_split = nullptr;
    bool m_placed = false;  // size and place set by the first show
    SimPanel *m_panel = nullptr;
    SimEventLog *m_log = nullptr;
    SimTimeline *m_timeline = nullptr;

    bool m_paused = false;
    Speed m_speed = Speed::RealTime;
    // Real time paces the ticks: the tick due now is m_paceTick plus the
    // time since m_pace at the chosen speed.
    QElapsedTimer m_pace;
    QElapsedTimer m_clockShown;  // when the clock label last changed while running
    qint64 m_paceTick = 0;
    bool m_syncing = false;  // tables and panel are being set to agree; not the user

    // A row of the CAN values table: a channel of an identifier that inputs read.
    struct CanValueRow {
        uint16_t identifier = 0;
        kelda::can::Channel channel;
        bool littleEndian = false;
        std::vector<int> inputs;  // CAN input rows reading it
    };
    std::vector<CanValueRow> m_canRows;
    QTableWidget *m_canValues = nullptr, *m_canOutputs = nullptr;
    std::vector<kelda::can::TxFrame> m_shownTx;
    std::vector<uint64_t> m_shownCan;  // value and results drawn per CAN values row
    std::unique_ptr<kelda::SimFrameFeed> m_feed;
    QString m_logName;
    QString m_logPath;  // as opened, for the outputs' check
    QString m_setupFile;
    qint64 m_logStartTick = 0;
    bool m_logFinished = false;
    QStringList m_logNotes;
    QLabel *m_logLabel = nullptr;
};
