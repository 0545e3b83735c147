#include "setupcheck.h"

#include <QHash>

#include "imagecompiler.h"
#include "imageformat.h"
#include "pmcolumns.h"
#include "setupview.h"

namespace kelda::check {

namespace {

constexpr ItemType kNamedTables[] = {ItemType::KeypadKey, ItemType::Switch, ItemType::CanInput,
                                     ItemType::Timer,     ItemType::Event,  ItemType::State,
                                     ItemType::Lx1Output, ItemType::Lx2Led, ItemType::CanOutput};

// Collects findings with the table texts and modes of the column table.
class Checker
{
public:
    explicit Checker(const SetupView &v) : m_s(v) { }

    QList<Finding> run()
    {
        names();
        tooMany();
        events();
        states();
        timers();
        lx1Outputs();
        canChannels();
        canByteOrder();
        canData();
        canIdClash();
        pressTimes();
        std::stable_sort(m_out.begin(), m_out.end(), [](const Finding &a, const Finding &b) {
            return a.mode != b.mode ? a.mode < b.mode : a.row < b.row;
        });
        return m_out;
    }

private:
    static int modeOf(ItemType type)
    {
        for (int m = 0; m < kModeCount; ++m)
            if (modeSpec(m)->type == type)
                return m;
        return -1;
    }
    QString nameOf(ItemType type, int row) const { return m_s.names(type).value(row); }
    // The row the Events table shows an event in: its place in priority order.
    int eventShownRow(int row) const
    {
        const auto key = [this](int e) {
            return std::pair(m_s.events[e].priority ? m_s.events[e].priority : e + 1, e);
        };
        int before = 0;
        for (int e = 0; e < m_s.events.size(); ++e)
            before += key(e) < key(row) ? 1 : 0;
        return before + 1;
    }

    void add(Severity severity, const char *code, ItemType type, int row, int column, const QString &message)
    {
        const int mode = modeOf(type);
        m_out.append({severity, QString::fromLatin1(code), mode, QString::fromLatin1(modeSpec(mode)->table), row + 1,
                      column, type == ItemType::Lx1Module ? QStringLiteral("LX1-%1").arg(row + 1) : nameOf(type, row),
                      message, type == ItemType::Event ? eventShownRow(row) : row + 1});
    }
    // A finding on an option of the Options page: its row is the option's number.
    void addOption(Severity severity, const char *code, OptionIndex option, const QString &message)
    {
        const int o = int(option);
        m_out.append({severity, QString::fromLatin1(code), int(Mode::Pwm),
                      QString::fromLatin1(modeSpec(int(Mode::Pwm))->table), o + 1, -1,
                      QString::fromLatin1(optionSpec(o)->label), message, o + 1, o});
    }

    void names()
    {
        for (ItemType type : kNamedTables) {
            const QStringList names = m_s.names(type);
            const char *noun = modeSpec(modeOf(type))->noun;
            QHash<QString, int> first;
            for (int row = 0; row < names.size(); ++row) {
                const QString &name = names.at(row);
                if (name.isEmpty()) {
                    add(Severity::Warning, "empty-name", type, row, 0,
                        QStringLiteral("This %1 has no name, so nothing can refer to it and it is hard to find: "
                                       "give it a name.")
                            .arg(QLatin1String(noun)));
                    continue;
                }
                const auto it = first.constFind(name);
                if (it == first.constEnd()) {
                    first.insert(name, row);
                    continue;
                }
                // Events are shown, and counted, in priority order.
                const int other = type == ItemType::Event ? eventShownRow(*it) : *it + 1;
                add(Severity::Error, "duplicate-name", type, row, 0,
                    QStringLiteral("Row %1 has the same name; every reference to \"%2\" reaches row %1 only, never "
                                   "this one: give one of them another name.")
                        .arg(other)
                        .arg(name));
            }
        }
    }

