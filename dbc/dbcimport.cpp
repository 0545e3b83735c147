#include "dbcimport.h"

#include <QSet>

#include "pmmodel.h"
#include "setupview.h"

namespace kelda::dbc {

namespace {

QString compareText(uint8_t code)
{
    for (const CodeText &c : kCanCompareChoices)
        if (c.code == code)
            return QLatin1String(c.text);
    return {};
}

QString uniqueName(const QString &base, const QSet<QString> &taken)
{
    QString name = base;
    for (int n = 2; taken.contains(name); ++n)
        name = QStringLiteral("%1 %2").arg(base).arg(n);
    return name;
}

}  // namespace

bool planImport(const SetupView &view, const QList<ImportRequest> &requests, QList<ImportPlan> *plans, QString *error)
{
    SetupContext context = SetupContext::from(view);
    QSet<QString> taken(view.names(ItemType::CanInput).cbegin(), view.names(ItemType::CanInput).cend());
    plans->clear();
    for (const ImportRequest &r : requests) {
        const QString what = r.message.name + QLatin1Char('.') + r.signal.name;
        const Classification c = classify(r.message, r.signal, &context);
        ImportPlan p;
        p.comparison = comparison(r.signal, c, r.op, r.value);
        if (!p.comparison.refusal.isEmpty()) {
            *error = QStringLiteral("%1: %2").arg(what, p.comparison.refusal);
            return false;
        }
        for (const QChar ch : r.name)
            if (ch.unicode() > 0xFF || ch.unicode() < 0x20) {
                *error = QStringLiteral("%1: a setup file cannot store the name \"%2\" (Latin-1 letters only)")
                             .arg(what, r.name);
                return false;
            }
        p.canId = int(r.message.id);
        p.name = uniqueName(r.name.isEmpty() ? r.signal.name : r.name, taken);
        taken.insert(p.name);
        const Fit &f = p.comparison.fit;
        QString where = idText(r.message.id, false) + QLatin1Char(' ') + f.channelText();
        if (!f.channel.isByte)
            where += QStringLiteral(", ") + QLatin1String(kEndiannessTexts[f.littleEndian ? 1 : 0]);
        p.description = QStringLiteral("%1 %2 %3%4: %5, %6 %7 (%8)")
                            .arg(p.name, QLatin1String(opText(r.op)), QString::number(r.value),
                                 r.signal.unit.isEmpty() ? QString() : QLatin1Char(' ') + r.signal.unit, where,
                                 compareText(p.comparison.compare))
                            .arg(p.comparison.data)
                            .arg(p.comparison.rounding);
        // The inputs planned so far are part of the setup the next one meets.
        if (!context.receiveIds.contains(p.canId)) {
            context.receiveIds.append(p.canId);
            context.firstInput.insert(p.canId, p.name);
        }
        if (!f.channel.isByte && !context.wordIds.contains(p.canId)) {
            context.wordIds.insert(p.canId);
            context.littleEndian.insert(p.canId, f.littleEndian);
        }
        ++context.inputCount;
        plans->append(p);
    }
    return true;
}

bool applyImport(PMModel &model, const QList<ImportPlan> &plans, QString *error)
{
    if (plans.isEmpty())
        return true;
    if (model.itemCount(ItemType::CanInput) + plans.size() > kMaxTableItems) {
        *error = QStringLiteral("the CAN Inputs table holds at most %1 rows").arg(kMaxTableItems);
        return false;
    }
    const int mode = model.mode();
    if (mode != int(Mode::CanInputs))
        model.setMode(int(Mode::CanInputs));
    const QString text = plans.size() == 1 ? QStringLiteral("Import \"%1\" from DBC").arg(plans.first().name)
                                           : QStringLiteral("Import %1 CAN inputs from DBC").arg(plans.size());
    model.beginChange(text, model.rowCount());
    bool ok = true;
    for (const ImportPlan &p : plans) {
        const int row = model.rowCount();
        if (!model.insertRows(row, 1) || model.rowCount() != row + 1) {
            *error = QStringLiteral("a CAN input could not be added");
            ok = false;
            break;
        }
        const Fit &f = p.comparison.fit;
        const QList<std::pair<int, QVariant>> cells = {
            {CanInputCol::Name, p.name},
            {CanInputCol::CanCode, idText(uint32_t(p.canId), false)},
            {CanInputCol::WordByte, f.channelText()},
            {CanInputCol::Compare, compareText(p.comparison.compare)},
            {CanInputCol::Data, int(p.comparison.data)},
            {CanInputCol::Endianness, QLatin1String(kEndiannessTexts[f.littleEndian ? 1 : 0])},
        };
        for (const auto &[column, value] : cells) {
            // A byte takes the identifier's order, whichever it is.
            if (column == CanInputCol::Endianness && f.channel.isByte)
                continue;
            if (!model.setData(model.index(row, column), value) && !model.lastEditError().isEmpty()) {
                *error = QStringLiteral("%1: %2").arg(p.name, model.lastEditError());
                ok = false;
            }
        }
    }
    model.endChange();
    if (mode != int(Mode::CanInputs))
        model.setMode(mode);
    return ok;
}

}  // namespace kelda::dbc
