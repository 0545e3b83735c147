// SimEngine: runs the event logic of a compiled setup, one 10 ms tick at a
// time, from the raw image alone (timers, events, CAN, states, LX1 outputs,
// options), as the module does: nothing else is needed, so the emulated
// module runs the same engine. Inputs come in as tick-box flags, so the
// simulator window and kelda-cli feed it the same way. No widgets; everything
// is a fixed block of 255 entries per table, so a tick allocates nothing.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "canmodel.h"
#include "pressmodel.h"
#include "schema.h"

namespace kelda {

// Every table of the image has a one-byte count.
// One engine tick is 10 ms; a timer counts 5 ms ticks, so it runs down two per tick.
constexpr int kSimTickMs = 10;
constexpr int kTimerTicksPerSimTick = kSimTickMs / kTickMs;
constexpr int kSimCapacity = kMaxTableItems;  // 255

// Keypad tick-box columns: P, SP, LP, DP (Condition codes 1..4).
constexpr int kKeyConditionCount = 4;

// A list of item numbers (1-based; 0 = no item).
struct SimList {
    uint8_t count = 0;
    std::array<uint8_t, kSimCapacity> items{};
};

struct SimInput {
    uint8_t kind = 0;  // source kind: 1 key, 2 timer, 3 CAN input, 4 state, 5 switch
    uint8_t number = 0;  // item number in that table
    uint8_t condition = 0;  // Condition code
    uint8_t join = 0;  // Combine code joining the next entry
};

struct SimEvent {
    std::array<SimInput, 3> inputs{};
    // "States to Set", "States to Clear", "Timers to Start", "Timers to Stop"
    std::array<SimList, 4> lists{};
};

struct SimState {
    uint32_t ledMask = 0;  // bit n = LX2 LED index n
    SimList lx1Outputs;
    SimList canOutputs;
};

static_assert(kLx1ModuleCount == 8, "the LX1 grid is ORed as one 64-bit word");
struct SimLx1Output {
    std::array<uint8_t, kLx1ModuleCount> masks{};  // byte m = channels of LX1-(m+1)
};

// The tick boxes of the input tables, as the user left them. Row r (0-based).
struct SimInputs {
    std::array<std::array<bool, kKeyConditionCount>, kSimCapacity> keys{};  // [row][condition - 1]
    std::array<bool, kSimCapacity> switches{};
    std::array<bool, kSimCapacity> canInputs{};

    void clear() { *this = SimInputs(); }
};

class SimEngine
{
public:
    SimEngine();
    ~SimEngine();

    // Back to the state of a fresh window: nothing read, everything off.
    void reset();

    // Reads every section the logic uses: timers (all stopped), events,
    // CAN inputs and outputs, states, LX1 outputs and the options. A missing,
    // short or damaged file leaves what is not in it at zero; reading never
    // leaves the bytes of the file. Returns false when the file cannot be read.
    bool readImage(const QString &fileName);
    void readImage(const QByteArray &image);

    // All states clear, none changed by an event yet.
    void clearStates();

    // A key held down or let go, as the next tick samples it: the press model
    // (pressmodel.h) makes P, SP, LP and DP of it from the press times in the
    // options, ORed with the boxes. Reading an image lets every key go.
    void setKeyHeld(int row, bool held) { m_press.setHeld(row, held); }
    bool keyHeld(int row) const { return m_press.held(row); }
    const PressModel &pressModel() const { return m_press; }
    // What the next tick reads for box b (0 P .. 3 DP) of key row r: the box
    // or the press model's press.
    bool keySeen(const SimInputs &boxes, int row, int box) const
    {
        return inRange(row) && box >= 0 && box < kKeyConditionCount
            && (boxes.keys[row][box] || (m_press.next(row) >> box & 1u));
    }

    // One tick, in this order: readInputs, clearPresses, tickTimers,
    // evaluateEvents, then the outputs are derived. SP, LP and DP of the
    // boxes are unticked, so a short, long or double press is seen once.
    void tick(SimInputs &boxes);
    // Ticks run since the engine was made or reset; the first tick is 1.
    qint64 tickCount() const { return m_tick; }

