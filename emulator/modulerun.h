// The module running its calibration: the engine in 10 ms ticks from
// power-on, an input script played in real time, leased forces, and the
// latched changes MONITOR reports.
#ifndef MODULERUN_H
#define MODULERUN_H

#include "corlalive.h"
#include "simengine.h"
#include "simscript.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <functional>
#include <map>
#include <vector>

class ModuleRun
{
public:
    // Reads an --inputs script (rows by number); false with the line and why.
    static bool loadScript(const QByteArray &text, std::vector<kelda::SimStep> *steps, int *line, QString *why);

    // With run false the engine never ticks; MONITOR still answers.
    ModuleRun(bool run, std::vector<kelda::SimStep> script);

    // Power-on, or a COMMIT: the engine starts afresh from the calibration's
    // image; every force is gone and the script starts again.
    void start(const QByteArray &calibration, double nowMs);
    // Runs the ticks due by nowMs, lapsing forces whose lease has run out.
    void advance(double nowMs);
    qint64 tick() const { return engine_.tickCount(); }
    bool running() const { return run_; }

    // MONITOR: the reply after the result byte.
    QByteArray monitor(bool full, uint8_t moduleFlags);
    // FORCE: the result code; active receives the number of forces held.
    uint8_t force(const corla::proto::ForceRequest &r, double nowMs, int *active);
    // A new connection, a DISCONNECT or a starting engine: nothing stays forced.
    void releaseAll(const char *why);
    int forces() const { return int(forces_.size()); }

    // Called with a line when a force is set, released, lapses or is dropped (for --stats).
    std::function<void(const QString &)> onForce;

private:
    void runTick();
    // The script's inputs with the input forces over them.
    kelda::SimInputs forcedInputs();
    void playScript();
    void playStep(const kelda::SimStep &s);
    void setKeyHeld(int row, bool held);
    void lapse(double nowMs);
    bool forced(uint8_t kind, int item, bool *on) const;
    void observe(const kelda::SimInputs &boxes);
    void see(uint8_t kind, int item, bool value);

    bool run_ = false;
    kelda::SimEngine engine_;
    kelda::SimInputs inputs_;  // as the script left them
    std::vector<kelda::SimStep> script_;
    size_t next_ = 0;
    qint64 waitUntil_ = 0;
    double startMs_ = 0;

    // Per item: the value the host last heard, the value now, and how often
    // it changed since (saturating), so a pulse between two replies is kept.
    struct Item {
        uint8_t told = 0, now = 0, changes = 0;
    };
    std::array<std::vector<Item>, corla::proto::kLiveKindCount + 1> items_;

    struct Forced {
        bool on = false;
        double renewedMs = 0;
        uint16_t leaseMs = 0;
    };
    std::map<int, Forced> forces_;  // kind << 8 | item
};

#endif