    void tooMany()
    {
        for (ItemType type : {ItemType::CanInput, ItemType::Timer, ItemType::Event, ItemType::State,
                              ItemType::Lx1Output, ItemType::CanOutput}) {
            const int n = m_s.count(type);
            if (n > kMaxTableItems)
                add(Severity::Error, "too-many", type, kMaxTableItems, -1,
                    QStringLiteral("The table has %1 rows but an image counts at most %2; the setup cannot be "
                                   "compiled: remove rows.")
                        .arg(n)
                        .arg(kMaxTableItems));
        }
        for (int e = 0; e < m_s.events.size(); ++e)
            for (int l = 0; l < kEventListCount; ++l)
                listTooMany(ItemType::Event, e, EventCol::Actions, kEventListNames[size_t(l)],
                            m_s.events[e].lists[size_t(l)]);
        for (int st = 0; st < m_s.states.size(); ++st)
            for (int l = 0; l < kStateListCount; ++l)
                listTooMany(ItemType::State, st, StateCol::Outputs, kStateListNames[size_t(l)],
                            m_s.states[st].lists[size_t(l)]);
    }
    void listTooMany(ItemType type, int row, int column, const char *list, const QList<ViewRef> &entries)
    {
        if (entries.size() > kMaxTableItems)
            add(Severity::Error, "too-many", type, row, column,
                QStringLiteral("\"%1\" has %2 entries but an image counts at most %3; the setup cannot be compiled: "
                               "remove entries.")
                    .arg(QLatin1String(list))
                    .arg(entries.size())
                    .arg(kMaxTableItems));
    }

    void events()
    {
        for (int e = 0; e < m_s.events.size(); ++e) {
            const ViewEvent &ev = m_s.events.at(e);
            inputs(e, ev);
            bool any = false;
            for (int l = 0; l < kEventListCount; ++l) {
                const QList<ViewRef> &list = ev.lists[size_t(l)];
                any = any || !list.isEmpty();
                if (const int unset = unsetCount(list))
                    add(Severity::Error, "entry-unset", ItemType::Event, e, EventCol::Actions,
                        QStringLiteral("%1; the module skips %2: choose a target or remove the entry.")
                            .arg(unsetEntries(unset, kEventListNames[size_t(l)]), itOrThem(unset)));
            }
            if (!any)
                add(Severity::Warning, "event-no-action", ItemType::Event, e, EventCol::Actions,
                    QStringLiteral("The event sets, clears, starts and stops nothing, so it has no effect: add an "
                                   "action or remove the event."));
        }
    }

    // The module reads input 1 always and input k+1 while input k joins on.
    void inputs(int e, const ViewEvent &ev)
    {
        bool read = true;
        for (int k = 0; k < kEventInputCount; ++k) {
            const ViewEventInput &in = ev.inputs[size_t(k)];
            const bool resolves = in.ref.resolved();
            if (read && !resolves) {
                add(Severity::Error, "input-unset", ItemType::Event, e, EventCol::input(k),
                    k == 0 ? QStringLiteral("Input 1 has no target, so the module reads it as keypad key 1 (\"%1\"): "
                                            "choose what the event waits for.")
                                 .arg(nameOf(ItemType::KeypadKey, 0))
                           : QStringLiteral("Input %1 has no target, but input %2 joins it with %3, so the module "
                                            "reads it as keypad key 1 (\"%4\"): choose a target or set input %2's "
                                            "\"With\" to NONE.")
                                 .arg(k + 1)
                                 .arg(k)
                                 .arg(ev.inputs[size_t(k - 1)].combine == int(Combine::Or) ? QStringLiteral("OR")
                                                                                           : QStringLiteral("AND"))
                                 .arg(nameOf(ItemType::KeypadKey, 0)));
            } else if (!read && resolves) {
                add(Severity::Warning, "input-unused", ItemType::Event, e, EventCol::input(k),
                    QStringLiteral("Input %1 names \"%2\", but input %3 joins with NONE, so the module never reads "
                                   "it: set input %3's \"With\" to AND or OR, or clear input %1.")
                        .arg(QString::number(k + 1), in.ref.name, QString::number(k)));
            }
            read = read && k < kEventInputCount - 1 && in.combine != int(Combine::None);
        }
    }