    // The steps of a tick.
    void readInputs(const SimInputs &boxes);
    static void clearPresses(SimInputs &boxes);
    void tickTimers();
    // True when a state changed.
    bool evaluateEvents();
    bool evaluateInput(const SimInput &input) const;
    void deriveOutputs();

    // Engine state
    int eventCount() const { return m_eventCount; }
    const SimEvent &event(int e) const { return m_events[e]; }
    int stateCount() const { return m_stateCount; }
    const SimState &stateRecord(int s) const { return m_stateRecords[s]; }
    int lx1OutputCount() const { return m_lx1Count; }
    const SimLx1Output &lx1Output(int p) const { return m_lx1Outputs[p]; }
    int timerCount() const { return m_timerCount; }
    // The eight options of section 10 in OptionIndex order (press times in
    // hundredths of a second, ...); zero where the image ends before them.
    const std::array<uint16_t, kOptionCount> &options() const { return m_options; }

    // State row r is set (rows beyond the capacity never are).
    bool stateSet(int row) const { return inRange(row) && m_states[row] != 0; }
    // A change made here has no cause event.
    void setState(int row, bool set);
    // The event (1-based; 0 = none: the start, or setState) that last changed
    // state row r, and the tick of that change (0 = before the first tick).
    // Set and cleared again in one tick is no change.
    int stateCause(int row) const { return inRange(row) ? m_cause[row] : 0; }
    qint64 stateChangedAt(int row) const { return inRange(row) ? m_changedAt[row] : 0; }
    // Remaining run time of timer row r in 5 ms units; 0 = stopped.
    uint16_t timerValue(int row) const { return inRange(row) ? m_timerValues[row] : 0; }
    uint16_t timerResetValue(int row) const { return inRange(row) ? m_timerResets[row] : 0; }
    // Seconds left as the window shows them: 0.5, 0.49, 0.
    static QString timerText(uint16_t value);

    // Derived outputs (after the last tick)
    uint32_t ledMask() const { return m_ledMask; }
    bool ledOn(int row) const { return row >= 0 && row < 32 && (m_ledMask >> row) & 1u; }
    bool lx1OutputActive(int row) const { return inRange(row) && (m_lx1Active[row / 64] >> (row % 64)) & 1u; }
    // Channel c (0..7) of module m (0..7).
    bool lx1ChannelOn(int module, int channel) const
    {
        return module >= 0 && module < kLx1ModuleCount && channel >= 0 && channel < kLx1ChannelCount
            && (m_lx1Grid[module] >> channel) & 1u;
    }
    uint8_t lx1ModuleMask(int module) const { return m_lx1Grid[module]; }
    // State row s, when set, drives LX1 output row r / LED index r.
    bool stateDrivesLx1Output(int s, int r) const;
    // CAN output row r is on while a set state lists it.
    bool canOutputOn(int row) const
    {
        refreshCan();
        return inRange(row) && (m_canActive[row / 64] >> (row % 64)) & 1u;
    }
    bool stateDrivesLed(int s, int r) const
    {
        return s >= 0 && s < m_stateCount && r >= 0 && r < 32 && (m_stateRecords[s].ledMask >> r) & 1u;
    }

