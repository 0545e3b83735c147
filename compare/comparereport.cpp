#include "comparereport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace kelda::compare {

namespace {

QString imageResultName(ImageResult r)
{
    switch (r) {
    case ImageResult::Identical:
        return QStringLiteral("identical");
    case ImageResult::Different:
        return QStringLiteral("different");
    case ImageResult::NotCompared:
        return QStringLiteral("not compared");
    }
    return QString();
}

QJsonObject cellJson(const CellChange &c)
{
    QJsonObject o{{QStringLiteral("column"), c.column}};
    if (!c.before.isNull())
        o.insert(QStringLiteral("old"), c.before);
    if (!c.after.isNull())
        o.insert(QStringLiteral("new"), c.after);
    return o;
}

QJsonObject listJson(const ListChange &l)
{
    QJsonObject o{{QStringLiteral("list"), l.list},
                  {QStringLiteral("added"), QJsonArray::fromStringList(l.added)},
                  {QStringLiteral("removed"), QJsonArray::fromStringList(l.removed)}};
    if (l.reordered)
        o.insert(QStringLiteral("order"),
                 QJsonObject{{QStringLiteral("old"), QJsonArray::fromStringList(l.before)},
                             {QStringLiteral("new"), QJsonArray::fromStringList(l.after)}});
    return o;
}

QJsonObject differenceJson(const Difference &d)
{
    QJsonObject o{{QStringLiteral("kind"), kindName(d.kind)}, {QStringLiteral("table"), d.table}};
    if (d.mode >= 0)
        o.insert(QStringLiteral("tab"), d.mode);
    // Rows as the user counts them, from 1.
    if (d.oldRow >= 0)
        o.insert(QStringLiteral("oldRow"), d.oldRow + 1);
    if (d.newRow >= 0)
        o.insert(QStringLiteral("newRow"), d.newRow + 1);
    if (d.kind != Kind::Image)
        o.insert(QStringLiteral("name"), d.name);
    if (!d.oldName.isEmpty())
        o.insert(QStringLiteral("oldName"), d.oldName);
    if (!d.cells.isEmpty()) {
        QJsonArray cells;
        for (const CellChange &c : d.cells)
            cells.append(cellJson(c));
        o.insert(QStringLiteral("cells"), cells);
    }
    if (!d.entries.isEmpty()) {
        QJsonArray lists;
        for (const ListChange &l : d.entries)
            lists.append(listJson(l));
        o.insert(QStringLiteral("entries"), lists);
    }
    o.insert(QStringLiteral("message"), d.message);
    return o;
}

}  // namespace

QString toText(const Comparison &comparison)
{
    QString out;
    QString table;
    for (const Difference &d : comparison.differences) {
        if (d.kind == Kind::Image)
            continue;  // the last line says it
        if (d.table != table) {
            table = d.table;
            out += table + QLatin1Char('\n');
        }
        out +=
            QStringLiteral("  ") + (d.counts() ? QString() : QStringLiteral("note: ")) + d.message + QLatin1Char('\n');
    }
    if (comparison.same())
        out += QStringLiteral("The setups are the same.\n");
    out += QStringLiteral("Compiled images: ") + comparison.imageMessage + QLatin1Char('\n');
    return out;
}

QByteArray toJson(const Comparison &comparison, const QString &oldName, const QString &newName)
{
    QJsonArray differences;
    for (const Difference &d : comparison.differences)
        differences.append(differenceJson(d));
    QJsonObject image{{QStringLiteral("result"), imageResultName(comparison.image)},
                      {QStringLiteral("message"), comparison.imageMessage}};
    if (comparison.oldImageBytes >= 0)
        image.insert(QStringLiteral("oldBytes"), comparison.oldImageBytes);
    if (comparison.newImageBytes >= 0)
        image.insert(QStringLiteral("newBytes"), comparison.newImageBytes);
    const QJsonObject root{{QStringLiteral("format"), QStringLiteral("kelda-setup-diff")},
                           {QStringLiteral("version"), 1},
                           {QStringLiteral("old"), oldName},
                           {QStringLiteral("new"), newName},
                           {QStringLiteral("same"), comparison.same()},
                           {QStringLiteral("differences"), differences},
                           {QStringLiteral("image"), image}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

}  // namespace kelda::compare
