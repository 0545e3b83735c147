// CAN in the simulator window: the values of the channels that CAN inputs
// read, typed by the user (simCanValues); the frames the CAN outputs make
// (simCanOutputs); and recorded logs played through the run (Play Log…).
// Frames start deciding the CAN inputs that have an identifier and a channel
// with the first value typed or log played; until then every CAN input is
// its tick box, as before. CAN Key inputs always are.
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

#include "nametext.h"
#include "simframes.h"
#include "simulator.h"
#include "ui_simulator.h"

using namespace kelda;

namespace {

constexpr Qt::ItemFlags kShownFlags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;

QString hexId(uint16_t id)
{
    return QStringLiteral("0x%1")
        .arg(id, 3, 16, QLatin1Char('0'))
        .toUpper()
        .replace(QLatin1String("0X"), QLatin1String("0x"));
}

QString channelText(const can::Channel &c)
{
    return (c.isByte ? QStringLiteral("Byte %1") : QStringLiteral("Word %1")).arg(c.index);
}

QTableWidget *makeTable(const char *name, const QStringList &labels, QWidget *parent)
{
    auto *t = new QTableWidget(0, static_cast<int>(labels.size()), parent);
    t->setObjectName(QLatin1String(name));
    t->setHorizontalHeaderLabels(labels);
    t->horizontalHeader()->setStretchLastSection(true);
    t->verticalHeader()->setDefaultSectionSize(18);
    return t;
}

void setCell(QTableWidget *t, int row, int column, const QString &text, Qt::ItemFlags flags = kShownFlags)
{
    QTableWidgetItem *item = t->item(row, column);
    if (!item) {
        item = new QTableWidgetItem(text);
        item->setFlags(flags);
        t->setItem(row, column, item);
    } else if (item->text() != text) {
        item->setText(text);
    }
}

// A value typed by the user: decimal or 0x hex, within the channel's width.
std::optional<uint16_t> parseValue(const QString &text, int width)
{
    const QString t = text.trimmed();
    bool ok = false;
    const qulonglong v =
        t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? t.mid(2).toULongLong(&ok, 16) : t.toULongLong(&ok, 10);
    if (!ok || v >= (1ull << width))
        return std::nullopt;
    return uint16_t(v);
}

}  // namespace

void Simulator::buildCanViews()
{
    auto *pane = new QWidget(this);
    m_canValues = makeTable("simCanValues", {tr("Identifier"), tr("Channel"), tr("Value"), tr("Inputs")}, pane);
    m_canValues->setAccessibleName(tr("CAN values"));
    m_canValues->setToolTip(tr("Type a value (decimal or 0x hex) to send it on its identifier; "
                               "each input that reads the channel shows its result"));
    m_canOutputs = makeTable("simCanOutputs", {tr("Identifier"), tr("Bytes"), tr("Outputs active")}, pane);
    m_canOutputs->setAccessibleName(tr("CAN output frames"));
    auto *split = new QSplitter(Qt::Horizontal, pane);
    for (auto [table, title] :
         {std::pair{m_canValues, tr("CAN values the inputs read")}, std::pair{m_canOutputs, tr("CAN output frames")}}) {
        auto *box = new QWidget(split);
        auto *column = new QVBoxLayout(box);
        column->setContentsMargins(0, 0, 0, 0);
        column->addWidget(new QLabel(title, box));
        column->addWidget(table);
        split->addWidget(box);
    }
    auto *layout = new QHBoxLayout(pane);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(split);
    m_views->addTab(pane, tr("CAN"));

    auto *play = new QPushButton(tr("Play Log…"), this);
    play->setObjectName(QStringLiteral("simPlayLogButton"));
    play->setToolTip(tr("Play a recorded CAN log (candump, ASC, TRC or CSV) through the simulation from now"));
    m_logLabel = new QLabel(this);
    m_logLabel->setObjectName(QStringLiteral("simPlayLogLabel"));
    if (auto *row = qobject_cast<QHBoxLayout *>(findChild<QWidget *>(QStringLiteral("simControls"))->layout())) {
        row->insertWidget(row->count() - 1, play);
        row->insertWidget(row->count() - 1, m_logLabel, 1);
    }
    connect(play, &QPushButton::clicked, this, &Simulator::playLogClicked);
    connect(m_canValues, &QTableWidget::itemChanged, this, &Simulator::canValueEdited);
    connect(ui->CANInpTableWidget, &QTableWidget::itemChanged, this, &Simulator::canInputTicked);
}

