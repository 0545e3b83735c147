#include "dbcsimvalue.h"

#include <algorithm>

namespace kelda::dbc {

const Signal *findSignal(const Database &db, const QString &name, const Message **message)
{
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    for (const Message &m : db.messages) {
        if (dot >= 0 && m.name != name.left(dot))
            continue;
        const QString signal = dot >= 0 ? name.mid(dot + 1) : name;
        for (const Signal &s : m.signalList)
            if (s.name == signal) {
                *message = &m;
                return &s;
            }
    }
    return nullptr;
}

bool signalStep(const Database &db, const QString &name, const QString &value, const QString &unit, SimStep *step,
                QString *why)
{
    const Message *m = nullptr;
    const Signal *s = findSignal(db, name, &m);
    if (!s)
        return false;
    bool ok = false;
    const double physical = value.toDouble(&ok);
    qint64 raw = 0;
    if (!ok)
        *why = QStringLiteral("'%1' is not a number: expected a physical value of %2 such as 850").arg(value, name);
    else if (!unit.isEmpty() && unit != s->unit)
        *why = s->unit.isEmpty() ? QStringLiteral("%1 has no unit in the DBC, not '%2'").arg(name, unit)
                                 : QStringLiteral("%1 is in %2, not '%3'").arg(name, s->unit, unit);
    else if (m->extended || m->id > kMaxStandardId || m->length > 8)
        *why = QStringLiteral("%1 is in %2 (%3, %4 bytes): runs send standard frames of at most 8 bytes")
                   .arg(name, m->name, idText(m->id, m->extended))
                   .arg(m->length);
    else if (s->mux == Mux::Multiplexed)
        *why = QStringLiteral("%1 is multiplexed: send its frame as can 0x%2 = ...")
                   .arg(name)
                   .arg(m->id, 3, 16, QLatin1Char('0'));
    else if (s->rawOf(physical, &raw, why)) {
        step->kind = SimStep::Kind::CanFrame;
        step->id = uint16_t(m->id);
        step->length = uint8_t(m->length);
        step->bytes = {};
        step->mask = {};
        if (!s->place(step->bytes.data(), m->length, raw) || !s->place(step->mask.data(), m->length, -1))
            *why = QStringLiteral("%1 does not fit in the %2 bytes of %3").arg(name).arg(m->length).arg(m->name);
    }
    return true;
}

void useSignals(std::shared_ptr<const Database> db, SimRows *rows)
{
    rows->dbcSignal = [db](const QString &name, const QString &value, const QString &unit, SimStep *step,
                           QString *why) { return signalStep(*db, name, value, unit, step, why); };
}

SimNames traceNames(const Database &db, const SimRows &rows)
{
    SimNames names = rows.names;
    for (qsizetype r = 0; r < names.canInputs.size() && r < qsizetype(rows.canRules.size()); ++r) {
        const can::InputRule &rule = rows.canRules[size_t(r)];
        if (rule.position < 0 || rule.channel.index <= 0)
            continue;
        const int last = rule.channel.isByte ? rule.channel.index - 1 : 2 * rule.channel.index - 1;
        const int first = rule.channel.isByte ? last : last - 1;
        QStringList hits;
        for (const Message &m : db.messages)
            for (const Signal &s : m.signalList) {
                const std::vector<int> b = s.bits();
                if (!m.extended && m.id == rule.identifier
                    && std::any_of(b.begin(), b.end(), [&](int p) { return p / 8 >= first && p / 8 <= last; }))
                    hits << s.name;
            }
        if (!hits.isEmpty() && !hits.contains(names.canInputs[r]))
            names.canInputs[r] += QStringLiteral(" [%1]").arg(hits.join(QLatin1Char(' ')));
    }
    return names;
}

bool readSignals(const QString &path, SimRows *rows, QString *why, SimNames *names)
{
    auto db = std::make_shared<Database>();
    if (!readFile(path, db.get(), why))
        return false;
    if (names)
        *names = traceNames(*db, *rows);
    useSignals(std::move(db), rows);
    return true;
}

}  // namespace kelda::dbc
