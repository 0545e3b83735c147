#include "simpanel.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>

namespace {

constexpr int kColumns = 5;  // the keypad and the switch bank are 5 x 5
constexpr int kLedCount = 32;
constexpr int kLx1Modules = 8, kLx1Channels = 8;
constexpr int kLampSize = 12;
constexpr int kKeyWidth = 86, kKeyHeight = 30;

const QColor kOnColour(60, 200, 60);
const QColor kOffColour(215, 215, 215);
const QColor kForcedColour(230, 130, 0);
const QColor kLatchedColour(40, 110, 230);
const char kMarkProperty[] = "simMark";

QGroupBox *group(const QString &title, QGridLayout *&grid, QWidget *parent)
{
    auto *box = new QGroupBox(title, parent);
    grid = new QGridLayout(box);
    grid->setSpacing(4);
    grid->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    return box;
}

void clearGrid(QGridLayout *grid)
{
    while (QLayoutItem *item = grid->takeAt(0)) {
        delete item->widget();
        delete item;
    }
}

// Key and switch faces: the name, cut short with an ellipsis when it does not
// fit; the whole name is in the tooltip and the accessible name.
void nameButton(QAbstractButton *b, const QString &name)
{
    b->setFixedSize(kKeyWidth, kKeyHeight);
    b->setText(b->fontMetrics().elidedText(name, Qt::ElideRight, kKeyWidth - 10));
    b->setToolTip(name);
    b->setAccessibleName(name);
    b->setFocusPolicy(Qt::StrongFocus);
}

}  // namespace

SimLamp::SimLamp(const QString &name, Shape shape, QWidget *parent) : QWidget(parent), m_name(name), m_shape(shape)
{
    setAccessibleName(name);
    setAccessibleDescription(tr("off"));
    setToolTip(name);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void SimLamp::setNameShown(bool shown)
{
    m_nameShown = shown;
    updateGeometry();
    update();
}

void SimLamp::setOn(bool on)
{
    if (on == m_on)
        return;
    m_on = on;
    setAccessibleDescription(on ? tr("on") : tr("off"));
    update();
}

void SimLamp::setRing(const QColor &colour)
{
    if (colour == m_ring)
        return;
    m_ring = colour;
    update();
}

QSize SimLamp::sizeHint() const
{
    const int text = m_nameShown ? std::min(fontMetrics().horizontalAdvance(m_name) + 4, 110) : 0;
    if (m_shape == Shape::Chip)
        return QSize(text + 16, fontMetrics().height() + 8);
    return QSize(kLampSize + (m_nameShown ? 6 + text : 2), std::max(kLampSize + 2, fontMetrics().height()));
}

void SimLamp::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor fill = m_on ? kOnColour : kOffColour;
    if (m_shape == Shape::Chip) {
        p.setPen(m_ring.isValid() ? QPen(m_ring, 2.5) : QPen(fill.darker(140)));
        p.setBrush(fill);
        p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), height() / 2.0, height() / 2.0);
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(rect().adjusted(8, 0, -8, 0), Qt::AlignCenter,
                   fontMetrics().elidedText(m_name, Qt::ElideRight, width() - 16));
        return;
    }
    const int y = (height() - kLampSize) / 2;
    p.setPen(m_ring.isValid() ? QPen(m_ring, 2.5) : QPen(fill.darker(150)));
    p.setBrush(fill);
    p.drawEllipse(QRectF(1.5, y + 0.5, kLampSize - 1, kLampSize - 1));
    if (m_nameShown) {
        p.setPen(palette().color(QPalette::WindowText));
        const QRect text = rect().adjusted(kLampSize + 6, 0, 0, 0);
        p.drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
                   fontMetrics().elidedText(m_name, Qt::ElideRight, text.width()));
    }
}

