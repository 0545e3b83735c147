// The parts of the simulator window beside its tables: the bar that says the
// setup has changed, the clock and its controls, and the views below the
// tables (panel, event log, timeline) with their files.
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSplitter>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>

#include "atomicfile.h"
#include "simeventlog.h"
#include "simframes.h"
#include "simpanel.h"
#include "simplot.h"
#include "simscenario.h"
#include "simtimeline.h"
#include "simtrace.h"
#include "simulator.h"
#include "ui_simulator.h"

using namespace kelda;

namespace {

// The log and the timeline keep every change of the run up to the limit a
// kelda-cli trace has by default; past it they stop growing (16 bytes a
// change: 16 MB).
constexpr qint64 kMaxLogChanges = SimLimits::kDefaultChanges;
// At "as fast as possible" a timer call ticks for this long, then draws.
constexpr qint64 kFastSliceNs = 20'000'000;
// Behind by more than this many periods (a busy machine), the run drops the
// lost time rather than racing to catch up.
constexpr qint64 kMaxCatchUpPeriods = 10;

}  // namespace

QWidget *Simulator::buildChangedBar()
{
    auto *bar = new QFrame(this);
    bar->setObjectName(QStringLiteral("simChangedBar"));
    bar->setFrameShape(QFrame::StyledPanel);
    bar->setAutoFillBackground(true);
    QPalette warm = bar->palette();
    warm.setColor(QPalette::Window, QColor(255, 243, 205));
    warm.setColor(QPalette::WindowText, Qt::black);
    bar->setPalette(warm);
    auto *barLayout = new QHBoxLayout(bar);
    barLayout->setContentsMargins(8, 4, 8, 4);
    barLayout->addWidget(new QLabel(tr("The setup has changed since this simulation started"), bar), 1);
    auto *restartButton = new QPushButton(tr("Restart"), bar);
    restartButton->setObjectName(QStringLiteral("simRestartButton"));
    restartButton->setToolTip(tr("Compile the setup again and start over with the inputs that are set now"));
    barLayout->addWidget(restartButton);
    bar->hide();
    m_changedBar = bar;
    connect(restartButton, &QPushButton::clicked, this, &Simulator::restartClicked);
    return bar;
}

void Simulator::buildControls()
{
    QWidget *bar = buildChangedBar();
    m_clock = new QLabel(this);
    m_clock->setObjectName(QStringLiteral("simClockLabel"));
    m_clock->setAccessibleName(tr("Simulated time"));
    // A fixed size: a new text 100 times a second must not lay the window out again.
    m_clock->setFixedSize(
        m_clock->fontMetrics().horizontalAdvance(QStringLiteral("Time 864000.00 s, tick 86400000 (paused)")) + 8,
        m_clock->sizeHint().height());
    m_pauseButton = new QPushButton(tr("Pause"), this);
    m_pauseButton->setObjectName(QStringLiteral("simPauseButton"));
    m_stepButton = new QPushButton(tr("Step"), this);
    m_stepButton->setObjectName(QStringLiteral("simStepButton"));
    m_stepButton->setToolTip(tr("Run one tick (10 ms); also the . key while paused"));
    m_stepButton->setEnabled(false);
    auto *resetButton = new QPushButton(tr("Reset"), this);
    resetButton->setObjectName(QStringLiteral("simResetButton"));
    resetButton->setToolTip(tr("Back to tick 0 with every input released"));
    m_speedCombo = new QComboBox(this);
    m_speedCombo->setObjectName(QStringLiteral("simSpeedCombo"));
    m_speedCombo->setAccessibleName(tr("Speed"));
    // Its items say what it is; no label, so that the row fits an 800 pixel screen.
    m_speedCombo->setToolTip(tr("Speed of the simulated clock"));
    m_speedCombo->addItem(tr("×1"), int(Speed::RealTime));
    m_speedCombo->addItem(tr("×10"), int(Speed::TenTimes));
    m_speedCombo->addItem(tr("As fast as possible"), int(Speed::Fastest));
    m_stepKey = new QShortcut(QKeySequence(Qt::Key_Period), this);
    m_stepKey->setContext(Qt::WindowShortcut);
    m_stepKey->setEnabled(false);

    connect(m_pauseButton, &QPushButton::clicked, this, [this] { setPaused(!m_paused); });
    connect(m_stepButton, &QPushButton::clicked, this, &Simulator::step);
    connect(m_stepKey, &QShortcut::activated, this, &Simulator::step);
    connect(resetButton, &QPushButton::clicked, this, &Simulator::reset);
    connect(m_speedCombo, &QComboBox::currentIndexChanged, this,
            [this] { setSpeed(Speed(m_speedCombo->currentData().toInt())); });

    auto *controls = new QWidget(this);
    controls->setObjectName(QStringLiteral("simControls"));
    auto *row = new QHBoxLayout(controls);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(m_clock);
    row->addWidget(m_pauseButton);
    row->addWidget(m_stepButton);
    row->addWidget(resetButton);
    row->addWidget(m_speedCombo);
    row->addStretch(1);

    // The form's two rows go below the bar and the controls.
    ui->gridLayout->removeWidget(ui->splitter);
    ui->gridLayout->removeWidget(ui->widget);
    ui->gridLayout->addWidget(bar, 0, 0);
    ui->gridLayout->addWidget(controls, 1, 0);
}

