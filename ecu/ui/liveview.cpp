#include "liveview.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QSysInfo>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <optional>

#include "corla_basicecumediator.h"
#include "ecumediator.h"
#include "history.h"
#include "simeventlog.h"
#include "simtimeline.h"
#include "simtrace.h"
#include "uploadcalibration.h"

using kelda::SimSignal;
using kelda::upload::ModuleContents;
using Part = SimPanel::Part;

namespace {

// How long a change that came and went stays ringed on the panel.
constexpr qint64 kLatchedMarkMs = 700;
// The simulator window's limit on a run's trace.
constexpr size_t kTraceLimit = 1000000;

const char kNoLiveData[] = "this module does not report live data";

qint64 nowMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

int itemsOf(uint8_t kind)
{
    return kind == CORLA_LIVE_LED ? 32 : kind == CORLA_LIVE_LX1 ? 64 : 255;
}

std::optional<Part> partOf(uint8_t kind)
{
    switch (kind) {
    case CORLA_LIVE_KEY:
        return Part::Key;
    case CORLA_LIVE_SWITCH:
        return Part::Switch;
    case CORLA_LIVE_LED:
        return Part::Led;
    case CORLA_LIVE_LX1:
        return Part::Channel;
    case CORLA_LIVE_CANOUTPUT:
        return Part::CanOutput;
    default:
        return std::nullopt;
    }
}

uint8_t kindOf(Part part)
{
    switch (part) {
    case Part::Key:
        return CORLA_LIVE_KEY;
    case Part::Switch:
        return CORLA_LIVE_SWITCH;
    case Part::Led:
        return CORLA_LIVE_LED;
    case Part::Channel:
        return CORLA_LIVE_LX1;
    case Part::CanOutput:
        return CORLA_LIVE_CANOUTPUT;
    }
    return 0;
}

// The trace's signal of a reported item. The module reports a key row as one
// item (any of its boxes): the trace shows it on the row's P box.
std::pair<SimSignal::Kind, int> signalOf(uint8_t kind, int item)
{
    static const SimSignal::Kind kinds[] = {
        SimSignal::Kind::Key,    SimSignal::Kind::Key,      SimSignal::Kind::Switch, SimSignal::Kind::CanInput,
        SimSignal::Kind::Timer,  SimSignal::Kind::State,    SimSignal::Kind::Led,    SimSignal::Kind::Channel,
        SimSignal::Kind::Output, SimSignal::Kind::CanOutput};
    return {kinds[kind], kind == CORLA_LIVE_KEY ? item * kelda::kKeyConditionCount : item};
}

QString clockText()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz"));
}

}  // namespace