SimPanel::SimPanel(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("simPanel"));
    setAccessibleName(tr("Panel"));
    auto *layout = new QHBoxLayout(this);
    layout->addWidget(group(tr("Keypad"), m_keyGrid, this), 0, Qt::AlignTop);
    layout->addWidget(group(tr("Switches"), m_switchGrid, this), 0, Qt::AlignTop);
    layout->addWidget(group(tr("LX2 LEDs"), m_ledGrid, this), 0, Qt::AlignTop);

    // The LX1 channels: one row of eight lamps per module, labelled as the table.
    QGridLayout *lx1 = nullptr;
    layout->addWidget(group(tr("LX1 channels"), lx1, this), 0, Qt::AlignTop);
    for (int c = 0; c < kLx1Channels; ++c)
        lx1->addWidget(new QLabel(QString::number(c + 1), this), 0, c + 1, Qt::AlignHCenter);
    for (int m = 0; m < kLx1Modules; ++m) {
        lx1->addWidget(new QLabel(QStringLiteral("LX1-%1").arg(m + 1), this), m + 1, 0);
        for (int c = 0; c < kLx1Channels; ++c) {
            auto *lamp = new SimLamp(QStringLiteral("LX1-%1.%2").arg(m + 1).arg(c + 1), SimLamp::Shape::Lamp, this);
            lamp->setNameShown(false);
            lx1->addWidget(lamp, m + 1, c + 1, Qt::AlignHCenter);
            offerMenu(lamp, Part::Channel, m * kLx1Channels + c);
            m_channels.push_back(lamp);
        }
    }
    layout->addWidget(group(tr("CAN outputs"), m_chipGrid, this), 0, Qt::AlignTop);
    layout->addStretch(1);
}

void SimPanel::clear()
{
    for (QGridLayout *grid : {m_keyGrid, m_switchGrid, m_ledGrid, m_chipGrid})
        clearGrid(grid);
    m_keys.clear();
    m_switches.clear();
    m_leds.clear();
    m_canOutputs.clear();
    m_ledMask = 0;
    m_lx1.fill(0);
    for (SimLamp *lamp : m_channels)
        lamp->setOn(false);
}

void SimPanel::setItems(const QStringList &keys, const QStringList &switches, const QStringList &leds,
                        const QStringList &canOutputs)
{
    clear();
    for (int r = 0; r < keys.size(); ++r) {
        auto *key = new QPushButton(this);
        nameButton(key, keys[r]);
        key->setObjectName(QStringLiteral("simKey%1").arg(r + 1));
        // Held while down, by the mouse or by Space on the focused key.
        connect(key, &QAbstractButton::pressed, this, [this, r] { emit keyChanged(r, true); });
        connect(key, &QAbstractButton::released, this, [this, r] { emit keyChanged(r, false); });
        m_keyGrid->addWidget(key, r / kColumns, r % kColumns);
        offerMenu(key, Part::Key, r);
        key->installEventFilter(this);
        m_keys.push_back(key);
    }
    for (int r = 0; r < switches.size(); ++r) {
        auto *toggle = new QPushButton(this);
        nameButton(toggle, switches[r]);
        toggle->setObjectName(QStringLiteral("simSwitch%1").arg(r + 1));
        toggle->setCheckable(true);
        connect(toggle, &QAbstractButton::toggled, this, [this, r](bool on) { emit switchChanged(r, on); });
        m_switchGrid->addWidget(toggle, r / kColumns, r % kColumns);
        offerMenu(toggle, Part::Switch, r);
        toggle->installEventFilter(this);
        m_switches.push_back(toggle);
    }
    const int ledCount = std::min<int>(static_cast<int>(leds.size()), kLedCount);
    for (int r = 0; r < ledCount; ++r) {
        auto *lamp = new SimLamp(leds[r], SimLamp::Shape::Lamp, this);
        lamp->setObjectName(QStringLiteral("simLed%1").arg(r + 1));
        m_ledGrid->addWidget(lamp, r % 8, r / 8);
        offerMenu(lamp, Part::Led, r);
        m_leds.push_back(lamp);
    }
    for (int r = 0; r < canOutputs.size(); ++r) {
        auto *chip = new SimLamp(canOutputs[r], SimLamp::Shape::Chip, this);
        chip->setObjectName(QStringLiteral("simCanOutput%1").arg(r + 1));
        m_chipGrid->addWidget(chip, r % 16, r / 16);
        offerMenu(chip, Part::CanOutput, r);
        m_canOutputs.push_back(chip);
    }
    if (canOutputs.isEmpty())
        m_chipGrid->addWidget(new QLabel(tr("none"), this), 0, 0);
}

void SimPanel::showKeyHeld(int row, bool held)
{
    if (row >= 0 && row < keyCount() && m_keys[size_t(row)]->isDown() != held)
        m_keys[size_t(row)]->setDown(held);
}

void SimPanel::showSwitch(int row, bool on)
{
    if (row < 0 || row >= static_cast<int>(m_switches.size()))
        return;
    const QSignalBlocker quiet(m_switches[size_t(row)]);
    m_switches[size_t(row)]->setChecked(on);
}