    void states()
    {
        QList<bool> set(m_s.states.size(), false), cleared(m_s.states.size(), false);
        for (const ViewEvent &ev : m_s.events) {
            for (const ViewRef &r : ev.lists[size_t(EventList::StatesToSet)])
                mark(set, r, ItemType::State);
            for (const ViewRef &r : ev.lists[size_t(EventList::StatesToClear)])
                mark(cleared, r, ItemType::State);
        }
        for (int st = 0; st < m_s.states.size(); ++st) {
            if (!set[st])
                add(Severity::Warning, "state-never-set", ItemType::State, st, -1,
                    QStringLiteral("No event sets this state, so what it drives is never switched on: add it to an "
                                   "event's \"States to Set\"."));
            else if (!cleared[st])
                add(Severity::Warning, "state-never-cleared", ItemType::State, st, -1,
                    QStringLiteral("Events set this state but none clears it, so once set it stays set until the "
                                   "module restarts: add it to an event's \"States to Clear\"."));
            const QList<ViewRef> &leds = m_s.states[st].lists[size_t(StateList::Lx2Leds)];
            for (int l = int(StateList::Lx1Outputs); l < kStateListCount; ++l) {
                const QList<ViewRef> &list = m_s.states[st].lists[size_t(l)];
                if (const int unset = unsetCount(list))
                    add(Severity::Error, "entry-unset", ItemType::State, st, StateCol::Outputs,
                        QStringLiteral("%1; the module reads %2 as output number 0: choose an output or remove the "
                                       "entry.")
                            .arg(unsetEntries(unset, kStateListNames[size_t(l)]), itOrThem(unset)));
            }
            if (const int unset = unsetCount(leds))
                add(Severity::Error, "entry-unset", ItemType::State, st, StateCol::Outputs,
                    QStringLiteral("%1, so the state lights no LED for %2: choose an LED or remove the entry.")
                        .arg(unsetEntries(unset, kStateListNames[size_t(StateList::Lx2Leds)]), itOrThem(unset)));
        }
    }

    void timers()
    {
        QList<bool> started(m_s.timers.size(), false);
        for (const ViewEvent &ev : m_s.events)
            for (const ViewRef &r : ev.lists[size_t(EventList::TimersToStart)])
                mark(started, r, ItemType::Timer);
        for (int t = 0; t < m_s.timers.size(); ++t) {
            if (!started[t])
                add(Severity::Warning, "timer-never-started", ItemType::Timer, t, -1,
                    QStringLiteral("No event starts this timer, so it never runs and events that wait for it to "
                                   "run never fire: add it to an event's \"Timers to Start\"."));
            else if (m_s.timers[t].resetTicks == 0)
                add(Severity::Warning, "timer-zero", ItemType::Timer, t, TimerCol::ResetValue,
                    QStringLiteral("The run time is 0 s, so the timer stops as soon as it is started: give it a "
                                   "run time."));
        }
    }

    void lx1Outputs()
    {
        QHash<int, int> firstUser;  // module * 8 + channel -> first output that switches it
        for (int p = 0; p < m_s.lx1Outputs.size(); ++p) {
            const QByteArray &masks = m_s.lx1Outputs.at(p).masks;
            bool any = false;
            for (int m = 0; m < qMin(int(masks.size()), kLx1ModuleCount); ++m) {
                const uint8_t mask = uint8_t(masks.at(m));
                any = any || mask != 0;
                for (int ch = 0; ch < kLx1ChannelCount; ++ch) {
                    if (!(mask & (1u << ch)))
                        continue;
                    const int key = m * kLx1ChannelCount + ch;
                    const auto it = firstUser.constFind(key);
                    if (it == firstUser.constEnd()) {
                        firstUser.insert(key, p);
                        continue;
                    }
                    add(Severity::Warning, "channel-shared", ItemType::Lx1Output, p, Lx1OutputCol::module(m),
                        QStringLiteral("Channel %1 of LX1-%2 is also switched by \"%3\" (row %4), so either output "
                                       "turns the same load on: give each load its own channel.")
                            .arg(ch + 1)
                            .arg(m + 1)
                            .arg(nameOf(ItemType::Lx1Output, *it), QString::number(*it + 1)));
                }
            }
            if (!any)
                add(Severity::Warning, "lx1-no-channel", ItemType::Lx1Output, p, Lx1OutputCol::Module1,
                    QStringLiteral("The output switches no channel of any LX1 module, so states that drive it switch "
                                   "nothing: set its channels in the LX1-1 to LX1-8 columns."));
        }
    }