LiveView::LiveView(const QString &port, Setup setup, QWidget *parent)
    : QWidget(parent, Qt::Window),
      port_(port),
      setup_(std::move(setup)),
      link_(std::make_unique<LiveLink>()),
      markTimer_(new QTimer(this))
{
    setObjectName(QStringLiteral("liveView"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Live View - %1").arg(port.isEmpty() ? tr("no port") : port));
    names_.loaded = true;
    names_.names = setup_.names;
    auto *layout = new QVBoxLayout(this);
    buildTop();
    buildTabs();
    layout->addWidget(splitter_, 1);
    markTimer_->setInterval(100);
    connect(markTimer_, &QTimer::timeout, this, &LiveView::expireMarks);
    connect(link_.get(), &LiveLink::opened, this, &LiveView::opened);
    connect(link_.get(), &LiveLink::replied, this, &LiveView::replied);
    connect(link_.get(), &LiveLink::forcesChanged, this, &LiveView::showForces);
    connect(link_.get(), &LiveLink::noLiveData, this, [this] {
        trouble(tr("The live view cannot show the module on %1: %2.").arg(port_, QLatin1String(kNoLiveData)));
    });
    connect(link_.get(), &LiveLink::forceRefused, this, [this](const QString &why, bool engine) {
        const QString text = engine ? tr("The module refuses forces while the engine is running; it holds none now.")
                                    : tr("The module refused the force: %1").arg(why);
        statusLine_->setText(text);
        statusLine_->setVisible(true);
        note(text);
    });
    connect(link_.get(), &LiveLink::lost, this, [this](const QString &why) {
        trouble(tr("The connection to the module on %1 was lost: %2. Forces the module held lapse within 1 s.")
                    .arg(port_, why));
        reconnect_->setVisible(true);
    });
    QTimer::singleShot(0, this, &LiveView::reconnect);
}

LiveView::~LiveView()
{
    compare_.cancel();
    link_.reset();  // DISCONNECT: the module releases every force
}

void LiveView::buildTop()
{
    auto *top = static_cast<QVBoxLayout *>(layout());
    auto line = [this, top](QLabel **label, const char *name, QPushButton **button, const QString &text) {
        auto *row = new QHBoxLayout;
        *label = new QLabel(this);
        (*label)->setObjectName(QLatin1String(name));
        (*label)->setTextInteractionFlags(Qt::TextSelectableByMouse);
        (*label)->setWordWrap(true);
        row->addWidget(*label, 1);
        if (button) {
            *button = new QPushButton(text, this);
            (*button)->setObjectName(QLatin1String(name) + QStringLiteral("Button"));
            row->addWidget(*button);
        }
        top->addLayout(row);
    };
    line(&moduleLine_, "module", nullptr, QString());
    line(&holdsLine_, "holds", &differencesButton_, tr("Show Differences"));
    line(&historyLine_, "history", nullptr, QString());
    line(&statusLine_, "status", &reconnect_, tr("Reconnect"));
    statusLine_->setStyleSheet(QStringLiteral("color: #b00000;"));
    statusLine_->setVisible(false);
    reconnect_->setVisible(false);
    differencesButton_->setEnabled(false);
    historyLine_->setVisible(false);
    connect(differencesButton_, &QPushButton::clicked, this, &LiveView::showDifferences);
    connect(reconnect_, &QPushButton::clicked, this, &LiveView::reconnect);

    forcedBanner_ = new QWidget(this);
    forcedBanner_->setObjectName(QStringLiteral("forcedBanner"));
    forcedBanner_->setAutoFillBackground(true);
    QPalette amber = forcedBanner_->palette();
    amber.setColor(QPalette::Window, QColor(255, 214, 150));
    forcedBanner_->setPalette(amber);
    auto *banner = new QHBoxLayout(forcedBanner_);
    forcedLabel_ = new QLabel(forcedBanner_);
    forcedLabel_->setObjectName(QStringLiteral("forced"));
    releaseAll_ = new QPushButton(tr("Release All"), forcedBanner_);
    releaseAll_->setObjectName(QStringLiteral("releaseAll"));
    banner->addWidget(forcedLabel_, 1);
    banner->addWidget(releaseAll_);
    forcedBanner_->setVisible(false);
    top->addWidget(forcedBanner_);
    connect(releaseAll_, &QPushButton::clicked, this, &LiveView::releaseAll);
}

void LiveView::buildTabs()
{
    tabs_ = new QTabWidget(this);
    panel_ = new SimPanel(this);
    panel_->setItems(setup_.names.keys, setup_.names.switches, setup_.names.leds, setup_.names.canOutputs);
    panel_->setClickable(false);
    for (Part p : {Part::Key, Part::Switch, Part::Led, Part::Channel})
        panel_->setForceable(p, true);
    connect(panel_, &SimPanel::forceRequested, this, &LiveView::force);
    // The panel stays in sight above the log, the timeline and the rest.
    auto *scroll = new QScrollArea(this);
    scroll->setWidget(panel_);
    scroll->setWidgetResizable(true);
    scroll->setMinimumHeight(panel_->sizeHint().height() + scroll->horizontalScrollBar()->sizeHint().height() + 4);
    splitter_ = new QSplitter(Qt::Vertical, this);
    splitter_->addWidget(scroll);
    splitter_->addWidget(tabs_);
    splitter_->setStretchFactor(1, 1);
    eventLog_ = new SimEventLog(this);
    tabs_->addTab(eventLog_, tr("&Event Log"));
    timeline_ = new SimTimeline(this);
    tabs_->addTab(timeline_, tr("&Timeline"));
    differences_ = new QPlainTextEdit(this);
    differences_->setObjectName(QStringLiteral("differences"));
    differences_->setReadOnly(true);
    tabs_->addTab(differences_, tr("&Differences"));
    log_ = new QPlainTextEdit(this);
    log_->setObjectName(QStringLiteral("log"));
    log_->setReadOnly(true);
    tabs_->addTab(log_, tr("&Log"));
}

void LiveView::reconnect()
{
    compare_.cancel();
    statusLine_->setVisible(false);
    reconnect_->setVisible(false);
    moduleLine_->setText(tr("Connecting to the module on %1...").arg(port_));
    holdsLine_->clear();
    differencesButton_->setEnabled(false);
    primed_ = false;
    link_->setPaused(true);  // until the comparison has run
    link_->open(port_);
}

void LiveView::opened(bool ok, const QString &why)
{
    if (!ok) {
        trouble(tr("Cannot connect to the module on %1: %2").arg(port_, why));
        reconnect_->setVisible(true);
        return;
    }
    note(tr("Connected to the module on %1.").arg(port_));
    // A new picture: the trace starts over from "everything off".
    for (auto &items : now_)
        items.clear();
    for (uint8_t k = CORLA_LIVE_KEY; k <= CORLA_LIVE_CANOUTPUT; ++k)
        now_[k].assign(size_t(itemsOf(k)), false);
    trace_ = std::make_unique<kelda::SimTrace>(setup_.names);
    traceFull_ = false;
    replies_ = 0;
    eventLog_->setTrace(trace_.get());
    timeline_->setTrace(trace_.get());
    showModule();
    if (setup_.image.isEmpty()) {
        holdsLine_->setText(tr("not compared: the open setup cannot be compiled"));
        link_->setPaused(false);
        return;
    }
    holdsLine_->setText(tr("Comparing with the module..."));
    compare_.start(link_->mediator(), setup_.calName, setup_.image, [this](const ModuleContents &c) { compared(c); });
}

// The module's identity and the last time its calibration was written from
// this history.
void LiveView::showModule()
{
    kelda::history::Entry module;
    kelda::upload::recordModule(link_->mediator(), &module);
    moduleLine_->setText(
        tr("Module: %1 (module %2, firmware %3) on %4")
            .arg(module.rune.isEmpty() ? tr("no RUNE") : module.rune, module.moduleWord, module.firmwareWord, port_));
    uint32_t length = 0, crc = 0;
    CORLA_Ecu_GetStoredCalibration(link_->mediator().ecu(), &length, &crc);
    const auto last = length ? kelda::history::lastWritten(kelda::history::read().entries, crc)
                             : std::optional<kelda::history::Entry>();
    historyLine_->setVisible(last.has_value());
    if (!last)
        return;
    const QString by =
        last->host.isEmpty() || last->host == QSysInfo::machineHostName() ? tr("this computer") : last->host;
    const QString from = QFileInfo(last->file).fileName();
    historyLine_->setText((last->operation == QLatin1String(kelda::history::kRestore)
                               ? tr("last restored from %1 on %2 by %3")
                               : tr("last uploaded from %1 on %2 by %3"))
                              .arg(from.isEmpty() ? tr("an unnamed file") : from,
                                   last->time.toLocalTime().date().toString(Qt::ISODate), by));
}

void LiveView::compared(const ModuleContents &contents)
{
    holdsLine_->setText(kelda::upload::holdsLine(contents, setup_.name));
    QStringList lines;
    if (contents.result == ModuleContents::Result::Holds)
        lines << tr("The module holds %1: nothing differs.").arg(setup_.name);
    else if (contents.result == ModuleContents::Result::Differs && contents.empty)
        lines << tr("The module holds no calibration.");
    else if (contents.result == ModuleContents::Result::Differs && setup_.differences)
        lines << tr("Differs on the module:") << setup_.differences(contents);
    else
        lines << tr("What differs is not known: %1").arg(contents.failure);
    differences_->setPlainText(lines.join(QLatin1Char('\n')));
    differencesButton_->setEnabled(contents.result == ModuleContents::Result::Differs);
    // One pass: the setup's file name may hold "%1".
    note(tr("The module %1 (compared in %2 ms, %3 bytes read).")
             .arg(holdsLine_->text(), QString::number(contents.elapsedMs),
                  QString::number(std::max(contents.bytesRead, 0))));
    link_->setPaused(false);
}

void LiveView::showDifferences()
{
    tabs_->setCurrentWidget(differences_);
    differences_->setFocus();
}

void LiveView::replied(const LiveLink::Reply &reply)
{
    engineRunning_ = (reply.flags & CORLA_LIVE_ENGINE_RUNNING) != 0;
    // The first picture after connecting (all its pieces) also counts what
    // changed before anyone watched: its values now are taken, its pulses not.
    const bool history = primed_;
    if (!(reply.flags & CORLA_LIVE_MORE))
        primed_ = true;
    apply(reply, history);
    if (!primed_)
        return;
    ++replies_;
    eventLog_->sync();
    // The module's clock moves the timeline on, changes or not.
    timeline_->sync(std::max<qint64>(reply.tick, trace_->lastTick()));
}

// Every record carries the item's value now, which the picture takes; a
// latched one also goes to the trace as what happened between two replies.
// A full picture starts from off.
void LiveView::apply(const LiveLink::Reply &reply, bool history)
{
    std::array<std::vector<bool>, 10> next = now_;
    if (reply.flags & CORLA_LIVE_FULL_PICTURE)
        for (std::vector<bool> &items : next)
            std::fill(items.begin(), items.end(), false);
    for (const CorlaLiveChange &c : reply.changes) {
        if (c.kind < CORLA_LIVE_KEY || c.kind > CORLA_LIVE_CANOUTPUT || c.item >= next[c.kind].size())
            continue;
        if (c.latched && history)
            pulsed(c.kind, c.item, c.value != 0, c.now != 0, reply.tick);
        next[c.kind][c.item] = c.now != 0;
    }
    for (uint8_t k = CORLA_LIVE_KEY; k <= CORLA_LIVE_CANOUTPUT; ++k)
        for (size_t i = 0; i < next[k].size(); ++i)
            if (next[k][i] != now_[k][i])
                changed(k, int(i), next[k][i], reply.tick);
}

void LiveView::changed(uint8_t kind, int item, bool value, qint64 tick)
{
    now_[kind][size_t(item)] = value;
    if (!traceFull_) {
        const auto [signal, row] = signalOf(kind, item);
        trace_->recordReported(signal, row, value, tick);
        if (trace_->changes().size() >= kTraceLimit) {
            traceFull_ = true;
            eventLog_->setFull(tr("The log stops here: it holds at most 1,000,000 changes."));
        }
    }
    switch (kind) {
    case CORLA_LIVE_KEY:
        panel_->showKeyHeld(item, value);
        break;
    case CORLA_LIVE_SWITCH:
        panel_->showSwitch(item, value);
        break;
    case CORLA_LIVE_LED: {
        uint32_t mask = 0;
        for (int i = 0; i < 32; ++i)
            mask |= uint32_t(now_[kind][size_t(i)]) << i;
        panel_->showLeds(mask);
        break;
    }
    case CORLA_LIVE_LX1: {
        const int module = item / 8;
        uint8_t channels = 0;
        for (int c = 0; c < 8; ++c)
            channels |= uint8_t(now_[kind][size_t(module * 8 + c)]) << c;
        panel_->showLx1Module(module, channels);
        break;
    }
    case CORLA_LIVE_CANOUTPUT:
        panel_->showCanOutput(item, value);
        break;
    default:
        break;  // the event log and the timeline show these
    }
}

// Shown one tick wide: up one tick before the reply's tick and back at it, as
// it had ended by the reply. One that changed more than once and stays
// changed goes to its value, back for a tick, and to its value again at the
// reply's tick (apply's change, or here when the picture already had it).
// The timeline draws it; the log lists the ticks.
void LiveView::pulsed(uint8_t kind, int item, bool value, bool now, qint64 tick)
{
    if (!traceFull_) {
        const auto [signal, row] = signalOf(kind, item);
        const qint64 back = now == value ? tick - 1 : tick;
        trace_->recordReported(signal, row, value, back - 1);
        trace_->recordReported(signal, row, !value, back);
        if (now == value && now_[kind][size_t(item)] == value)
            trace_->recordReported(signal, row, value, tick);
    }
    const std::optional<Part> part = partOf(kind);
    if (!part || panel_->mark(*part, item) == SimPanel::Mark::Forced || !panel_->partWidget(*part, item))
        return;
    panel_->setMark(*part, item, SimPanel::Mark::Latched);
    latchedMarks_[{int(*part), item}] = nowMs() + kLatchedMarkMs;
    markTimer_->start();
}

void LiveView::expireMarks()
{
    const qint64 now = nowMs();
    for (auto it = latchedMarks_.begin(); it != latchedMarks_.end();) {
        if (it->second > now) {
            ++it;
            continue;
        }
        const Part part = Part(it->first.first);
        if (panel_->mark(part, it->first.second) == SimPanel::Mark::Latched)
            panel_->setMark(part, it->first.second, SimPanel::Mark::None);
        it = latchedMarks_.erase(it);
    }
    if (latchedMarks_.empty())
        markTimer_->stop();
}

QString LiveView::itemText(uint8_t kind, int item) const
{
    const char *const words[] = {"", "key", "switch", "CAN input", "timer", "state", "LED", "LX1 channel"};
    if (kind == CORLA_LIVE_LX1)
        return tr("LX1 channel %1").arg(names_.name(kind, item));
    const QString name = names_.name(kind, item);
    QString text = QStringLiteral("%1 %2").arg(QLatin1String(kind < 8 ? words[kind] : "item")).arg(item + 1);
    return name.isEmpty() ? text : text + QStringLiteral(" \"%1\"").arg(name);
}

void LiveView::force(Part part, int row, SimPanel::ForceAction action)
{
    const uint8_t kind = kindOf(part);
    if (part == Part::CanOutput || row < 0 || row >= itemsOf(kind))
        return;
    if (!link_->isOpen()) {
        note(tr("Not forced: the module is not connected."));
        return;
    }
    const int wire = action == SimPanel::ForceAction::On ? CORLA_FORCE_ON
        : action == SimPanel::ForceAction::Off           ? CORLA_FORCE_OFF
                                                         : CORLA_FORCE_RELEASE;
    if (wire != CORLA_FORCE_RELEASE && engineRunning_) {
        const auto title = QCoreApplication::translate("EcuMediator", EcuMediator::kEngineRunningTitle);
        const auto text = QCoreApplication::translate("EcuMediator", EcuMediator::kEngineRunningText);
        const QMessageBox::StandardButtons buttons = QMessageBox::Ok | QMessageBox::Cancel;
        const QMessageBox::StandardButton answer = asker_ ? asker_(this, QMessageBox::Warning, title, text, buttons)
                                                          : QMessageBox::warning(this, title, text, buttons);
        if (answer != QMessageBox::Ok) {
            note(tr("Not forced: %1 (the engine is running).").arg(itemText(kind, row)));
            return;
        }
    }
    if (wire == CORLA_FORCE_RELEASE && !link_->forces().count(kind << 8 | row))
        return;
    link_->force(kind, uint8_t(row), wire);
    note(wire == CORLA_FORCE_RELEASE
             ? tr("Released %1.").arg(itemText(kind, row))
             : tr("Forced %1 %2.").arg(itemText(kind, row), wire == CORLA_FORCE_ON ? tr("on") : tr("off")));
}

void LiveView::showForces()
{
    const std::map<int, bool> &forces = link_->forces();
    const int n = int(forces.size());
    forcedLabel_->setText(tr("%n forced", nullptr, n));
    forcedBanner_->setVisible(n > 0);
    for (Part part : {Part::Key, Part::Switch, Part::Led, Part::Channel}) {
        const uint8_t kind = kindOf(part);
        for (int row = 0; panel_->partWidget(part, row); ++row) {
            const bool forced = forces.count(kind << 8 | row) > 0;
            const SimPanel::Mark mark = panel_->mark(part, row);
            if (forced)
                panel_->setMark(part, row, SimPanel::Mark::Forced);
            else if (mark == SimPanel::Mark::Forced)
                panel_->setMark(part, row, SimPanel::Mark::None);
        }
    }
}

void LiveView::releaseAll()
{
    const int n = int(link_->forces().size());
    if (n == 0)
        return;
    link_->releaseAll();
    note(tr("Released all %n forces.", nullptr, n));
}

void LiveView::closeEvent(QCloseEvent *event)
{
    const int n = int(link_->forces().size());
    if (n > 0)
        note(tr("Window closed: the module releases %n forces as the line closes.", nullptr, n));
    compare_.cancel();
    link_->close();
    event->accept();
}

void LiveView::trouble(const QString &text)
{
    statusLine_->setText(text);
    statusLine_->setVisible(true);
    note(text);
}

void LiveView::note(const QString &text)
{
    log_->appendPlainText(clockText() + QLatin1Char(' ') + text);
}