void SimPanel::showLeds(uint32_t mask)
{
    for (uint32_t diff = mask ^ m_ledMask; diff != 0; diff &= diff - 1) {
        const int r = __builtin_ctz(diff);
        if (r < static_cast<int>(m_leds.size()))
            m_leds[size_t(r)]->setOn((mask >> r) & 1u);
    }
    m_ledMask = mask;
}

void SimPanel::showLx1Module(int module, uint8_t channels)
{
    if (module < 0 || module >= kLx1Modules || m_lx1[size_t(module)] == channels)
        return;
    for (int c = 0; c < kLx1Channels; ++c)
        m_channels[size_t(module * kLx1Channels + c)]->setOn((channels >> c) & 1u);
    m_lx1[size_t(module)] = channels;
}

void SimPanel::showCanOutput(int row, bool on)
{
    if (row >= 0 && row < static_cast<int>(m_canOutputs.size()))
        m_canOutputs[size_t(row)]->setOn(on);
}

void SimPanel::offerMenu(QWidget *widget, Part part, int row)
{
    widget->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(widget, &QWidget::customContextMenuRequested, this, [this, widget, part, row](const QPoint &pos) {
        if (m_forceable == 0)
            return;
        QMenu *menu = forceMenu(part, row, this);
        menu->exec(widget->mapToGlobal(pos));
        delete menu;
    });
}

void SimPanel::setForceable(Part part, bool forceable)
{
    const unsigned bit = 1u << unsigned(part);
    m_forceable = forceable ? (m_forceable | bit) : (m_forceable & ~bit);
}

QMenu *SimPanel::forceMenu(Part part, int row, QWidget *parent)
{
    auto *menu = new QMenu(parent);
    const bool forceable = (m_forceable >> unsigned(part)) & 1u;
    if (!forceable)
        menu->addAction(tr("This item cannot be forced"))->setEnabled(false);
    const std::pair<QString, ForceAction> entries[] = {
        {tr("Force On"), ForceAction::On}, {tr("Force Off"), ForceAction::Off}, {tr("Release"), ForceAction::Release}};
    for (const auto &[text, action] : entries) {
        QAction *a = menu->addAction(text);
        a->setEnabled(forceable);
        connect(a, &QAction::triggered, this, [this, part, row, action] { emit forceRequested(part, row, action); });
    }
    return menu;
}

void SimPanel::setClickable(bool clickable)
{
    m_clickable = clickable;
}

bool SimPanel::eventFilter(QObject *watched, QEvent *event)
{
    if (m_clickable)
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
        return true;
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        return static_cast<QKeyEvent *>(event)->key() == Qt::Key_Space;
    default:
        return QWidget::eventFilter(watched, event);
    }
}

QWidget *SimPanel::partWidget(Part part, int row) const
{
    auto pick = [row](const auto &list) -> QWidget * {
        return row >= 0 && row < static_cast<int>(list.size()) ? list[size_t(row)] : nullptr;
    };
    switch (part) {
    case Part::Key:
        return pick(m_keys);
    case Part::Switch:
        return pick(m_switches);
    case Part::Led:
        return pick(m_leds);
    case Part::Channel:
        return pick(m_channels);
    case Part::CanOutput:
        return pick(m_canOutputs);
    }
    return nullptr;
}

void SimPanel::setMark(Part part, int row, Mark mark)
{
    QWidget *w = partWidget(part, row);
    if (!w || this->mark(part, row) == mark)
        return;
    w->setProperty(kMarkProperty, int(mark));
    const QColor colour = mark == Mark::Forced ? kForcedColour : mark == Mark::Latched ? kLatchedColour : QColor();
    if (auto *lamp = qobject_cast<SimLamp *>(w)) {
        lamp->setRing(colour);
        return;
    }
    // A marked key or switch is drawn plain, with the mark as its border and
    // the green of a lit lamp while held or on.
    w->setStyleSheet(colour.isValid() ? QStringLiteral("QPushButton { border: 3px solid %1; border-radius: 4px; }"
                                                       " QPushButton:checked, QPushButton:pressed { background: %2; }")
                                            .arg(colour.name(), kOnColour.name())
                                      : QString());
    w->setAccessibleDescription(mark == Mark::Forced        ? tr("forced")
                                    : mark == Mark::Latched ? tr("changed and back")
                                                            : QString());
}

SimPanel::Mark SimPanel::mark(Part part, int row) const
{
    const QWidget *w = partWidget(part, row);
    return w ? Mark(w->property(kMarkProperty).toInt()) : Mark::None;
}