    // CAN frames (docs/can-model.md). The CAN model is read with the image.
    // With frames on, a CAN input that frames decide reads its result from
    // the frames applied so far (false before the first), not its box; CAN
    // Key inputs and inputs without an identifier keep their boxes. Frames
    // fed between ticks are seen by the next tick.
    const can::CanModel &canModel() const { return *m_canModel; }
    void setCanFrames(bool on) { m_canFrames = on; }
    bool canFrames() const { return m_canFrames; }
    // Applies one frame to the CAN inputs' results; returns how many changed.
    int feedFrame(uint32_t id, bool extended, bool remote, const uint8_t *data, int length);
    // Sends the last frame fed on `identifier` (eight zero bytes before the
    // first) with `channel` replaced by value, in the identifier's byte order.
    // The frame grows to cover the channel when it was shorter.
    void setCanValue(uint16_t identifier, can::Channel channel, uint16_t value);
    // The last frame fed on a standard identifier (length 0 before the first).
    struct LastFrame {
        bool seen = false;  // a frame came on the identifier (its length may be 0)
        uint8_t length = 0;
        std::array<uint8_t, can::kFrameBytes> data{};
    };
    const LastFrame &lastFrame(uint16_t identifier) const;
    // A script's setting of a frame-decided input, until the next frame for
    // its identifier; false when frames do not decide the row.
    bool overrideCanInput(int row, bool on);
    // The result frames gave CAN input row r (false before the first frame
    // and for rows frames do not decide).
    bool canInputResult(int row) const { return m_canResults->result(row); }
    bool canInputFromFrames(int row) const;
    // What the next tick reads for CAN input row r: its result or its box.
    bool canInputSeen(const SimInputs &boxes, int row) const
    {
        return m_canFrames && canInputFromFrames(row) ? m_canResults->result(row)
                                                      : inRange(row) && boxes.canInputs[row];
    }
    // The CAN output frames as the current states give them, one per
    // transmit identifier in list order, and the tick at which their
    // content last changed (0 = before the first tick). Made when asked, so
    // a run that never asks pays nothing; exact when asked after every tick.
    const std::vector<can::TxFrame> &canOutputFrames() const;
    qint64 canOutputFramesChangedAt() const;
    // CAN output rows active on transmit frame p (its index in canOutputFrames).
    std::vector<int> canOutputsOnFrame(int p) const;

    // What the setup uses: an input row some event input reads, an output row
    // some state drives. For "Show Used I/O Only".
    bool keyUsed(int row) const { return inRange(row) && m_keyUsed[row]; }
    bool switchUsed(int row) const { return inRange(row) && m_switchUsed[row]; }
    bool canInputUsed(int row) const { return inRange(row) && m_canUsed[row]; }
    bool lx1OutputUsed(int row) const { return inRange(row) && m_lx1Used[row]; }
    bool ledUsed(int row) const { return row >= 0 && row < 32 && (m_ledUsedMask >> row) & 1u; }

private:
    static bool inRange(int row) { return row >= 0 && row < kSimCapacity; }
    void findUsed();
    void compile();
    void compileEvent(int e);
    void compileDrives();
    void runActions(int e);
    bool replayQuietTick();
    void keepQuietTick();
    void clearImage();
    void readTimers(const QByteArray &bytes);
    void readOptions(const QByteArray &bytes);
    void readEventInputs(const QByteArray &bytes);
    void readActions(const QByteArray &bytes);
    void readCan(const QByteArray &bytes);
    void deriveCanFrames() const;
    void refreshCan() const;

    // Every value an event input can read, one byte (0 or 1) each, so that an
    // input is an index into this block and a byte to XOR with: no branch on
    // the kind or the condition in the event loop.
    enum Signal : uint16_t {
        kFalse = 0,  // no item, unknown kind or condition
        kKeys = 1,  // row * 4 + box
        kCans = kKeys + kSimCapacity * kKeyConditionCount,
        kStates = kCans + kSimCapacity,  // as at the start of the tick
        kSwitches = kStates + kSimCapacity,
        kTimers = kSwitches + kSimCapacity,  // running, kept with m_timerValues
        kSignalCount = kTimers + kSimCapacity,
    };
    struct Operand {
        uint16_t at = kFalse;
        uint8_t flip = 0;
    };
    static Operand operandOf(const SimInput &input);
    // An event as the loop runs it, in one flat table: the three signals it
    // reads (absent ones read kFalse), the truth table of its joins and
    // conditions over them, bit (v0 | v1 << 1 | v2 << 2), and, for the usual
    // event with at most one entry per list, the rows it sets, clears, starts
    // and stops (kSink where a list is empty, so a firing event stores
    // without a branch per list; choosing kSink for an event that does not
    // fire instead of skipping it measured twice as slow). An event with more
    // entries in a list is `wide`: when it fires it runs m_actions[first, ...)
    // as well, `states` on states, then `starts` timers to start and `stops`
    // to stop, in list order.
    static constexpr uint8_t kSink = kSimCapacity;  // a row past every table
    struct FlatEvent {
        std::array<uint16_t, 3> at{};
        uint8_t truth = 0;
        uint8_t wide = 0;
        uint8_t set = kSink, clear = kSink, start = kSink, stop = kSink;
    };
    struct EventActions {
        uint32_t first = 0;
        uint16_t states = 0, starts = 0, stops = 0;
    };
    struct Action {
        uint8_t row;  // 0-based
        uint8_t value;  // state: set; timer: start
    };
    // What a set state drives, ORed in whole: LEDs, LX1 output rows, channels.
    struct Drive {
        std::array<uint64_t, 4> outputs{};
        uint64_t grid = 0;
        uint32_t leds = 0;
    };

