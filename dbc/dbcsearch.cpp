#include "dbcsearch.h"

namespace kelda::dbc {

SignalList::SignalList(const Database &db, const SetupContext *setup)
{
    for (int m = 0; m < db.messages.size(); ++m) {
        const Message &msg = db.messages.at(m);
        const QString hex = QString::number(msg.id, 16);
        const QString ids = QStringLiteral("0x%1 %1 %2").arg(hex).arg(msg.id);
        for (int s = 0; s < msg.signalList.size(); ++s) {
            const Signal &sig = msg.signalList.at(s);
            SignalRow row;
            row.message = m;
            row.signal = s;
            row.classification = classify(msg, sig, setup);
            row.haystack = QStringLiteral("%1\t%2\t%3\t%4").arg(sig.name, msg.name, sig.unit, ids).toLower();
            m_rows.append(row);
        }
    }
}

QList<int> SignalList::search(const QString &text) const
{
    const QStringList words = text.toLower().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QList<int> out;
    out.reserve(m_rows.size());
    for (int i = 0; i < m_rows.size(); ++i) {
        bool all = true;
        for (const QString &w : words)
            if (!m_rows.at(i).haystack.contains(w)) {
                all = false;
                break;
            }
        if (all)
            out.append(i);
    }
    return out;
}

}  // namespace kelda::dbc