    void canChannels()
    {
        canChannels(ItemType::CanInput, m_s.canInputs);
        canChannels(ItemType::CanOutput, m_s.canOutputs);
    }
    template <typename Item>
    void canChannels(ItemType type, const QList<Item> &items)
    {
        QList<int> ids;  // in order of first appearance, as the image lists them
        for (const Item &item : items)
            if (!ids.contains(item.canId))
                ids.append(item.canId);
        for (int row = 0; row < items.size(); ++row) {
            const Item &item = items.at(row);
            const int position = int(ids.indexOf(item.canId));
            const uint8_t select = uint8_t(item.byteSelect);
            if (image::channelFits(position, select))
                continue;
            add(Severity::Error, "can-channel", type, row, CanInputCol::WordByte,
                QStringLiteral("Its identifier is number %1 of the %2 identifiers, but a channel of this kind "
                               "can name only one of the first %3; the setup cannot be compiled: use a word "
                               "channel or fewer identifiers.")
                    .arg(position + 1)
                    .arg(type == ItemType::CanInput ? QStringLiteral("receive") : QStringLiteral("transmit"))
                    .arg(image::channelPositions(select)));
            const int input = type == ItemType::CanInput ? row : -1;
            for (int m = 0; m < kLx1ModuleCount && input >= 0; ++m)
                if (m_s.pwmInputs[size_t(m)].type == ItemType::CanInput && m_s.pwmInputs[size_t(m)].row == input)
                    add(Severity::Error, "can-channel", ItemType::Lx1Module, m, PwmCol::CanInput,
                        QStringLiteral("The PWM input \"%1\" uses a CAN channel that the image cannot describe "
                                       "(see CAN Inputs row %2).")
                            .arg(item.name, QString::number(row + 1)));
        }
    }

    // The module keeps one byte order per identifier: the first input's.
    void canByteOrder()
    {
        QHash<int, int> first;
        for (int row = 0; row < m_s.canInputs.size(); ++row) {
            const ViewCanInput &item = m_s.canInputs.at(row);
            const auto it = first.constFind(item.canId);
            if (it == first.constEnd()) {
                first.insert(item.canId, row);
                continue;
            }
            const ViewCanInput &lead = m_s.canInputs.at(*it);
            if (item.littleEndian == lead.littleEndian)
                continue;
            const QString order = QLatin1String(kEndiannessTexts[lead.littleEndian ? 1 : 0]);
            add(Severity::Error, "byte-order-mixed", ItemType::CanInput, row, CanInputCol::Endianness,
                QStringLiteral("The CAN inputs of identifier %1 disagree on the byte order; the module reads every "
                               "word of %1 as %2, the order of \"%3\" (row %4): set this input to %2 too.")
                    .arg(idText(item.canId), order, lead.name)
                    .arg(*it + 1));
        }
    }

    // Data above 255 on a byte channel: a byte never holds it.
    void canData()
    {
        canData(ItemType::CanInput, CanInputCol::Data, m_s.canInputs);
        canData(ItemType::CanOutput, CanOutputCol::Data, m_s.canOutputs);
    }
    template <typename Item>
    void canData(ItemType type, int column, const QList<Item> &items)
    {
        const bool input = type == ItemType::CanInput;
        for (int row = 0; row < items.size(); ++row) {
            const Item &item = items.at(row);
            if (!selectsByte(item.byteSelect) || item.data <= kMaxByteData)
                continue;
            add(Severity::Error, "data-range", type, row, column,
                QStringLiteral("Data is %1, but the item selects a byte, which holds 0–255, so the module would "
                               "%2 something else than the setup says: set Data to 0–255 or choose a word.")
                    .arg(item.data)
                    .arg(input ? QStringLiteral("compare") : QStringLiteral("send")));
        }
    }

