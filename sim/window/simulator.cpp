#include "simulator.h"

#include <QBrush>
#include <QFile>
#include <QHeaderView>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QTimer>

#include "simcelldelegate.h"
#include "simeventlog.h"
#include "simframes.h"
#include "simpanel.h"
#include "simtimeline.h"
#include "simtrace.h"
#include "ui_simulator.h"

using namespace kelda;

namespace {

constexpr int kRowHeight = 18;
constexpr int kKeyColumnWidth = 25;
constexpr int kKeyNameWidth = 100;
constexpr int kNameWidth = 120;
constexpr int kValueWidth = 70;
constexpr int kGridColumnWidth = 20;

// Cells the window draws: shown normally, but not for editing (the next
// tick would overwrite any edit).
constexpr Qt::ItemFlags kDrawnFlags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;

void setColumns(QTableWidget *table, const QStringList &labels)
{
    table->setColumnCount(static_cast<int>(labels.size()));
    table->setHorizontalHeaderLabels(labels);
}

// What the short key columns mean: the four kinds of press an event can wait for.
void setKeyColumnTips(QTableWidget *table)
{
    const char *const tips[] = {
        "P, Pressed: ticked, the key is held down until you untick it.",
        "SP, Short Press: tick for one short press; the simulation unticks it once it has been seen.",
        "LP, Long Press: tick for one long press; the simulation unticks it once it has been seen.",
        "DP, Double Press: tick for one double press; the simulation unticks it once it has been seen.",
    };
    for (int c = 0; c < 4; ++c)
        if (QTableWidgetItem *item = table->horizontalHeaderItem(c + 1))
            item->setToolTip(QString::fromLatin1(tips[c]));
}

// The engine keeps a timer's remaining run time and counts it down each tick.
void setRunningTip(QTableWidget *table)
{
    if (QTableWidgetItem *item = table->horizontalHeaderItem(1))
        item->setToolTip(Simulator::tr("Remaining time in seconds: set to the timer's run time when it starts, "
                                       "counted down 0.01 s each tick; 0 when the timer is stopped or has run out."));
}

QStringList gridLabels(const char *prefix)
{
    QStringList labels;
    for (int i = 1; i <= 8; ++i)
        labels << QString::fromLatin1(prefix) + QString::number(i);
    return labels;
}

QString quoted(const QString &name)
{
    return QStringLiteral("\u201C%1\u201D").arg(name);
}

}  // namespace

QVariant SimDrawnCell::data(int role) const
{
    if (m_drawn && (role == Qt::DisplayRole || role == Qt::EditRole))
        return m_text;
    if (m_fill && role == Qt::BackgroundRole)
        return *m_fill;
    if (m_why && role == Qt::ToolTipRole)
        return (m_sim->*m_why)(m_row);
    return QTableWidgetItem::data(role);
}

void SimDrawnCell::setData(int role, const QVariant &value)
{
    if (role == Qt::DisplayRole || role == Qt::EditRole)
        m_drawn = false;
    else if (role != Qt::ToolTipRole)
        m_touched = true;
    if (role == Qt::BackgroundRole)
        m_fill = nullptr;
    QTableWidgetItem::setData(role, value);
}

Simulator::Simulator(QWidget *parent)
    : QWidget(parent), ui(new Ui::SimulatorClass), m_engine(std::make_unique<SimEngine>())
{
    ui->setupUi(this);
    // A closed simulation is over: stop ticking, drop the copy and the image.
    setAttribute(Qt::WA_DeleteOnClose);

    setUpTables();

    connect(ui->switchTableWidget, &QTableWidget::itemChanged, this, &Simulator::switchChanged);
    for (QTableWidget *t : {ui->keyPadTableWidget, ui->switchTableWidget, ui->CANInpTableWidget})
        connect(t, &QTableWidget::itemChanged, this, [this] { m_inputsTicked = true; });
    connect(ui->btnClose, &QPushButton::clicked, this, &QWidget::close);
    m_timer = new QTimer(this);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &Simulator::onTimer);
    m_trace = std::make_unique<SimTrace>(m_names);
    buildControls();
    buildViews();
    buildCanViews();
    connect(ui->rbShowAll, &QRadioButton::toggled, this, &Simulator::showRows);
    connect(ui->rbShowUsed, &QRadioButton::toggled, this, &Simulator::showRows);

    // The file gets its final unique name now, before the image is written.
    if (m_imageFile.open())
        m_imageFile.close();
}