void Simulator::fillCanTables()
{
    m_canRows.clear();
    const can::CanModel &model = m_engine->canModel();
    const std::vector<can::InputRule> &inputs = model.inputs();
    for (int r = 0; r < static_cast<int>(inputs.size()) && r < kSimCapacity; ++r) {
        const can::InputRule &rule = inputs[size_t(r)];
        if (!rule.fromFrames())
            continue;
        auto same = [&rule](const CanValueRow &row) {
            return row.identifier == rule.identifier && row.channel.isByte == rule.channel.isByte
                && row.channel.index == rule.channel.index;
        };
        auto it = std::find_if(m_canRows.begin(), m_canRows.end(), same);
        if (it == m_canRows.end())
            it = m_canRows.insert(m_canRows.end(), CanValueRow{rule.identifier, rule.channel, rule.littleEndian, {}});
        it->inputs.push_back(r);
    }
    m_syncing = true;
    m_canValues->setRowCount(0);
    m_canValues->setRowCount(static_cast<int>(m_canRows.size()));
    for (int i = 0; i < static_cast<int>(m_canRows.size()); ++i) {
        const CanValueRow &row = m_canRows[size_t(i)];
        setCell(m_canValues, i, 0, hexId(row.identifier));
        setCell(m_canValues, i, 1, channelText(row.channel));
        setCell(m_canValues, i, 2, QString(), kShownFlags | Qt::ItemIsEditable);
    }
    m_syncing = false;
    m_canOutputs->setRowCount(0);
    m_shownTx.clear();
    m_shownCan.clear();
}

void Simulator::showCan()
{
    const SimEngine &e = *m_engine;
    m_syncing = true;
    m_shownCan.resize(m_canRows.size(), ~uint64_t(0));
    for (int i = 0; i < static_cast<int>(m_canRows.size()); ++i) {
        const CanValueRow &row = m_canRows[size_t(i)];
        const SimEngine::LastFrame &last = e.lastFrame(row.identifier);
        const std::optional<uint16_t> value = e.canFrames()
            ? can::channelValue(row.channel, row.littleEndian, last.data.data(), last.length)
            : std::nullopt;
        // Texts are made only when the value or a result has changed.
        // (Exact for up to 31 inputs on a channel; more are drawn every time.)
        uint64_t shown = value ? (uint64_t(1) << 62) | (uint64_t(*value) << 32) : 0;
        const bool exact = row.inputs.size() <= 31;
        for (size_t k = 0; exact && k < row.inputs.size(); ++k) {
            const int r = row.inputs[k];
            if (e.canFrames() ? e.canInputResult(r) : m_boxes.canInputs[size_t(r)])
                shown |= uint64_t(1) << k;
        }
        if (exact && shown == m_shownCan[size_t(i)])
            continue;
        m_shownCan[size_t(i)] = shown;
        setCell(m_canValues, i, 2, value ? QString::number(*value) : QString(), kShownFlags | Qt::ItemIsEditable);
        QStringList results;
        for (int r : row.inputs) {
            const QString name = r < m_names.canInputs.size() ? m_names.canInputs[r] : QString::number(r + 1);
            const bool on = e.canFrames() ? e.canInputResult(r) : m_boxes.canInputs[size_t(r)];
            results << QStringLiteral("\"%1\" %2").arg(visibleName(name), on ? tr("on") : tr("off"));
        }
        setCell(m_canValues, i, 3, results.join(QStringLiteral(", ")));
    }
    m_syncing = false;

    const std::vector<can::TxFrame> &frames = e.canOutputFrames();
    if (frames == m_shownTx)
        return;
    m_shownTx = frames;
    m_canOutputs->setRowCount(static_cast<int>(frames.size()));
    for (int p = 0; p < static_cast<int>(frames.size()); ++p) {
        const can::TxFrame &f = frames[size_t(p)];
        QStringList bytes, active;
        for (uint8_t b : f.data)
            bytes << QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
        for (int r : e.canOutputsOnFrame(p))
            active << QLatin1Char('"') + visibleName(r < m_names.canOutputs.size() ? m_names.canOutputs[r] : QString())
                    + QLatin1Char('"');
        setCell(m_canOutputs, p, 0, hexId(f.identifier));
        setCell(m_canOutputs, p, 1, bytes.join(QLatin1Char(' ')));
        setCell(m_canOutputs, p, 2, active.join(QStringLiteral(", ")));
    }
}