    // Assumed press model: a press counts once held for the Minimum Press
    // Time, becomes a long press at the Long Press Time, and a second press
    // within the Double Press Time makes a double press (docs/checks.md).
    void pressTimes()
    {
        const auto option = [this](OptionIndex o) { return int(m_s.options[size_t(o)].value_or(-1)); };
        const int shortest = option(OptionIndex::MinPressTime);
        const int dbl = option(OptionIndex::DoublePressTime);
        const int lng = option(OptionIndex::LongPressTime);
        const auto s = [](int hundredths) { return QString::number(hundredths / double(kOptionTimeScale)); };
        if (shortest >= 0 && lng >= 0 && shortest >= lng)
            addOption(Severity::Warning, "press-times", OptionIndex::MinPressTime,
                      QStringLiteral("The Minimum Press Time (%1 s) is not below the Long Press Time (%2 s), so "
                                     "every press that counts is already a long press: make the Minimum Press Time "
                                     "shorter.")
                          .arg(s(shortest), s(lng)));
        if (shortest >= 0 && dbl >= 0 && dbl <= shortest)
            addOption(Severity::Warning, "press-times", OptionIndex::DoublePressTime,
                      QStringLiteral("The Double Press Time (%1 s) is not above the Minimum Press Time (%2 s), so a "
                                     "second press cannot count in time and no double press is ever seen: make the "
                                     "Double Press Time longer.")
                          .arg(s(dbl), s(shortest)));
    }

    static QString idText(int id)
    {
        return QStringLiteral("0x") + QString::number(id, 16).toUpper().rightJustified(3, QLatin1Char('0'));
    }

    void canIdClash()
    {
        QHash<int, int> inputs;
        for (int i = 0; i < m_s.canInputs.size(); ++i)
            if (!inputs.contains(m_s.canInputs.at(i).canId))
                inputs.insert(m_s.canInputs.at(i).canId, i);
        for (int o = 0; o < m_s.canOutputs.size(); ++o) {
            const auto it = inputs.constFind(m_s.canOutputs.at(o).canId);
            if (it != inputs.constEnd())
                add(Severity::Warning, "can-id-clash", ItemType::CanOutput, o, CanOutputCol::CanCode,
                    QStringLiteral("The module sends identifier %1, which CAN input \"%2\" also listens to, so it "
                                   "reads its own message back: use another identifier.")
                        .arg(idText(m_s.canOutputs.at(o).canId), m_s.canInputs.at(*it).name));
        }
    }

    int unsetCount(const QList<ViewRef> &list) const
    {
        return int(std::count_if(list.begin(), list.end(), [](const ViewRef &r) { return !r.resolved(); }));
    }
    // `An entry of "List" has no target` or `3 entries of "List" have no target`.
    static QString unsetEntries(int n, const char *list)
    {
        return n == 1 ? QStringLiteral("An entry of \"%1\" has no target").arg(QLatin1String(list))
                      : QStringLiteral("%1 entries of \"%2\" have no target").arg(n).arg(QLatin1String(list));
    }
    static QString itOrThem(int n) { return n == 1 ? QStringLiteral("it") : QStringLiteral("them"); }

    void mark(QList<bool> &flags, const ViewRef &r, ItemType type) const
    {
        const int row = r.type == type ? r.row : -1;
        if (row >= 0 && row < flags.size())
            flags[row] = true;
    }

    const SetupView &m_s;
    QList<Finding> m_out;
};

}  // namespace

QList<Finding> checkSetup(StoreSession session)
{
    QList<Finding> findings = Checker(SetupView::read(session)).run();
    // The image's size is known only once it is built: the compiler's own
    // count, so the check and the compiler never disagree.
    QByteArray image;
    QString error;
    qsizetype size = -1;
    if (!image::compileImage(session, &image, &error, &size) && size > image::kMaxImageSize)
        findings.prepend({Severity::Error, QStringLiteral("too-many"), -1, QStringLiteral("Setup"), 0, -1, QString(),
                          QStringLiteral("The image would be %1 bytes, but an image must stay below 65536 bytes; the "
                                         "setup cannot be compiled: remove list entries or rows.")
                              .arg(size)});
    return findings;
}

int errorCount(const QList<Finding> &findings)
{
    return int(std::count_if(findings.begin(), findings.end(), [](const Finding &f) { return f.isError(); }));
}

QString severityText(Severity severity)
{
    return severity == Severity::Error ? QStringLiteral("error") : QStringLiteral("warning");
}

QString findingLine(const Finding &f)
{
    return QStringLiteral("%1 %2 %3 %4 \"%5\": %6")
        .arg(severityText(f.severity), f.code, f.table)
        .arg(f.row)
        .arg(f.name, f.message);
}

}  // namespace kelda::check