// Row heights, headers, tips and column widths of the eight tables.
void Simulator::setUpTables()
{
    const std::array<QTableWidget *, 8> tables = {ui->keyPadTableWidget, ui->switchTableWidget, ui->CANInpTableWidget,
                                                  ui->stateTableWidget,  ui->timerTableWidget,  ui->outputTableWidget,
                                                  ui->LX1TableWidget,    ui->LEDTableWidget};
    for (QTableWidget *t : tables) {
        t->verticalHeader()->setMinimumSectionSize(kRowHeight);
        t->verticalHeader()->setDefaultSectionSize(kRowHeight);
    }
    // Columns exist from the start so the sizes below hold; fillTables sets
    // the same columns again.
    setColumns(ui->keyPadTableWidget, {"Keypad", "P", "SP", "LP", "DP"});
    setKeyColumnTips(ui->keyPadTableWidget);
    ui->keyPadTableWidget->horizontalHeader()->setMinimumSectionSize(kKeyColumnWidth);
    ui->keyPadTableWidget->horizontalHeader()->setDefaultSectionSize(kKeyColumnWidth);
    for (int c = 0; c < 5; ++c)
        ui->keyPadTableWidget->setColumnWidth(c, kKeyColumnWidth);
    ui->keyPadTableWidget->setColumnWidth(0, kKeyNameWidth);

    const std::array<std::pair<QTableWidget *, QStringList>, 6> twoColumn = {{
        {ui->switchTableWidget, {"Switches", "ON"}},
        {ui->CANInpTableWidget, {"CAN Inputs", "ON"}},
        {ui->stateTableWidget, {"State", "Set / Clear"}},
        {ui->timerTableWidget, {"Timer", "Running"}},
        {ui->outputTableWidget, {"Output", "Active"}},
        {ui->LEDTableWidget, {"LED", "On / Off"}},
    }};
    for (const auto &[table, labels] : twoColumn) {
        setColumns(table, labels);
        table->setColumnWidth(0, kNameWidth);
        table->setColumnWidth(1, kValueWidth);
    }
    setRunningTip(ui->timerTableWidget);
    // The tables the ticks draw: their cells from pictures.
    for (QTableWidget *t :
         {ui->stateTableWidget, ui->timerTableWidget, ui->outputTableWidget, ui->LEDTableWidget, ui->LX1TableWidget})
        t->setItemDelegate(new SimCellDelegate(t));
    setColumns(ui->LX1TableWidget, gridLabels(""));
    ui->LX1TableWidget->horizontalHeader()->setMinimumSectionSize(kGridColumnWidth);
    ui->LX1TableWidget->horizontalHeader()->setDefaultSectionSize(kGridColumnWidth);
    for (int c = 0; c < 8; ++c)
        ui->LX1TableWidget->setColumnWidth(c, kGridColumnWidth);
}

Simulator::~Simulator()
{
    m_timer->stop();
    m_session.reset();
    delete ui;
}

void Simulator::start(StoreSession modelSession)
{
    // The old copy goes before the new one is made.
    m_session.reset();
    m_session = UniqueSession::copyOf(modelSession);
    m_names = simNames(m_session.get());
    // Kept in memory: Reset starts again from these bytes, whatever happens
    // to the file (a Restart whose compile fails).
    QFile image(imageFileName());
    m_image = image.open(QIODevice::ReadOnly) ? image.readAll() : QByteArray();
    fillTables();
    startEngine();
}

void Simulator::restart(StoreSession modelSession)
{
    const HeldInputs held = heldInputs();
    start(modelSession);
    holdInputs(held);
    m_changedBar->hide();
}

void Simulator::reset()
{
    // The tables as a new start fills them: every box unticked, nothing drawn.
    m_syncing = true;
    fillTables();
    m_syncing = false;
    startEngine();
}

