#include "simengine.h"

#include <QFile>

#include <algorithm>
#include <bit>
#include <cstring>

#include "imageformat.h"

namespace kelda {

namespace {

// Sequential reader over the image bytes. Reading past the end yields zeros
// and marks the reader exhausted, so a short image can never be read out of
// bounds; everything not in the file stays at zero.
class ImageReader
{
public:
    explicit ImageReader(const QByteArray &bytes) : m_bytes(bytes) { }

    bool ok() const { return m_ok; }
    void seek(qsizetype pos)
    {
        if (pos < 0 || pos > m_bytes.size())
            m_ok = false;
        else
            m_pos = pos;
    }
    uint8_t u8()
    {
        bool fits = false;
        const uint8_t v = m_ok ? image::readU8(m_bytes, m_pos, &fits) : 0;
        if (!fits) {
            m_ok = false;
            return 0;
        }
        m_pos += 1;
        return v;
    }
    uint16_t u16()
    {
        bool fits = false;
        const uint16_t v = m_ok ? image::readU16(m_bytes, m_pos, &fits) : 0;
        if (!fits) {
            m_ok = false;
            return 0;
        }
        m_pos += 2;
        return v;
    }
    // A count byte followed by that many item numbers; the count keeps only
    // the numbers that were actually there.
    void list(SimList &out)
    {
        const uint8_t n = u8();
        out.count = 0;
        for (int i = 0; i < n && m_ok; ++i) {
            const uint8_t v = u8();
            if (m_ok)
                out.items[out.count++] = v;
        }
    }

private:
    const QByteArray &m_bytes;
    qsizetype m_pos = 0;
    bool m_ok = true;
};

}  // namespace

SimEngine::SimEngine()
{
    readCan(QByteArray());
}

SimEngine::~SimEngine() = default;

void SimEngine::reset()
{
    // Field by field: a whole SimEngine is too big for a temporary on the stack.
    readImage(QByteArray());
    m_signals.fill(0);
    m_tick = 0;
    clearStates();
    deriveOutputs();
}

void SimEngine::clearStates()
{
    m_states.fill(false);
    m_outputsStale = true;
    m_quiet = false;
    m_writer.fill(0);
    m_cause.fill(0);
    m_changedAt.fill(0);
}

void SimEngine::setState(int row, bool set)
{
    if (!inRange(row) || m_states[row] == set)
        return;
    m_states[row] = set;
    m_outputsStale = true;
    m_quiet = false;
    m_cause[row] = 0;
    m_changedAt[row] = m_tick;
}

bool SimEngine::readImage(const QString &fileName)
{
    QFile file(fileName);
    QByteArray bytes;
    const bool opened = file.open(QIODevice::ReadOnly);
    if (opened)
        bytes = file.readAll();
    readImage(bytes);
    return opened;
}

void SimEngine::readImage(const QByteArray &bytes)
{
    clearImage();
    readTimers(bytes);
    readOptions(bytes);
    readEventInputs(bytes);
    readActions(bytes);
    readCan(bytes);
    findUsed();
    compile();
    deriveOutputs();
}

void SimEngine::clearImage()
{
    m_eventCount = 0;
    for (SimEvent &e : m_events) {
        e.inputs = {};
        for (SimList &l : e.lists)
            l.count = 0;
    }
    m_stateCount = 0;
    for (SimState &st : m_stateRecords) {
        st.ledMask = 0;
        st.lx1Outputs.count = 0;
        st.canOutputs.count = 0;
    }
    m_lx1Count = 0;
    for (SimLx1Output &o : m_lx1Outputs)
        o.masks = {};
}

// Section 1: the timer count and run times; every timer stopped.
void SimEngine::readTimers(const QByteArray &bytes)
{
    m_timerCount = 0;
    m_timerValues.fill(0);
    m_timerResets.fill(0);
    std::memset(&m_signals[kTimers], 0, kSimCapacity);
    ImageReader in(bytes);
    in.seek(image::headerWordOffset(image::Section::Timers));
    in.seek(in.u16());
    const uint8_t timers = in.u8();
    if (in.ok())
        m_timerCount = timers;
    for (int t = 0; t < m_timerCount && in.ok(); ++t)
        m_timerResets[t] = in.u16();
}

// Section 10: the option words, no count byte; the PWM descriptors after
// them are not simulated.
void SimEngine::readOptions(const QByteArray &bytes)
{
    m_options.fill(0);
    ImageReader in(bytes);
    in.seek(image::headerWordOffset(image::Section::Options));
    in.seek(in.u16());
    for (uint16_t &option : m_options) {
        const uint16_t v = in.u16();
        if (!in.ok())
            break;
        option = v;
    }
    m_press.reset();
    m_press.setTimes(PressTimes::fromOptions(m_options.data()));
}

// Section 2: event inputs. The records follow the offset table; only the
// first offset is used, then the records are read in turn.
void SimEngine::readEventInputs(const QByteArray &bytes)
{
    ImageReader in(bytes);
    in.seek(image::headerWordOffset(image::Section::EventInputs));
    in.seek(in.u16());
    const uint8_t events = in.u8();
    if (in.ok())
        m_eventCount = events;
    if (m_eventCount > 0)
        in.seek(in.u16());
    for (int e = 0; e < m_eventCount && in.ok(); ++e) {
        for (int j = 0; j < image::kMaxInputEntries; ++j) {
            SimInput &input = m_events[e].inputs[j];
            input.kind = in.u8();
            input.number = in.u8();
            input.condition = in.u8();
            input.join = in.u8();
            if (!in.ok()) {
                input = SimInput();
                break;
            }
            if (input.join == 0)
                break;
        }
    }
}

// Section 5: event actions, same events in the same order. A short section 2
// does not stop it: it has its own header word. Sections 6 and 7 follow it
// directly.
void SimEngine::readActions(const QByteArray &bytes)
{
    ImageReader actions(bytes);
    actions.seek(image::headerWordOffset(image::Section::EventActions));
    actions.seek(actions.u16());
    if (m_eventCount > 0)
        actions.seek(actions.u16());
    for (int e = 0; e < m_eventCount && actions.ok(); ++e) {
        for (SimList &list : m_events[e].lists)
            actions.list(list);
        actions.u8();  // terminator
    }
    const uint8_t states = actions.u8();
    if (actions.ok())
        m_stateCount = states;
    if (m_stateCount > 0)
        actions.seek(actions.u16());
    for (int s = 0; s < m_stateCount && actions.ok(); ++s) {
        SimState &state = m_stateRecords[s];
        const uint16_t low = actions.u16();
        const uint16_t high = actions.u16();
        state.ledMask = actions.ok() ? (uint32_t(high) << 16) | low : 0;
        actions.list(state.lx1Outputs);
        actions.list(state.canOutputs);
    }
    const uint8_t outputs = actions.u8();
    if (actions.ok())
        m_lx1Count = outputs;
    for (int p = 0; p < m_lx1Count && actions.ok(); ++p) {
        actions.u16();  // current limit: not simulated
        SimLx1Output out;
        for (uint8_t &m : out.masks)
            m = actions.u8();
        if (actions.ok())
            m_lx1Outputs[p] = out;
    }
}

// Sections 3, 4, 8 and 9: the CAN model; every result false, no frame seen.
void SimEngine::readCan(const QByteArray &bytes)
{
    m_canResults.reset();
    m_canModel = std::make_unique<can::CanModel>(can::CanModel::fromImage(bytes));
    m_canResults = std::make_unique<can::CanInputResults>(*m_canModel);
    m_lastFrames.clear();
    m_frameInputs.clear();
    const std::vector<can::InputRule> &inputs = m_canModel->inputs();
    for (int i = 0; i < int(inputs.size()) && i < kSimCapacity; ++i)
        if (inputs[i].fromFrames())
            m_frameInputs.push_back(uint8_t(i));
    m_canActive = {};
    m_canStale = true;
    m_txFrames = m_canModel->transmitFrames(std::vector<bool>());
    m_txChangedAt = m_tick;
    m_txStale = false;
}

SimEngine::Operand SimEngine::operandOf(const SimInput &input)
{
    Operand op;
    if (input.number == 0)
        return op;
    const int n = input.number - 1;
    const int c = input.condition;
    switch (input.kind) {
    case static_cast<uint8_t>(image::SourceKind::KeypadKey):
        if (c >= 1 && c <= kKeyConditionCount)
            op.at = uint16_t(kKeys + n * kKeyConditionCount + c - 1);
        break;
    case static_cast<uint8_t>(image::SourceKind::Timer):
        op.at = uint16_t(kTimers + n);
        op.flip = c == static_cast<int>(Condition::Stopped);
        break;
    case static_cast<uint8_t>(image::SourceKind::CanInput):
        op.at = uint16_t(kCans + n);
        break;
    case static_cast<uint8_t>(image::SourceKind::State):
        op.at = uint16_t(kStates + n);
        op.flip = c == static_cast<int>(Condition::Cleared);
        break;
    case static_cast<uint8_t>(image::SourceKind::Switch):
        op.at = uint16_t(kSwitches + n);
        op.flip = c == static_cast<int>(Condition::Low);
        break;
    default:
        break;
    }
    return op;
}

void SimEngine::compile()
{
    m_actions.clear();
    for (int e = 0; e < m_eventCount; ++e)
        compileEvent(e);
    compileDrives();
    m_quiet = false;
}

void SimEngine::compileEvent(int e)
{
    const SimEvent &ev = m_events[e];
    uint8_t truth = 0;
    std::array<Operand, 3> ops{};
    std::array<bool, 2> andNext{};
    int used = 1;
    ops[0] = operandOf(ev.inputs[0]);
    if (ev.inputs[0].join != 0) {
        ops[1] = operandOf(ev.inputs[1]);
        andNext[0] = ev.inputs[0].join == static_cast<uint8_t>(Combine::And);
        used = 2;
        if (ev.inputs[1].join != 0) {
            ops[2] = operandOf(ev.inputs[2]);
            andNext[1] = ev.inputs[1].join == static_cast<uint8_t>(Combine::And);
            used = 3;
        }
    }
    // Left to right, as the module joins them: ((v0 j0 v1) j1 v2).
    for (int bits = 0; bits < 8; ++bits) {
        bool r = ((bits & 1) != 0) != (ops[0].flip != 0);
        for (int k = 1; k < used; ++k) {
            const bool v = ((bits >> k & 1) != 0) != (ops[k].flip != 0);
            r = andNext[k - 1] ? (r && v) : (r || v);
        }
        truth |= uint8_t(r) << bits;
    }
    FlatEvent &f = m_flat[e];
    f = FlatEvent();
    f.at = {ops[0].at, ops[1].at, ops[2].at};
    f.truth = truth;
    EventActions &c = m_eventActions[e];
    c = EventActions();
    std::array<int, kEventListCount> counts{};
    for (int list = 0; list < kEventListCount; ++list)
        for (int i = 0; i < ev.lists[list].count; ++i)
            counts[list] += ev.lists[list].items[i] != 0;
    if (std::all_of(counts.begin(), counts.end(), [](int n) { return n <= 1; })) {
        uint8_t *rows[] = {&f.set, &f.clear, &f.start, &f.stop};
        for (int list = 0; list < kEventListCount; ++list)
            for (int i = 0; i < ev.lists[list].count; ++i)
                if (ev.lists[list].items[i] != 0)
                    *rows[list] = uint8_t(ev.lists[list].items[i] - 1);
        return;
    }
    f.wide = 1;
    auto add = [this, &ev](EventList list, uint8_t value) {
        const SimList &l = ev.lists[static_cast<int>(list)];
        for (int i = 0; i < l.count; ++i)
            if (l.items[i] != 0)
                m_actions.push_back(Action{uint8_t(l.items[i] - 1), value});
    };
    c.first = uint32_t(m_actions.size());
    add(EventList::StatesToSet, 1);
    add(EventList::StatesToClear, 0);
    c.states = uint16_t(m_actions.size() - c.first);
    add(EventList::TimersToStart, 1);
    c.starts = uint16_t(m_actions.size() - c.first - c.states);
    add(EventList::TimersToStop, 0);
    c.stops = uint16_t(m_actions.size() - c.first - c.states - c.starts);
}

void SimEngine::compileDrives()
{
    // The eight mask bytes of an output ORed as one word; an entry beyond
    // the outputs the image has is active but switches no channel.
    for (int st = 0; st < kSimCapacity; ++st) {
        Drive &d = m_drive[st];
        d = Drive();
        m_canDrive[st] = {};
        if (st >= m_stateCount)
            continue;
        const SimState &state = m_stateRecords[st];
        d.leds = state.ledMask;
        for (int i = 0; i < state.canOutputs.count; ++i)
            if (const int n = state.canOutputs.items[i]; n != 0)
                m_canDrive[st][(n - 1) / 64] |= uint64_t(1) << ((n - 1) % 64);
        for (int i = 0; i < state.lx1Outputs.count; ++i) {
            const int n = state.lx1Outputs.items[i];
            if (n == 0)
                continue;
            d.outputs[(n - 1) / 64] |= uint64_t(1) << ((n - 1) % 64);
            if (n - 1 < m_lx1Count) {
                uint64_t masks;
                std::memcpy(&masks, m_lx1Outputs[n - 1].masks.data(), sizeof masks);
                d.grid |= masks;
            }
        }
    }
}

void SimEngine::tick(SimInputs &boxes)
{
    ++m_tick;
    readInputs(boxes);
    clearPresses(boxes);
    tickTimers();
    if (m_quiet && replayQuietTick()) {
        if (m_outputsStale)
            deriveOutputs();
        return;
    }
    std::memcpy(m_startFlags.data(), &m_signals[kTimers], kSimCapacity);
    const bool changed = evaluateEvents();
    if (!changed)
        keepQuietTick();
    // Outputs follow the states alone: a tick that changes none keeps them.
    if (changed || m_outputsStale)
        deriveOutputs();
}

// After a tick that changed no state. A timer whose value is its run time
// was started by this tick: a tick only counts values down from there.
void SimEngine::keepQuietTick()
{
    std::memcpy(m_before.data(), m_signals.data(), kTimers);
    std::memcpy(&m_before[kTimers], m_startFlags.data(), kSimCapacity);
    const uint16_t *__restrict resets = m_timerResets.data();
    const uint16_t *__restrict values = m_timerValues.data();
    uint8_t *__restrict restarts = m_restarts.data();
    for (int t = 0; t < kSimCapacity; ++t)
        restarts[t] = resets[t] != 0 && values[t] == resets[t];
    m_quiet = true;
}

bool SimEngine::replayQuietTick()
{
    if (std::memcmp(m_before.data(), m_signals.data(), kSignalCount) != 0)
        return false;
    // Local, unaliased pointers: the loop then runs on whole vectors.
    const uint8_t *__restrict restarts = m_restarts.data();
    const uint16_t *__restrict resets = m_timerResets.data();
    uint16_t *__restrict values = m_timerValues.data();
    uint8_t *__restrict running = &m_signals[kTimers];
    for (int t = 0; t < kSimCapacity; ++t) {
        const auto restart = uint16_t(0 - restarts[t]);
        const auto v = uint16_t((resets[t] & restart) | (values[t] & ~restart));
        values[t] = v;
        running[t] = v != 0;
    }
    return true;
}

void SimEngine::readInputs(const SimInputs &boxes)
{
    static_assert(sizeof(bool) == 1 && sizeof(boxes.keys) == kSimCapacity * kKeyConditionCount);
    std::memcpy(&m_signals[kKeys], boxes.keys.data(), sizeof boxes.keys);
    m_press.tick(&m_signals[kKeys]);
    std::memcpy(&m_signals[kSwitches], boxes.switches.data(), kSimCapacity);
    std::memcpy(&m_signals[kCans], boxes.canInputs.data(), kSimCapacity);
    std::memcpy(&m_signals[kStates], m_states.data(), kSimCapacity);
    if (m_canFrames)
        for (const uint8_t r : m_frameInputs)
            m_signals[kCans + r] = m_canResults->result(r);
}

void SimEngine::clearPresses(SimInputs &boxes)
{
    // A row's four boxes as one word, P kept: the loop runs on whole vectors.
    constexpr uint32_t keepP = std::endian::native == std::endian::little ? 0x000000FFu : 0xFF000000u;
    for (auto &row : boxes.keys) {
        uint32_t w;
        std::memcpy(&w, row.data(), sizeof w);
        w &= keepP;
        std::memcpy(row.data(), &w, sizeof w);
    }
}

void SimEngine::tickTimers()
{
    const int n = m_timerCount < kSimCapacity ? m_timerCount : kSimCapacity;
    for (int i = 0; i < n; ++i) {
        const uint16_t v = m_timerValues[i] > kTimerTicksPerSimTick ? m_timerValues[i] - kTimerTicksPerSimTick : 0;
        m_timerValues[i] = v;
        m_signals[kTimers + i] = v != 0;
    }
}

bool SimEngine::evaluateEvents()
{
    m_quiet = false;
    bool changed = false;
    // Everything through local pointers and counts: the byte stores below
    // may alias anything, so members would be read again after each one.
    const uint8_t *sig = m_signals.data();
    const FlatEvent *events = m_flat.data();
    uint8_t *states = m_states.data();
    uint8_t *writers = m_writer.data();
    uint16_t *timers = m_timerValues.data();
    const uint16_t *resets = m_timerResets.data();
    uint8_t *running = &m_signals[kTimers];
    const int count = m_eventCount;
    for (int e = 0; e < count; ++e) {
        // A copy: the byte stores below would make the compiler read the
        // event again after each one.
        const FlatEvent f = events[e];
        const unsigned bits = sig[f.at[0]] | sig[f.at[1]] << 1 | sig[f.at[2]] << 2;
        if (!((f.truth >> bits) & 1u))
            continue;
        const uint8_t writer = uint8_t(e + 1);
        states[f.set] = 1;
        writers[f.set] = writer;
        states[f.clear] = 0;
        writers[f.clear] = writer;
        // A timer an earlier event starts or stops is seen so by later ones.
        const uint16_t v = resets[f.start];
        timers[f.start] = v;
        running[f.start] = v != 0;
        timers[f.stop] = 0;
        running[f.stop] = 0;
        if (f.wide)
            runActions(e);
    }
    // The states that changed in this tick take their last writer as cause;
    // eight at a time, as most do not change.
    for (int w = 0; w < kSimCapacity; w += 8) {
        uint64_t now, before;
        std::memcpy(&now, &m_states[w], 8);
        std::memcpy(&before, &m_signals[kStates + w], 8);
        for (uint64_t diff = now ^ before; diff != 0; diff &= diff - 1) {
            const int s = w + __builtin_ctzll(diff) / 8;
            if (s < kSimCapacity) {
                m_cause[s] = m_writer[s];
                m_changedAt[s] = m_tick;
                changed = true;
            }
        }
    }
    return changed;
}

void SimEngine::runActions(int e)
{
    const EventActions &c = m_eventActions[e];
    const Action *a = m_actions.data() + c.first;
    for (const Action *end = a + c.states; a != end; ++a) {
        m_states[a->row] = a->value;
        m_writer[a->row] = uint8_t(e + 1);
    }
    for (const Action *end = a + c.starts; a != end; ++a) {
        m_timerValues[a->row] = m_timerResets[a->row];
        m_signals[kTimers + a->row] = m_timerResets[a->row] != 0;
    }
    for (const Action *end = a + c.stops; a != end; ++a) {
        m_timerValues[a->row] = 0;
        m_signals[kTimers + a->row] = 0;
    }
}

bool SimEngine::evaluateInput(const SimInput &input) const
{
    const Operand op = operandOf(input);
    return m_signals[op.at] ^ op.flip;
}

void SimEngine::deriveOutputs()
{
    uint32_t leds = 0;
    uint64_t grid = 0;
    std::array<uint64_t, 4> active{};
    for (int s = 0; s < m_stateCount; ++s) {
        const uint64_t on = 0 - uint64_t(m_states[s]);
        const Drive &d = m_drive[s];
        leds |= d.leds & uint32_t(on);
        grid |= d.grid & on;
        for (int w = 0; w < 4; ++w)
            active[w] |= d.outputs[w] & on;
    }
    m_ledMask = leds;
    m_lx1Active = active;
    std::memcpy(m_lx1Grid.data(), &grid, sizeof grid);
    m_outputsStale = false;
    m_canStale = true;
    m_derivedAt = m_tick;
}

void SimEngine::refreshCan() const
{
    if (!m_canStale)
        return;
    m_canStale = false;
    std::array<uint64_t, 4> can{};
    for (int s = 0; s < m_stateCount; ++s) {
        const uint64_t on = 0 - uint64_t(m_states[s]);
        for (int w = 0; w < 4; ++w)
            can[w] |= m_canDrive[s][w] & on;
    }
    if (can != m_canActive) {
        m_canActive = can;
        m_txStale = true;
        m_canActiveAt = m_derivedAt;
    }
}

void SimEngine::deriveCanFrames() const
{
    m_txStale = false;
    m_canModel->transmitFrames(m_canActive.data(), int(m_canActive.size()), m_txScratch);
    if (m_txScratch != m_txFrames) {
        m_txFrames.swap(m_txScratch);
        m_txChangedAt = m_canActiveAt;
    }
}

const std::vector<can::TxFrame> &SimEngine::canOutputFrames() const
{
    refreshCan();
    if (m_txStale)
        deriveCanFrames();
    return m_txFrames;
}

qint64 SimEngine::canOutputFramesChangedAt() const
{
    refreshCan();
    if (m_txStale)
        deriveCanFrames();
    return m_txChangedAt;
}

int SimEngine::feedFrame(uint32_t id, bool extended, bool remote, const uint8_t *data, int length)
{
    length = std::clamp(length, 0, can::kFrameBytes);
    if (!extended && !remote && id < uint32_t(can::kStandardIdCount)) {
        if (m_lastFrames.empty())
            m_lastFrames.resize(can::kStandardIdCount);
        LastFrame &last = m_lastFrames[id];
        last.seen = true;
        last.length = uint8_t(length);
        last.data = {};
        std::memcpy(last.data.data(), data, size_t(length));
    }
    return m_canResults->apply(id, extended, remote, data, length);
}

const SimEngine::LastFrame &SimEngine::lastFrame(uint16_t identifier) const
{
    static const LastFrame none;
    return identifier < m_lastFrames.size() ? m_lastFrames[identifier] : none;
}

void SimEngine::setCanValue(uint16_t identifier, can::Channel channel, uint16_t value)
{
    if (channel.index <= 0)
        return;
    LastFrame f = lastFrame(identifier);
    if (!f.seen)
        f.length = can::kFrameBytes;  // eight zero bytes before the first frame
    const int end = channel.isByte ? channel.index : 2 * channel.index;
    f.length = uint8_t(std::max<int>(f.length, end));
    if (channel.isByte) {
        f.data[channel.index - 1] = uint8_t(value);
    } else {
        const bool little = m_canModel->littleEndian(identifier);
        f.data[end - 2] = uint8_t(little ? value : value >> 8);
        f.data[end - 1] = uint8_t(little ? value >> 8 : value);
    }
    feedFrame(identifier, false, false, f.data.data(), f.length);
}

bool SimEngine::canInputFromFrames(int row) const
{
    const std::vector<can::InputRule> &inputs = m_canModel->inputs();
    return row >= 0 && row < int(inputs.size()) && inputs[row].fromFrames();
}

bool SimEngine::overrideCanInput(int row, bool on)
{
    if (!canInputFromFrames(row))
        return false;
    m_canResults->set(row, on);
    return true;
}

std::vector<int> SimEngine::canOutputsOnFrame(int p) const
{
    std::vector<int> rows;
    const std::vector<can::OutputRule> &outputs = m_canModel->outputs();
    for (int r = 0; r < int(outputs.size()); ++r)
        if (outputs[r].position == p && canOutputOn(r))
            rows.push_back(r);
    return rows;
}

bool SimEngine::stateDrivesLx1Output(int s, int r) const
{
    if (s < 0 || s >= m_stateCount || !inRange(r))
        return false;
    const SimList &list = m_stateRecords[s].lx1Outputs;
    for (int i = 0; i < list.count; ++i)
        if (list.items[i] == r + 1)
            return true;
    return false;
}

void SimEngine::findUsed()
{
    m_keyUsed.fill(false);
    m_switchUsed.fill(false);
    m_canUsed.fill(false);
    m_lx1Used.fill(false);
    m_ledUsedMask = 0;
    for (int e = 0; e < m_eventCount; ++e) {
        for (const SimInput &input : m_events[e].inputs) {
            if (input.number != 0) {
                switch (input.kind) {
                case static_cast<uint8_t>(image::SourceKind::KeypadKey):
                    m_keyUsed[input.number - 1] = true;
                    break;
                case static_cast<uint8_t>(image::SourceKind::Switch):
                    m_switchUsed[input.number - 1] = true;
                    break;
                case static_cast<uint8_t>(image::SourceKind::CanInput):
                    m_canUsed[input.number - 1] = true;
                    break;
                default:
                    break;
                }
            }
            if (input.join == 0)
                break;
        }
    }
    for (int s = 0; s < m_stateCount; ++s) {
        const SimState &state = m_stateRecords[s];
        m_ledUsedMask |= state.ledMask;
        for (int i = 0; i < state.lx1Outputs.count; ++i)
            if (state.lx1Outputs.items[i] != 0)
                m_lx1Used[state.lx1Outputs.items[i] - 1] = true;
    }
}

QString SimEngine::timerText(uint16_t value)
{
    return QString::number(value * 0.005, 'g', 6);
}

}  // namespace kelda
