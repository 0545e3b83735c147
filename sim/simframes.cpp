#include "simframes.h"

#include <QDir>
#include <QIODevice>
#include <QStringList>

#include <algorithm>
#include <limits>

#include "canlog.h"
#include "simengine.h"

namespace kelda {

struct SimFrameFeed::Source {
    explicit Source(const QString &file) : reader(file) { }
    canlog::Reader reader;
    QString file;
    QByteArray channel;
    qint64 offsetNs = 0;  // run time = log time + offset
    canlog::Frame frame;  // the next frame, when pending
    bool pending = false;
    bool late = false;  // stamped earlier than one before it
    // The latest stamp read so far; a log's clock may start below zero.
    qint64 latest = std::numeric_limits<qint64>::min();
    // Frames of the bus read that the module ignores, each counted once.
    qint64 lateCount = 0, fdCount = 0, extendedCount = 0, remoteCount = 0, otherBus = 0;
    qint64 unnamed = 0;  // frames of no named bus (CSV, TRC 1.x), which no --can-channel picks
};

SimFrameFeed::SimFrameFeed(SimNote note) : m_note(std::move(note))
{ }

SimFrameFeed::~SimFrameFeed() = default;

bool SimFrameFeed::add(const QString &file, qint64 atNs, std::optional<qint64> start, const QByteArray &channel,
                       QString *why, qint64 *firstNs)
{
    auto s = std::make_unique<Source>(file);
    s->file = file == QLatin1String("-") ? QStringLiteral("standard input") : QDir::toNativeSeparators(file);
    s->channel = channel;
    if (!s->reader.open(why))
        return false;
    SimNote note = m_note;
    s->reader.onProblem = [note](const canlog::Problem &p) {
        if (note)
            note(p.text());
    };
    next(*s);
    const qint64 base = start ? *start : s->pending ? s->frame.timeNs : 0;
    s->offsetNs = atNs - base;
    if (firstNs)
        *firstNs = base;
    m_sources.push_back(std::move(s));
    return true;
}

void SimFrameFeed::next(Source &s)
{
    s.pending = false;
    while (s.reader.next(s.frame)) {
        if (!s.channel.isEmpty() && s.frame.channel != s.channel) {
            ++(s.frame.channel.isEmpty() ? s.unnamed : s.otherBus);
            continue;
        }
        s.late = s.frame.timeNs < s.latest;
        s.lateCount += s.late;
        s.latest = std::max(s.latest, s.frame.timeNs);
        s.pending = true;
        return;
    }
}

void SimFrameFeed::applyDue(SimEngine &engine, qint64 tickNs)
{
    for (const std::unique_ptr<Source> &p : m_sources) {
        Source &s = *p;
        while (s.pending && (s.late || s.frame.timeNs + s.offsetNs < tickNs)) {
            const canlog::Frame &f = s.frame;
            if (f.fd)
                ++s.fdCount;  // not for a classic CAN node
            else
                engine.feedFrame(f.id, f.extended, f.remote, f.data.data(), std::min<int>(f.length, can::kFrameBytes));
            s.extendedCount += !f.fd && f.extended;
            s.remoteCount += !f.fd && !f.extended && f.remote;
            next(s);
        }
    }
}

bool SimFrameFeed::pending() const
{
    return std::any_of(m_sources.begin(), m_sources.end(), [](const auto &s) { return s->pending; });
}

void SimFrameFeed::finish()
{
    for (const std::unique_ptr<Source> &p : m_sources) {
        const Source &s = *p;
        const canlog::Counts &c = s.reader.counts();
        QStringList parts;
        auto part = [&parts](qint64 n, const char *what) {
            if (n > 0)
                parts << QStringLiteral("%1 %2").arg(n).arg(QLatin1String(what));
        };
        part(s.lateCount, "stamped earlier than a frame before them, applied at the next tick");
        part(s.extendedCount, "extended frames ignored");
        part(s.remoteCount, "remote frames ignored");
        part(s.fdCount, "CAN FD frames ignored");
        part(c.errorFrames, "error frames ignored");
        part(s.otherBus, "frames of other buses left out");
        part(s.unnamed, "frames left out because the log names no bus for them (leave out --can-channel)");
        part(c.problems, "unreadable lines");
        if (!parts.isEmpty() && m_note)
            m_note(QStringLiteral("%1: note: %2 frames read; %3").arg(s.file).arg(c.frames).arg(parts.join("; ")));
        else if (c.frames == 0 && m_note)  // a run that did nothing says why
            m_note(QStringLiteral("%1: note: the log holds no frames").arg(s.file));
    }
    m_sources.clear();
}

void SimCanOut::start(const SimEngine &engine)
{
    const std::vector<can::TxFrame> &frames = engine.canOutputFrames();
    m_last = frames;
    for (size_t p = 0; p < frames.size(); ++p)
        if (!engine.canOutputsOnFrame(int(p)).empty())
            write(frames[p], engine.tickCount());
}

void SimCanOut::afterTick(const SimEngine &engine)
{
    if (engine.canOutputFramesChangedAt() != engine.tickCount())
        return;
    const std::vector<can::TxFrame> &frames = engine.canOutputFrames();
    for (size_t p = 0; p < frames.size() && p < m_last.size(); ++p) {
        if (frames[p] == m_last[p])
            continue;
        m_last[p] = frames[p];
        write(frames[p], engine.tickCount());
    }
}

void SimCanOut::write(const can::TxFrame &t, qint64 tick)
{
    if (!m_out || m_failed)
        return;
    canlog::Frame f;
    f.timeNs = m_baseNs + tick * kSimTickNs;
    f.channel = QByteArrayLiteral("can0");
    f.id = t.identifier;
    f.length = can::kFrameBytes;
    std::copy(t.data.begin(), t.data.end(), f.data.begin());
    m_failed = !canlog::CandumpWriter(m_out).write(f);
    m_written += !m_failed;
}

}  // namespace kelda