// Tick 0 of the image in the file (timers and all come from it); a new log and
// timeline; the panel shows the tables' inputs.
void Simulator::startEngine()
{
    m_engine->reset();
    m_boxes.clear();
    // fillTables has just made every box unticked, as m_boxes now is: the
    // first tick need not read them (a box ticked since, by holdInputs, is
    // read). Without a setup the tables were left as they were.
    m_inputsTicked = !m_session.cursor().setup();
    m_pressesTicked = false;
    m_engine->readImage(m_image);
    m_engine->clearStates();
    m_engine->deriveOutputs();
    m_engine->setCanFrames(false);
    stopLog();
    fillCanTables();

    // The old trace lives until the views have let go of it.
    const std::unique_ptr<SimTrace> old = std::move(m_trace);
    m_trace = std::make_unique<SimTrace>(m_names);
    m_traceFull = false;
    m_log->setTrace(m_trace.get());
    m_timeline->setTrace(m_trace.get());
    m_panel->setItems(m_names.keys, m_names.switches, m_names.leds, m_names.canOutputs);
    for (int r = 0; r < ui->keyPadTableWidget->rowCount(); ++r)
        if (const QTableWidgetItem *box = ui->keyPadTableWidget->item(r, 1))
            m_panel->showKeyHeld(r, box->checkState() == Qt::Checked);
    for (int r = 0; r < ui->switchTableWidget->rowCount(); ++r)
        if (const QTableWidgetItem *box = ui->switchTableWidget->item(r, 1))
            m_panel->showSwitch(r, box->checkState() == Qt::Checked);

    forgetShown();
    showRows();
    // The tables are drawn by the first tick, as ever; the rest shows tick 0.
    showViews();
    m_pace.start();
    m_paceTick = 0;
    if (!m_paused)
        m_timer->start(m_speed == Speed::Fastest ? 0 : kSimTickMs);
}

void Simulator::forgetShown()
{
    for (QTableWidget *t :
         {ui->stateTableWidget, ui->timerTableWidget, ui->outputTableWidget, ui->LEDTableWidget, ui->LX1TableWidget})
        if (auto *cells = qobject_cast<SimCellDelegate *>(t->itemDelegate()))
            cells->setGreyed(true);
    for (auto *shown : {&m_shownStates, &m_shownTimers, &m_shownOutputs, &m_shownLeds, &m_shownGrid})
        for (Shown &s : *shown)
            s = Shown();
}

Simulator::HeldInputs Simulator::heldInputs() const
{
    auto ticked = [](QTableWidget *t, int column) {
        QStringList names;
        for (int r = 0; r < t->rowCount(); ++r)
            if (const QTableWidgetItem *box = t->item(r, column); box && box->checkState() == Qt::Checked)
                names << t->item(r, 0)->text();
        return names;
    };
    return {ticked(ui->keyPadTableWidget, 1), ticked(ui->switchTableWidget, 1), ticked(ui->CANInpTableWidget, 1)};
}

void Simulator::holdInputs(const HeldInputs &held)
{
    auto tick = [](QTableWidget *t, const QStringList &names) {
        for (int r = 0; r < t->rowCount(); ++r)
            if (names.contains(t->item(r, 0)->text()))
                t->item(r, 1)->setCheckState(Qt::Checked);
    };
    tick(ui->keyPadTableWidget, held.keys);
    tick(ui->switchTableWidget, held.switches);
    tick(ui->CANInpTableWidget, held.canInputs);
}

void Simulator::switchChanged(QTableWidgetItem *item)
{
    // Input changes take effect at the next tick.
    Q_UNUSED(item);
}

void Simulator::Update()
{
    runTick();
    showAll();
}

