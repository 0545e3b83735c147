#include "simengine.h"

#include <QFile>

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
    explicit ImageReader(const QByteArray &bytes) : m_bytes(bytes) {}

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

bool joined(bool r, uint8_t join, bool value)
{
    return join == static_cast<uint8_t>(Combine::And) ? (r && value) : (r || value);
}

} // namespace

void SimEngine::reset()
{
    // Field by field: a whole SimEngine is too big for a temporary on the stack.
    readImage(QByteArray());
    m_keys = {};
    m_switches.fill(false);
    m_canInputs.fill(false);
    m_states.fill(false);
    m_previousStates.fill(false);
    m_timerCount = 0;
    m_timerValues.fill(0);
    m_timerResets.fill(0);
    deriveOutputs();
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

    ImageReader in(bytes);

    // Section 2: event inputs. The records follow the offset table; only the
    // first offset is used, then the records are read in turn.
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

    // Section 5: event actions, same events in the same order. A short
    // section 2 does not stop it: it has its own header word.
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

    // Section 6 follows the last action record directly.
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

    // Section 7 follows the last state record directly.
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

    findUsed();
    deriveOutputs();
}

void SimEngine::loadTimers(StoreSession session)
{
    m_timerCount = 0;
    m_timerValues.fill(0);
    m_timerResets.fill(0);
    StoreCursor store(session);
    int count = 0;
    if (!store.setup() || !store.count(ItemType::Timer, count))
        return;
    m_timerCount = static_cast<uint16_t>(count);
    const int n = count < kSimCapacity ? count : kSimCapacity;
    for (int i = 0; i < n; ++i) {
        if (!store.open(ItemType::Timer, i))
            continue;
        uint16_t ticks = 0;
        store.u16(ValueId::ResetTicks, ticks);
        m_timerResets[i] = ticks;
        store.close();
    }
}

void SimEngine::tick(SimInputs &boxes)
{
    readInputs(boxes);
    clearPresses(boxes);
    tickTimers();
    evaluateEvents();
    deriveOutputs();
}

void SimEngine::readInputs(const SimInputs &boxes)
{
    m_keys = boxes.keys;
    m_switches = boxes.switches;
    m_canInputs = boxes.canInputs;
    m_previousStates = m_states;
}

void SimEngine::clearPresses(SimInputs &boxes)
{
    for (auto &row : boxes.keys)
        row[1] = row[2] = row[3] = false;
}

void SimEngine::tickTimers()
{
    const int n = m_timerCount < kSimCapacity ? m_timerCount : kSimCapacity;
    for (int i = 0; i < n; ++i)
        m_timerValues[i] = m_timerValues[i] > kTimerTicksPerSimTick ? m_timerValues[i] - kTimerTicksPerSimTick : 0;
}

// Inlined into the event loop: it runs up to three times per event per tick.
inline __attribute__((always_inline)) bool SimEngine::valueOf(const SimInput &input) const
{
    if (input.number == 0)
        return false;
    const int n = input.number - 1;
    const int c = input.condition;
    switch (input.kind) {
    case static_cast<uint8_t>(image::SourceKind::KeypadKey):
        return c >= 1 && c <= kKeyConditionCount && m_keys[n][c - 1];
    case static_cast<uint8_t>(image::SourceKind::Timer): {
        const bool running = m_timerValues[n] > 0;
        return c == static_cast<int>(Condition::Stopped) ? !running : running;
    }
    case static_cast<uint8_t>(image::SourceKind::CanInput):
        return m_canInputs[n];
    case static_cast<uint8_t>(image::SourceKind::State):
        return c == static_cast<int>(Condition::Cleared) ? !m_previousStates[n] : m_previousStates[n];
    case static_cast<uint8_t>(image::SourceKind::Switch):
        return c == static_cast<int>(Condition::Low) ? !m_switches[n] : m_switches[n];
    default:
        return false;
    }
}

void SimEngine::evaluateEvents()
{
    for (int e = 0; e < m_eventCount; ++e) {
        const SimEvent &ev = m_events[e];
        bool r = valueOf(ev.inputs[0]);
        if (ev.inputs[0].join != 0) {
            r = joined(r, ev.inputs[0].join, valueOf(ev.inputs[1]));
            if (ev.inputs[1].join != 0)
                r = joined(r, ev.inputs[1].join, valueOf(ev.inputs[2]));
        }
        if (!r)
            continue;
        const SimList &set = ev.lists[static_cast<int>(EventList::StatesToSet)];
        for (int i = 0; i < set.count; ++i)
            if (set.items[i] != 0)
                m_states[set.items[i] - 1] = true;
        const SimList &clear = ev.lists[static_cast<int>(EventList::StatesToClear)];
        for (int i = 0; i < clear.count; ++i)
            if (clear.items[i] != 0)
                m_states[clear.items[i] - 1] = false;
        const SimList &start = ev.lists[static_cast<int>(EventList::TimersToStart)];
        for (int i = 0; i < start.count; ++i)
            if (start.items[i] != 0)
                m_timerValues[start.items[i] - 1] = m_timerResets[start.items[i] - 1];
        const SimList &stop = ev.lists[static_cast<int>(EventList::TimersToStop)];
        for (int i = 0; i < stop.count; ++i)
            if (stop.items[i] != 0)
                m_timerValues[stop.items[i] - 1] = 0;
    }
}

bool SimEngine::evaluateInput(const SimInput &input) const
{
    return valueOf(input);
}

void SimEngine::deriveOutputs()
{
    m_ledMask = 0;
    m_lx1Active.fill(false);
    for (int s = 0; s < m_stateCount; ++s) {
        if (!m_states[s])
            continue;
        const SimState &state = m_stateRecords[s];
        m_ledMask |= state.ledMask;
        for (int i = 0; i < state.lx1Outputs.count; ++i)
            if (state.lx1Outputs.items[i] != 0)
                m_lx1Active[state.lx1Outputs.items[i] - 1] = true;
    }
    // The eight mask bytes of an output ORed as one word.
    uint64_t grid = 0;
    for (int p = 0; p < m_lx1Count; ++p) {
        if (m_lx1Active[p]) {
            uint64_t masks;
            std::memcpy(&masks, m_lx1Outputs[p].masks.data(), sizeof masks);
            grid |= masks;
        }
    }
    std::memcpy(m_lx1Grid.data(), &grid, sizeof grid);
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

int simItemCount(StoreSession session, ItemType type)
{
    StoreCursor store(session);
    return store.setup() ? store.count(type) : 0;
}

QString simItemName(StoreSession session, ItemType type, int index)
{
    // The last index stands for "the last item" in the store; never a row here.
    StoreCursor store(session);
    if (index >= StoreCursor::kLastItem || !store.item(type, index))
        return QString();
    return store.textOr(ValueId::Name);
}

} // namespace kelda
