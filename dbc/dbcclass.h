// Whether the module can read a DBC signal, and the raw comparison that
// stands for a physical one. The module reads whole bytes or the four fixed
// words of standard frames (kelda::can, docs/can-model.md); a signal is
// "exact" for a comparison when the stored raw comparison agrees with the
// physical one for every frame, "approximate" when it can disagree only for
// values within a stated error of the threshold. docs/dbc-import.md has the
// rules with examples.
#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <cstdint>
#include <optional>

#include "canmodel.h"
#include "dbcfile.h"

namespace kelda {
class SetupView;
}

namespace kelda::dbc {

// A comparison as the user states it, in physical units.
enum class Op { Equal, Less, Greater, Bit };
const char *opText(Op op);  // "=", "<", ">", "bit"
// "=", "<", ">", "bit" or the words "eq", "lt", "gt".
std::optional<Op> parseOp(const QString &text);

enum class Class { Exact, Approximate, Impossible };
const char *classText(Class c);  // "exact", "approximate", "impossible"

// What a setup already does with CAN identifiers: the receive list in the
// image's order, each identifier's byte order, what the module sends.
struct SetupContext {
    QList<int> receiveIds;  // first appearance among the CAN inputs
    QHash<int, bool> littleEndian;  // the first input's order, by identifier
    QSet<int> wordIds;  // identifiers with a word input: their order is fixed (bytes have none)
    QHash<int, QString> firstInput;  // its name
    QHash<int, QString> sentBy;  // the first CAN output of an identifier
    int inputCount = 0;

    static SetupContext from(const SetupView &view);
};

// A channel the module could read the signal with. The channel holds the
// signal's bits `dropped` and up at its bits `shift` and up, in order, up to
// its most significant bit.
struct Fit {
    can::Channel channel;
    bool littleEndian = false;  // for a word
    int shift = 0;
    int dropped = 0;
    uint8_t byteSelect() const;  // the setup's Word/Byte code
    QString channelText() const;  // "Word 2", "Byte 3"
};

struct Classification {
    Class cls = Class::Impossible;
    QList<Op> exact;  // in the order =, <, >, bit
    QList<Op> approximate;
    QString reason;  // empty for exact
    std::optional<Fit> fit;  // none for impossible
    double error = 0;  // worst case in the signal's units (approximate)
};

// The setup's limits apply when `setup` is given.
Classification classify(const Message &m, const Signal &s, const SetupContext *setup = nullptr);

// The physical value of a raw one, and the physical comparisons as KELDA
// decides them: values within a millionth of a step of the threshold count
// as equal to it, so "= 25.3" with a factor of 0.1 takes raw 253.
double physical(const Signal &s, qint64 raw);
bool physicalHolds(const Signal &s, Op op, double value, double threshold);

// The CAN input that stands for "signal op value".
struct Comparison {
    QString refusal;  // why it cannot be stored; empty when it can
    Fit fit;
    uint8_t compare = 0;  // schema CanCompare code
    uint16_t data = 0;
    bool exact = true;
    double error = 0;  // the largest physical distance from the threshold where it can be wrong
    QString rounding;  // "> 3200 raw = 800.00 rpm"
};
Comparison comparison(const Signal &s, const Classification &c, Op op, double value);

// A number as the lists show it: up to the step's decimals.
QString valueText(const Signal &s, double value);

}  // namespace kelda::dbc