void Simulator::fillTables()
{
    setColumns(ui->keyPadTableWidget, {"Keypad", "P", "SP", "LP", "DP"});
    setKeyColumnTips(ui->keyPadTableWidget);
    fillTable(ui->keyPadTableWidget, m_names.keys, 4, 0);
    setColumns(ui->switchTableWidget, {"Switches", "ON"});
    fillTable(ui->switchTableWidget, m_names.switches, 1, 0);
    setColumns(ui->CANInpTableWidget, {"CAN Inputs", "ON"});
    fillTable(ui->CANInpTableWidget, m_names.canInputs, 1, 0);
    setColumns(ui->stateTableWidget, {"State", "Set / Clear"});
    fillTable(ui->stateTableWidget, m_names.states, 0, 1);
    setColumns(ui->timerTableWidget, {"Timer", "Running"});
    setRunningTip(ui->timerTableWidget);
    fillTable(ui->timerTableWidget, m_names.timers, 0, 1);
    setColumns(ui->outputTableWidget, {"Output", "Active"});
    fillTable(ui->outputTableWidget, m_names.outputs, 0, 1);
    setColumns(ui->LEDTableWidget, {"LED", "On / Off"});
    fillTable(ui->LEDTableWidget, m_names.leds, 0, 1);

    QTableWidget *grid = ui->LX1TableWidget;
    setColumns(grid, gridLabels(""));
    grid->setRowCount(kLx1ModuleCount);
    grid->setVerticalHeaderLabels(gridLabels("LX1-"));
    for (int m = 0; m < kLx1ModuleCount; ++m)
        for (int c = 0; c < kLx1ChannelCount; ++c)
            grid->setItem(m, c, newCell(grid, m));

    m_shownStates.assign(ui->stateTableWidget->rowCount(), Shown());
    m_shownTimers.assign(ui->timerTableWidget->rowCount(), Shown());
    m_shownOutputs.assign(ui->outputTableWidget->rowCount(), Shown());
    m_shownLeds.assign(ui->LEDTableWidget->rowCount(), Shown());
    m_shownGrid.assign(kLx1ModuleCount * kLx1ChannelCount, Shown());
}

void Simulator::fillTable(QTableWidget *table, const QStringList &names, int checkColumns, int textColumns)
{
    if (!m_session.cursor().setup())
        return;
    const int rows = int(names.size());
    table->setRowCount(rows);
    for (int r = 0; r < rows; ++r) {
        auto *name = new QTableWidgetItem(names.at(r));
        name->setFlags(Qt::NoItemFlags);
        table->setItem(r, 0, name);
        if (checkColumns > 0) {
            for (int c = 1; c <= checkColumns; ++c) {
                auto *box = new QTableWidgetItem();
                box->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
                box->setCheckState(Qt::Unchecked);
                table->setItem(r, c, box);
            }
        } else {
            for (int c = 1; c <= textColumns; ++c)
                table->setItem(r, c, newCell(table, r));
        }
    }
}

void Simulator::readInputs()
{
    // The boxes are read again only after one of them has changed: reading
    // every box of three tables each tick was half of a tick's cost.
    if (!m_inputsTicked)
        return;
    m_inputsTicked = false;
    auto ticked = [](QTableWidget *table, int row, int column) {
        const QTableWidgetItem *item = table->item(row, column);
        return item && item->checkState() == Qt::Checked;
    };
    const int keys = std::min(ui->keyPadTableWidget->rowCount(), kSimCapacity);
    for (int r = 0; r < keys; ++r)
        for (int c = 1; c <= kKeyConditionCount; ++c)
            m_boxes.keys[r][c - 1] = ticked(ui->keyPadTableWidget, r, c);
    const int switches = std::min(ui->switchTableWidget->rowCount(), kSimCapacity);
    for (int r = 0; r < switches; ++r)
        m_boxes.switches[r] = ticked(ui->switchTableWidget, r, 1);
    const int cans = std::min(ui->CANInpTableWidget->rowCount(), kSimCapacity);
    for (int r = 0; r < cans; ++r)
        m_boxes.canInputs[r] = ticked(ui->CANInpTableWidget, r, 1);
    m_pressesTicked = false;
    for (int r = 0; r < keys; ++r)
        for (int c = 1; c < kKeyConditionCount; ++c)
            m_pressesTicked = m_pressesTicked || m_boxes.keys[r][c];
}

