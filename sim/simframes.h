// CAN frames in and out of a run: logs fed to the engine tick by tick, and
// the engine's CAN output frames written as a candump -l log. The timing
// rules are those of docs/can-model.md ("Frames in a run").
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "canmodel.h"

class QIODevice;

namespace kelda {

class SimEngine;

constexpr qint64 kSimTickNs = qint64(10) * 1000 * 1000;

// Says one line on standard error: an unreadable log line ("file:line:
// reason") or a note about a run.
using SimNote = std::function<void(const QString &)>;

class SimFrameFeed
{
public:
    explicit SimFrameFeed(SimNote note);
    ~SimFrameFeed();
    SimFrameFeed(const SimFrameFeed &) = delete;
    SimFrameFeed &operator=(const SimFrameFeed &) = delete;

    // Opens a log and places it in the run: its first frame's time (or
    // start, when given, in the log's own clock) falls at atNs of the run.
    // Only frames of `channel` are read when it is not empty. firstNs
    // receives the log time placed at atNs.
    bool add(const QString &file, qint64 atNs, std::optional<qint64> start, const QByteArray &channel, QString *why,
             qint64 *firstNs = nullptr);
    // Applies, in file order, every frame stamped before tickNs, and every
    // frame stamped earlier than one before it (late: counted).
    void applyDue(SimEngine &engine, qint64 tickNs);
    // True while some log has frames not applied yet.
    bool pending() const;
    // Notes each log's ignored and late frames (once, at the end of a run).
    void finish();

private:
    struct Source;
    void next(Source &s);
    SimNote m_note;
    std::vector<std::unique_ptr<Source>> m_sources;
};

// Writes a transmit identifier's frame at every tick where its content
// changes (and at the start when an output on it is active), on can0,
// stamped with baseNs + the tick's time.
class SimCanOut
{
public:
    SimCanOut(QIODevice *out, qint64 baseNs) : m_out(out), m_baseNs(baseNs) { }
    void start(const SimEngine &engine);
    void afterTick(const SimEngine &engine);
    bool failed() const { return m_failed; }
    qint64 written() const { return m_written; }

private:
    void write(const can::TxFrame &f, qint64 tick);
    QIODevice *m_out;
    qint64 m_baseNs;
    std::vector<can::TxFrame> m_last;
    bool m_failed = false;
    qint64 m_written = 0;
};

}  // namespace kelda