void Simulator::buildViews()
{
    m_panel = new SimPanel();
    auto *panelArea = new QScrollArea(this);
    panelArea->setWidget(m_panel);
    panelArea->setWidgetResizable(true);
    m_log = new SimEventLog(this);
    m_timeline = new SimTimeline(this);
    m_views = new QTabWidget(this);
    m_views->setObjectName(QStringLiteral("simViews"));
    m_views->addTab(panelArea, tr("Panel"));
    m_views->addTab(m_log, tr("Event Log"));
    m_views->addTab(m_timeline, tr("Timeline"));

    auto *split = m_split = new QSplitter(Qt::Vertical, this);
    split->setObjectName(QStringLiteral("simSplitter"));
    split->addWidget(ui->splitter);
    split->addWidget(m_views);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 1);
    split->setSizes({1, 1});
    ui->gridLayout->addWidget(split, 2, 0);
    ui->gridLayout->addWidget(ui->widget, 3, 0);

    connect(m_panel, &SimPanel::keyChanged, this, &Simulator::keyChangedOnPanel);
    connect(m_panel, &SimPanel::switchChanged, this, &Simulator::switchChangedOnPanel);
    connect(ui->keyPadTableWidget, &QTableWidget::itemChanged, this, &Simulator::inputTicked);
    connect(ui->switchTableWidget, &QTableWidget::itemChanged, this, &Simulator::inputTicked);
    connect(m_log, &SimEventLog::saveRequested, this, &Simulator::saveLog);
    connect(m_timeline, &SimTimeline::savePlotRequested, this, &Simulator::savePlot);
}

void Simulator::showClock()
{
    // Running, the label follows at screen rate: repainting it every 10 ms
    // tick cost more than the panel's lamps. Paused or stepped, it is exact.
    constexpr qint64 kClockPeriodMs = 40;
    if (!m_paused && m_clockShown.isValid() && m_clockShown.elapsed() < kClockPeriodMs)
        return;
    m_clockShown.start();
    const qint64 tick = m_engine->tickCount();
    QString text = tr("Time %1 s, tick %2").arg(QString::number(double(tick) * kSimTickMs / 1000.0, 'f', 2)).arg(tick);
    if (m_paused)
        text += tr(" (paused)");
    if (m_clock->text() != text)
        m_clock->setText(text);
}

void Simulator::setupChanged()
{
    m_changedBar->setVisible(true);
    m_changedBar->findChild<QPushButton *>(QStringLiteral("simRestartButton"))->setEnabled(bool(m_restarter));
}

void Simulator::restartClicked()
{
    if (m_restarter)
        m_restarter(this);
}

void Simulator::setPaused(bool paused)
{
    m_paused = paused;
    m_pauseButton->setText(paused ? tr("Run") : tr("Pause"));
    m_pauseButton->setToolTip(paused ? tr("Run the simulation on") : tr("Stop the clock; Step then runs one tick"));
    m_stepButton->setEnabled(paused);
    m_stepKey->setEnabled(paused);
    if (paused) {
        m_timer->stop();
    } else {
        m_pace.start();
        m_paceTick = m_engine->tickCount();
        m_timer->start(m_speed == Speed::Fastest ? 0 : kSimTickMs);
    }
    showClock();
}

void Simulator::step()
{
    if (m_paused)
        Update();
}

void Simulator::setSpeed(Speed speed)
{
    m_speed = speed;
    if (m_speedCombo->currentData().toInt() != int(speed))
        m_speedCombo->setCurrentIndex(m_speedCombo->findData(int(speed)));
    m_pace.start();
    m_paceTick = m_engine->tickCount();
    if (!m_paused && m_timer->isActive())
        m_timer->start(speed == Speed::Fastest ? 0 : kSimTickMs);
}

void Simulator::onTimer()
{
    if (m_paused)
        return;
    if (m_speed == Speed::Fastest) {
        QElapsedTimer slice;
        slice.start();
        do {
            for (int i = 0; i < 64; ++i)
                runTick();
        } while (slice.nsecsElapsed() < kFastSliceNs);
        showAll();
        return;
    }
    const qint64 factor = m_speed == Speed::TenTimes ? 10 : 1;
    qint64 due = m_paceTick + m_pace.elapsed() * factor / kSimTickMs - m_engine->tickCount();
    if (due > kMaxCatchUpPeriods * factor) {
        due = factor;
        m_pace.start();
        m_paceTick = m_engine->tickCount() + due;
    }
    if (due <= 0)
        return;
    for (qint64 i = 0; i < due; ++i)
        runTick();
    showAll();
}