void Simulator::clearPresses()
{
    // The engine has already unticked SP, LP and DP in its boxes; show it.
    if (!m_pressesTicked)
        return;
    m_pressesTicked = false;
    QTableWidget *table = ui->keyPadTableWidget;
    for (int r = 0; r < table->rowCount(); ++r)
        for (int c = 2; c <= kKeyConditionCount; ++c) {
            QTableWidgetItem *item = table->item(r, c);
            if (item && item->checkState() != Qt::Unchecked)
                item->setCheckState(Qt::Unchecked);
        }
}

QString Simulator::stateWhy(int row) const
{
    const SimEngine &e = *m_engine;
    const bool set = e.stateSet(row);
    const qint64 at = e.stateChangedAt(row);
    if (at == 0)
        return set ? tr("Set since the start") : tr("Clear since the start");
    const QString when = tr("at tick %1 (%2 s)").arg(at).arg(QString::number(double(at) * kSimTickMs / 1000.0, 'f', 2));
    const int event = e.stateCause(row);
    if (event == 0)
        return (set ? tr("Set %1") : tr("Cleared %1")).arg(when);
    const QString name = event <= m_names.events.size() ? m_names.events[event - 1] : QString();
    const QString which = name.isEmpty() ? tr("event %1").arg(event) : tr("event %1 %2").arg(event).arg(quoted(name));
    return (set ? tr("Set by %1 %2") : tr("Cleared by %1 %2")).arg(which, when);
}

namespace {
QString drivers(const SimEngine &e, const SimNames &names, bool on, auto drives)
{
    QStringList states;
    for (int s = 0; s < e.stateCount(); ++s)
        if (e.stateSet(s) && drives(s))
            states << quoted(s < names.states.size() ? names.states[s] : QString::number(s + 1));
    if (states.isEmpty())
        return on ? QString() : Simulator::tr("Off: no state that drives it is set");
    return (states.size() == 1 ? Simulator::tr("On: driven by state %1") : Simulator::tr("On: driven by states %1"))
        .arg(states.join(QStringLiteral(", ")));
}
}  // namespace

QString Simulator::outputWhy(int row) const
{
    return drivers(*m_engine, m_names, m_engine->lx1OutputActive(row),
                   [this, row](int s) { return m_engine->stateDrivesLx1Output(s, row); });
}

QString Simulator::ledWhy(int row) const
{
    return drivers(*m_engine, m_names, m_engine->ledOn(row),
                   [this, row](int s) { return m_engine->stateDrivesLed(s, row); });
}

QTableWidgetItem *Simulator::newCell(QTableWidget *table, int row) const
{
    SimDrawnCell::Why why = nullptr;
    if (table == ui->stateTableWidget)
        why = &Simulator::stateWhy;
    else if (table == ui->outputTableWidget)
        why = &Simulator::outputWhy;
    else if (table == ui->LEDTableWidget)
        why = &Simulator::ledWhy;
    // Greyed until the first tick draws it, by its table's delegate (forgetShown).
    auto *cell = new SimDrawnCell(this, why, row);
    cell->setFlags(kDrawnFlags);
    return cell;
}

bool Simulator::draw(QTableWidget *table, int row, int column, Shown &shown, int value, const QString &text, bool green,
                     bool coloured)
{
    if (shown.value == value)
        return false;
    QTableWidgetItem *item = table->item(row, column);
    if (!item || item->type() != SimDrawnCell::kType) {
        item = newCell(table, row);
        table->setItem(row, column, item);
    }
    auto *cell = static_cast<SimDrawnCell *>(item);
    cell->show(text, coloured ? (green ? &m_green : &m_white) : nullptr);
    shown.value = value;
    m_dirty = m_dirty.united(QRect(column, row, 1, 1));
    return true;
}

void Simulator::drawTable(QTableWidget *table, const std::function<bool()> &drawCells)
{
    m_dirty = QRect();
    {
        // Nothing but the view listens to these read-only cells; it is told
        // once below, of the cells from the first changed to the last.
        const QSignalBlocker quiet(table->model());
        drawCells();
    }
    // The first draw of a table draws every drawn cell (so they are all in
    // m_dirty): none is greyed now. The names were never enabled.
    if (auto *cells = qobject_cast<SimCellDelegate *>(table->itemDelegate()))
        cells->setGreyed(false);
    if (m_dirty.isEmpty())
        return;
    const QModelIndex first = table->model()->index(m_dirty.top(), m_dirty.left());
    const QModelIndex last = table->model()->index(m_dirty.bottom(), m_dirty.right());
    table->viewport()->update(table->visualRect(first).united(table->visualRect(last)));
}