    // From the image
    uint8_t m_eventCount = 0;
    std::array<SimEvent, kSimCapacity> m_events{};
    uint8_t m_stateCount = 0;
    std::array<SimState, kSimCapacity> m_stateRecords{};
    uint8_t m_lx1Count = 0;
    std::array<SimLx1Output, kSimCapacity> m_lx1Outputs{};

    // Compiled from the above
    std::array<FlatEvent, kSimCapacity> m_flat{};
    std::array<EventActions, kSimCapacity> m_eventActions{};
    std::vector<Action> m_actions;
    std::array<Drive, kSimCapacity> m_drive{};
    std::array<std::array<uint64_t, 4>, kSimCapacity> m_canDrive{};  // CAN output rows a state drives

    // Inputs as read at the start of the tick, and the timers' running flags
    // (one more: the sink timer's).
    alignas(8) std::array<uint8_t, kSignalCount + 1> m_signals{};

    // The engine's memory
    // 0 or 1. Row kSink is spare: the rows are read eight at a time, and
    // events that do not fire write there; nothing reads it as a state.
    alignas(8) std::array<uint8_t, kSimCapacity + 1> m_states{};
    qint64 m_tick = 0;
    std::array<uint8_t, kSimCapacity + 1> m_writer{};  // last event to write a state this tick
    // A tick that changes no state, followed by one that reads the same
    // signals, fires the same events the same way: no state changes again,
    // and the timers it started start again. Such a tick is replayed, not
    // evaluated (scenario tests spend most ticks waiting). m_before keeps
    // the signals the quiet tick read, m_restarts the timers it started;
    // anything that changes states or the image from outside ends it.
    bool m_quiet = false;
    std::array<uint8_t, kSignalCount> m_before{};
    std::array<uint8_t, kSimCapacity> m_startFlags{};  // the running flags as this tick began
    std::array<uint8_t, kSimCapacity> m_restarts{};
    std::array<uint8_t, kSimCapacity> m_cause{};
    std::array<qint64, kSimCapacity> m_changedAt{};
    uint16_t m_timerCount = 0;
    std::array<uint16_t, kSimCapacity + 1> m_timerValues{};  // and the sink's
    std::array<uint16_t, kSimCapacity + 1> m_timerResets{};
    std::array<uint16_t, kOptionCount> m_options{};
    PressModel m_press;

    // CAN: the model, the inputs' results, the last frame per identifier
    std::unique_ptr<can::CanModel> m_canModel;
    std::unique_ptr<can::CanInputResults> m_canResults;
    std::vector<LastFrame> m_lastFrames;  // kStandardIdCount, made on the first use
    std::vector<uint8_t> m_frameInputs;  // rows frames decide
    bool m_canFrames = false;
    // Bit r = CAN output row r; made when asked after the states changed.
    mutable std::array<uint64_t, 4> m_canActive{};
    mutable bool m_canStale = false;
    qint64 m_derivedAt = 0;  // tick of the last deriveOutputs
    mutable std::vector<can::TxFrame> m_txFrames, m_txScratch;
    mutable qint64 m_txChangedAt = 0;
    mutable bool m_txStale = false;  // m_canActive changed since the frames were made
    mutable qint64 m_canActiveAt = 0;  // tick of that change

    // Derived outputs
    uint32_t m_ledMask = 0;
    std::array<uint64_t, 4> m_lx1Active{};  // bit r = LX1 output row r
    std::array<uint8_t, kLx1ModuleCount> m_lx1Grid{};
    bool m_outputsStale = true;  // states changed outside a tick since the last derivation

    // Used rows
    std::array<bool, kSimCapacity> m_keyUsed{};
    std::array<bool, kSimCapacity> m_switchUsed{};
    std::array<bool, kSimCapacity> m_canUsed{};
    std::array<bool, kSimCapacity> m_lx1Used{};
    uint32_t m_ledUsedMask = 0;
};

}  // namespace kelda