void Simulator::runTick()
{
    readInputs();
    // Frames stamped before this tick's time are seen by it.
    if (m_feed)
        m_feed->applyDue(*m_engine, (m_engine->tickCount() + 1) * kSimTickNs);
    if (!m_traceFull)
        m_trace->recordInputs(m_boxes, *m_engine);
    m_engine->tick(m_boxes);
    if (!m_traceFull) {
        m_trace->record(*m_engine);
        if (qint64(m_trace->changes().size()) > kMaxLogChanges) {
            m_traceFull = true;
            m_log->setFull(
                tr("The log stops here, at tick %1: it holds its limit of %2 changes. Reset starts a new one.")
                    .arg(m_engine->tickCount())
                    .arg(kMaxLogChanges));
        }
    }
    clearPresses();
}

void Simulator::showAll()
{
    showState();
    showViews();
}

void Simulator::showViews()
{
    const SimEngine &e = *m_engine;
    m_panel->showLeds(e.ledMask());
    for (int m = 0; m < kLx1ModuleCount; ++m)
        m_panel->showLx1Module(m, e.lx1ModuleMask(m));
    const int canOutputs = std::min<int>(static_cast<int>(m_names.canOutputs.size()), kSimCapacity);
    for (int r = 0; r < canOutputs; ++r)
        m_panel->showCanOutput(r, e.canOutputOn(r));
    showCan();
    showLogPosition();
    m_log->sync();
    m_timeline->sync(e.tickCount());
    showClock();
}

void Simulator::keyChangedOnPanel(int row, bool held)
{
    // A key held on the panel is a key held on the module: the press model
    // makes P, SP, LP and DP of it from the setup's press times. The boxes
    // keep their own meaning and are left as the user set them.
    if (row >= 0 && row < ui->keyPadTableWidget->rowCount())
        m_engine->setKeyHeld(row, held);
}

void Simulator::switchChangedOnPanel(int row, bool on)
{
    QTableWidgetItem *box = ui->switchTableWidget->item(row, 1);
    if (!box)
        return;
    m_syncing = true;
    box->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    m_syncing = false;
}

void Simulator::inputTicked(QTableWidgetItem *item)
{
    if (m_syncing || !item || item->column() != 1)
        return;
    const bool on = item->checkState() == Qt::Checked;
    if (item->tableWidget() == ui->keyPadTableWidget)
        m_panel->showKeyHeld(item->row(), on);
    else if (item->tableWidget() == ui->switchTableWidget)
        m_panel->showSwitch(item->row(), on);
}

namespace {

QString withSuffix(QString path, const QString &suffix)
{
    if (QFileInfo(path).suffix().isEmpty())
        path += QLatin1Char('.') + suffix;
    return path;
}

}  // namespace

QString Simulator::askSaveFileName(const QString &caption, const QString &filter)
{
    if (m_dialogs.saveFileName)
        return m_dialogs.saveFileName(this, caption, filter);
    return QFileDialog::getSaveFileName(this, caption, QString(), filter);
}

void Simulator::warn(const QString &text)
{
    if (m_dialogs.warn)
        m_dialogs.warn(this, text);
    else
        QMessageBox::warning(this, QStringLiteral("KELDA"), text);
}

bool Simulator::refusesInput(const QString &path)
{
    const QString input = fileio::clashingInput(path, {m_setupFile, m_logPath});
    if (input.isEmpty())
        return false;
    warn(tr("cannot write %1: that is %2")
             .arg(QDir::toNativeSeparators(path),
                  input == m_setupFile ? tr("the setup file being simulated") : tr("the CAN log being played")));
    return true;
}

void Simulator::saveLog()
{
    const QString chosen = askSaveFileName(tr("Save Event Log"), tr("CSV files (*.csv)"));
    if (chosen.isEmpty())
        return;
    const QString path = withSuffix(chosen, QStringLiteral("csv"));
    if (refusesInput(path))
        return;
    QString error;
    if (!fileio::writeAtomically(path, m_trace->csv(), &error))
        warn(error);
}

void Simulator::savePlot()
{
    const QString chosen = askSaveFileName(tr("Save Plot"), tr("SVG pictures (*.svg);;PNG pictures (*.png)"));
    if (chosen.isEmpty())
        return;
    const QString path = withSuffix(chosen, QStringLiteral("svg"));
    if (refusesInput(path))
        return;
    const bool png = QFileInfo(path).suffix().compare(QLatin1String("png"), Qt::CaseInsensitive) == 0;
    const QByteArray bytes = simPlot(*m_trace, m_timeline->view(), png ? SimPlotFormat::Png : SimPlotFormat::Svg);
    QString error;
    if (bytes.isEmpty())
        warn(tr("cannot write %1: the picture could not be made").arg(path));
    else if (!fileio::writeAtomically(path, bytes, &error))
        warn(error);
}
