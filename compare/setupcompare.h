// Comparison of two setups, headless: what was added, removed, renamed and
// changed in every table, the options, the LX1 PWM assignments and whether
// the compiled images are the same. Every cell is compared in the text its
// table shows (the column table of model/pmcolumns.h), so a difference reads
// as the window would show it. The window, kelda-cli diff and the git driver
// all call compareSetups and read the same Difference records.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "strata.h"

namespace kelda::compare {

enum class Kind {
    Added,  // only in the new setup
    Removed,  // only in the old setup
    Renamed,  // another name, nothing else changed
    Changed,  // cells or list entries differ (and perhaps the name or the row)
    Moved,  // the same item at another place among its table's rows
    Image,  // the compiled images differ
    Note,  // not a difference: how items were matched (names used twice)
};

// "added", "removed", "renamed", "changed", "moved", "image", "note".
QString kindName(Kind kind);

// One cell as the table shows it. A side the item is not on is a null text.
struct CellChange {
    QString column;  // the column's header; repeated headers carry their number ("Input 2")
    QString before;
    QString after;
};

// One list of an event or a state, by the names of the entries' targets
// ("-" for an entry that names nothing).
struct ListChange {
    QString list;  // "States to Set", "LX2 Outputs", ...
    QStringList added;
    QStringList removed;
    // Set when the entries are the same but in another order; the orders are then in before/after.
    bool reordered = false;
    QStringList before;
    QStringList after;
};

// Table texts of the records that are not a tab's own table: the option
// boxes and the LX1 PWM table (both on the Options tab) and the image.
inline constexpr const char *kOptionsTable = "Options";
inline constexpr const char *kPwmTable = "LX1 PWM";
inline constexpr const char *kImageTable = "Image";

struct Difference {
    Kind kind = Kind::Changed;
    QString table;  // the tab's text ("Timers"), "LX1 PWM", "Options" or "Image"
    int mode = -1;  // the main window's tab that shows it (Options and LX1 PWM: 9); -1 for the image
    int oldRow = -1;  // 0-based row in the old setup (an option: its index); -1 when not there
    int newRow = -1;  // 0-based row in the new setup; -1 when not there
    QString name;  // the item's name (in the new setup, unless removed); an option's label
    QString oldName;  // the name in the old setup, when it differs
    QList<CellChange> cells;
    QList<ListChange> entries;
    QString message;  // one line, without the table's name

    bool counts() const { return kind != Kind::Note; }
};

enum class ImageResult { Identical, Different, NotCompared };

struct Comparison {
    // In table order (the tabs' order), then the options, the LX1 PWM table and the image.
    QList<Difference> differences;
    ImageResult image = ImageResult::NotCompared;
    QString imageMessage;  // "identical (412 bytes)", "differ: ...", "not compared: ..."
    qint64 oldImageBytes = -1;
    qint64 newImageBytes = -1;

    // No difference that counts (notes do not).
    bool same() const;
};

// Compares the setups of two sessions. The labels name the setups in notes
// ("old.kelda"). Reading is all it does to the setups: each is read into a
// SetupView and compiled in memory.
Comparison compareSetups(StoreSession oldSetup, StoreSession newSetup,
                         const QString &oldLabel = QStringLiteral("the old setup"),
                         const QString &newLabel = QStringLiteral("the new setup"));

// The setup as text lines, one per item, option and LX1 module, each with its
// table, name and cells in the texts the window shows, then the compiled
// image's size and checksum: for reading and for line-based diff tools.
QStringList describeSetup(StoreSession setup);

}  // namespace kelda::compare