// The first value typed or log played: frames decide the inputs from now on.
void Simulator::framesOn()
{
    if (m_engine->canFrames())
        return;
    m_engine->setCanFrames(true);
    // A box ticked for an input that frames decide is where the user wants
    // it until the first frame for its identifier.
    for (int r = 0; r < ui->CANInpTableWidget->rowCount() && r < kSimCapacity; ++r)
        if (const QTableWidgetItem *box = ui->CANInpTableWidget->item(r, 1); box && box->checkState() == Qt::Checked)
            m_engine->overrideCanInput(r, true);
}

void Simulator::canValueEdited(QTableWidgetItem *item)
{
    if (m_syncing || !item || item->column() != 2 || item->row() >= static_cast<int>(m_canRows.size()))
        return;
    const CanValueRow &row = m_canRows[size_t(item->row())];
    const std::optional<uint16_t> value = parseValue(item->text(), row.channel.width());
    // The cell holds what was typed: drawn again whatever the value.
    if (size_t(item->row()) < m_shownCan.size())
        m_shownCan[size_t(item->row())] = ~uint64_t(0);
    if (!value) {
        const QString typed = item->text();
        showCan();
        warn(tr("\"%1\" is not a value of %2 of %3: type a whole number from 0 to %4, in decimal or as 0x hex.")
                 .arg(typed, channelText(row.channel), hexId(row.identifier))
                 .arg((1 << row.channel.width()) - 1));
        return;
    }
    framesOn();
    m_engine->setCanValue(row.identifier, row.channel, *value);
    showCan();
}

void Simulator::canInputTicked(QTableWidgetItem *item)
{
    // With frames on, a box sets an input that frames decide until the next
    // frame for its identifier, as a script's "can N on|off" does.
    if (m_syncing || !item || item->column() != 1 || !m_engine->canFrames())
        return;
    m_engine->overrideCanInput(item->row(), item->checkState() == Qt::Checked);
}

bool Simulator::playLog(const QString &path)
{
    stopLog();
    m_logNotes.clear();
    auto feed = std::make_unique<SimFrameFeed>([this](const QString &note) { m_logNotes << note; });
    QString why;
    if (!feed->add(path, m_engine->tickCount() * kSimTickNs, std::nullopt, QByteArray(), &why)) {
        warn(tr("cannot read %1: %2").arg(QDir::toNativeSeparators(path), why));
        return false;
    }
    framesOn();
    m_feed = std::move(feed);
    m_logName = QFileInfo(path).fileName();
    m_logPath = path;
    m_logStartTick = m_engine->tickCount();
    m_logFinished = false;
    showLogPosition();
    return true;
}

bool Simulator::playingLog() const
{
    return m_feed && m_feed->pending();
}

void Simulator::stopLog()
{
    m_feed.reset();
    m_logName.clear();
    m_logLabel->clear();
    m_logLabel->setToolTip(QString());
}

void Simulator::playLogClicked()
{
    const QString caption = tr("Play CAN Log");
    const QString filter = tr("CAN logs (*.log *.asc *.trc *.csv);;All files (*)");
    const QString path = m_dialogs.openFileName ? m_dialogs.openFileName(this, caption, filter)
                                                : QFileDialog::getOpenFileName(this, caption, QString(), filter);
    if (!path.isEmpty())
        playLog(path);
}

void Simulator::showLogPosition()
{
    if (!m_feed)
        return;
    if (!m_feed->pending() && !m_logFinished) {
        m_logFinished = true;
        m_feed->finish();  // its ignored and late frames, said once
    }
    const qint64 ticks = m_engine->tickCount() - m_logStartTick;
    const QString at = QString::number(double(ticks) * kSimTickMs / 1000.0, 'f', 2);
    QString text = m_feed->pending() ? tr("Playing %1: %2 s").arg(m_logName, at)
                                     : tr("%1 played to its end (%2 s)").arg(m_logName, at);
    if (!m_logNotes.isEmpty())
        text += tr(", %n note(s)", nullptr, static_cast<int>(m_logNotes.size()));
    if (m_logLabel->text() != text) {
        m_logLabel->setText(text);
        m_logLabel->setToolTip(m_logNotes.mid(0, 20).join(QLatin1Char('\n')));
    }
}
