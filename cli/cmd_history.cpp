// kelda-cli history: what went to and came from modules on this computer.
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <optional>

#include "clicommand.h"
#include "history.h"

namespace history = kelda::history;

namespace {

struct Filter {
    QString vehicle;  // empty: any
    std::optional<uint32_t> crc;

    bool matches(const history::Entry &e) const
    {
        if (!vehicle.isEmpty() && e.vehicle.compare(vehicle, Qt::CaseInsensitive) != 0)
            return false;
        return !crc || e.crc == crc;
    }
};

QStringList row(const history::Entry &e)
{
    const auto orDash = [](const QString &text) { return text.isEmpty() ? QStringLiteral("-") : text; };
    return {e.time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss'Z'")),
            e.operation,
            e.ok ? QStringLiteral("ok") : QStringLiteral("failed"),
            orDash(e.vehicle),
            orDash(e.port),
            orDash(e.rune.isEmpty() ? e.moduleWord : e.rune),
            e.crc ? history::crcText(*e.crc) : QStringLiteral("-"),
            e.length ? QString::number(*e.length) : QStringLiteral("-"),
            orDash(QFileInfo(e.file).fileName())};
}

// One row an entry, columns as wide as their widest cell; a failure's reason
// on the line below it.
void printTable(const QList<history::Entry> &entries)
{
    QList<QStringList> rows{{QStringLiteral("TIME"), QStringLiteral("OPERATION"), QStringLiteral("OUTCOME"),
                             QStringLiteral("VEHICLE"), QStringLiteral("PORT"), QStringLiteral("MODULE"),
                             QStringLiteral("CRC"), QStringLiteral("LENGTH"), QStringLiteral("FILE")}};
    for (const history::Entry &e : entries)
        rows << row(e);
    QList<qsizetype> widths(rows.first().size(), 0);
    for (const QStringList &r : rows)
        for (qsizetype c = 0; c < r.size(); ++c)
            widths[c] = std::max(widths[c], r[c].size());
    for (qsizetype i = 0; i < rows.size(); ++i) {
        QString line;
        for (qsizetype c = 0; c < rows[i].size(); ++c)
            line += c + 1 < rows[i].size() ? rows[i][c].leftJustified(widths[c] + 2) : rows[i][c];
        cliOut() << line << '\n';
        if (i > 0 && !entries[i - 1].ok && !entries[i - 1].reason.isEmpty())
            cliOut() << "    " << entries[i - 1].reason << '\n';
    }
}

void printJson(const QString &path, const QList<history::Entry> &entries, const QStringList &notes)
{
    QJsonArray list;
    for (const history::Entry &e : entries)
        list.append(history::toJson(e));
    const QJsonObject doc{{QStringLiteral("history"), QDir::toNativeSeparators(path)},
                          {QStringLiteral("entries"), list},
                          {QStringLiteral("skipped"), QJsonArray::fromStringList(notes)}};
    cliOut() << QString::fromUtf8(QJsonDocument(doc).toJson(QJsonDocument::Indented));
}

int runHistory(const CliArgs &args)
{
    Filter filter;
    if (args.isSet("vehicle")) {
        filter.vehicle = args.value("vehicle").trimmed();
        if (filter.vehicle.isEmpty())
            return cliUsageError(QStringLiteral("--vehicle needs a tag"));
    }
    if (args.isSet("crc")) {
        filter.crc = history::parseCrc(args.value("crc"));
        if (!filter.crc)
            return cliUsageError(QStringLiteral("--crc needs a CRC-32 of up to 8 hexadecimal digits, not '%1'")
                                     .arg(cliToken(args.value("crc"))));
    }
    const QString path = history::defaultPath();
    const history::ReadResult read = history::read(path);
    if (!read.error.isEmpty())
        return cliFail(QStringLiteral("cannot read ") + QDir::toNativeSeparators(path), read.error);
    QList<history::Entry> shown;
    std::copy_if(read.entries.cbegin(), read.entries.cend(), std::back_inserter(shown),
                 [&](const history::Entry &e) { return filter.matches(e); });

    if (args.isSet("json")) {
        printJson(path, shown, read.notes);
        return 0;
    }
    for (const QString &note : read.notes)
        cliErr() << "kelda-cli: note: " << cliOneLine(note) << Qt::endl;
    if (shown.isEmpty())
        cliOut() << (read.entries.isEmpty() ? "Nothing recorded yet in " : "No entry matches in ")
                 << QDir::toNativeSeparators(path) << '\n';
    else
        printTable(shown);
    return 0;
}

const CliRegistration historyCommand{{
    .name = "history",
    .usage = "kelda-cli history [--vehicle TAG] [--crc CRC] [--json]",
    .summary = "list the uploads, reads, restores and backups done on this computer",
    .description = "Every upload, read, restore and backup, by the window or by kelda-cli, adds a line to "
                   "history.jsonl beside the editor's settings: when, what, whether it succeeded (and why not), "
                   "the port, the module, the calibration's CRC-32 and length, the file with its SHA-256 and the "
                   "vehicle tag. This lists them, oldest first, as a table (a failure's reason on the line below "
                   "it) or, with --json, as one JSON document. A line cut short by a crash is skipped with a note "
                   "on standard error.",
    .options = {{"vehicle", "TAG", "only the entries with this vehicle tag (case is not significant)"},
                {"crc", "CRC", "only the entries for the calibration with this CRC-32 (hexadecimal, 0x optional)"},
                {"json", nullptr,
                 "print one JSON document: {\"history\": path, \"entries\": [...], \"skipped\": [notes]}"}},
    .statuses = {{0, "the list was printed (it may be empty)"}, {1, "the history file cannot be read"}},
    .run = &runHistory,
}};

}  // namespace