const QString &Simulator::timerText(uint16_t value)
{
    // A running timer shows a new value every tick; the few values a run
    // shows are formatted once.
    if (const auto it = m_timerTexts.constFind(value); it != m_timerTexts.cend())
        return *it;
    if (m_timerTexts.size() >= 4096)
        m_timerTexts.clear();
    return *m_timerTexts.insert(value, SimEngine::timerText(value));
}

void Simulator::showState()
{
    const SimEngine &e = *m_engine;
    static const QString kSet = QStringLiteral("Set"), kClear = QStringLiteral("Clear");
    static const QString kActive = QStringLiteral("Active"), kSpace = QStringLiteral(" ");
    static const QString kOn = QStringLiteral("ON"), kOff = QStringLiteral("OFF");

    // Only cells whose text or colour changes are touched; the rest already
    // show what a full redraw would.
    drawTable(ui->stateTableWidget, [&] {
        bool changed = false;
        for (int r = 0; r < static_cast<int>(m_shownStates.size()); ++r) {
            const bool set = e.stateSet(r);
            changed |= draw(ui->stateTableWidget, r, 1, m_shownStates[r], set, set ? kSet : kClear, set, true);
        }
        return changed;
    });
    drawTable(ui->timerTableWidget, [&] {
        bool changed = false;
        for (int r = 0; r < static_cast<int>(m_shownTimers.size()); ++r) {
            const uint16_t v = e.timerValue(r);
            if (m_shownTimers[r].value != v)
                changed |= draw(ui->timerTableWidget, r, 1, m_shownTimers[r], v, timerText(v), false, false);
        }
        return changed;
    });
    drawTable(ui->outputTableWidget, [&] {
        bool changed = false;
        for (int r = 0; r < static_cast<int>(m_shownOutputs.size()); ++r) {
            const bool active = e.lx1OutputActive(r);
            changed |=
                draw(ui->outputTableWidget, r, 1, m_shownOutputs[r], active, active ? kActive : kSpace, active, true);
        }
        return changed;
    });
    drawTable(ui->LEDTableWidget, [&] {
        bool changed = false;
        for (int r = 0; r < static_cast<int>(m_shownLeds.size()); ++r) {
            const bool on = e.ledOn(r);
            changed |= draw(ui->LEDTableWidget, r, 1, m_shownLeds[r], on, on ? kOn : kOff, on, true);
        }
        return changed;
    });
    drawTable(ui->LX1TableWidget, [&] {
        bool changed = false;
        for (int m = 0; m < kLx1ModuleCount; ++m)
            for (int c = 0; c < kLx1ChannelCount; ++c) {
                const bool on = e.lx1ChannelOn(m, c);
                changed |= draw(ui->LX1TableWidget, m, c, m_shownGrid[m * kLx1ChannelCount + c], on, kSpace, on, true);
            }
        return changed;
    });
}

void Simulator::showRows()
{
    // With neither button chosen every row is shown.
    const bool usedOnly = ui->rbShowUsed->isChecked();
    const SimEngine &e = *m_engine;
    auto apply = [usedOnly](QTableWidget *table, auto used) {
        for (int r = 0; r < table->rowCount(); ++r)
            table->setRowHidden(r, usedOnly && !used(r));
    };
    apply(ui->keyPadTableWidget, [&e](int r) { return e.keyUsed(r); });
    apply(ui->switchTableWidget, [&e](int r) { return e.switchUsed(r); });
    apply(ui->CANInpTableWidget, [&e](int r) { return e.canInputUsed(r); });
    apply(ui->outputTableWidget, [&e](int r) { return e.lx1OutputUsed(r); });
    apply(ui->LEDTableWidget, [&e](int r) { return e.ledUsed(r); });
}
