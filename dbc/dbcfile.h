// A CAN database (DBC text) as KELDA needs it: messages, their signals, the
// value tables and comments. Every line it does not take is either of a known
// kind KELDA does not need (counted per kind) or reported with its line and
// the reason; nothing is dropped silently. docs/dbc-import.md lists the rules.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace kelda::dbc {

constexpr uint32_t kExtendedFlag = 0x80000000u;  // bit 31 of a message number
constexpr uint32_t kIndependentSignals = 0xC0000000u;  // the pseudo-message of signals without a frame
constexpr uint32_t kMaxStandardId = 0x7FF;
constexpr uint32_t kMaxExtendedId = 0x1FFFFFFF;
constexpr int kMaxMessageBytes = 64;  // CAN FD
constexpr qint64 kMaxFileBytes = 64LL * 1024 * 1024;

enum class Mux { None, Switch, Multiplexed };

struct Signal {
    QString name;
    int line = 0;
    int startBit = 0;  // as written: Intel the least significant bit, Motorola the most significant
    int length = 0;
    bool intel = false;  // @1 little-endian; @0 Motorola (big-endian)
    bool isSigned = false;
    bool isFloat = false;  // SIG_VALTYPE_ 1 (float) or 2 (double)
    double factor = 1;
    double offset = 0;
    double minimum = 0;
    double maximum = 0;
    QString unit;
    QStringList receivers;
    Mux mux = Mux::None;
    int muxValue = -1;  // of a multiplexed signal
    QString comment;
    QList<QPair<qint64, QString>> values;  // VAL_ descriptions

    // Payload bit of each signal bit, from its least significant: byte * 8 +
    // bit, bit 0 the least significant bit of the byte. Empty when a bit would
    // fall before the first byte or past kMaxMessageBytes.
    std::vector<int> bits() const;
    // The raw value in a payload of `bytes` bytes (two's complement when signed).
    qint64 raw(const uint8_t *data, int bytes) const;
    qint64 rawMin() const;
    qint64 rawMax() const;
    // Writes raw (two's complement when signed) into the signal's bits of a
    // payload of `bytes` bytes, the inverse of raw(); false, with data as it
    // was, when a bit falls past the payload.
    bool place(uint8_t *data, int bytes, qint64 raw) const;
    // The raw step nearest to a physical value (raw = (physical - offset) /
    // factor); false with the reason when it is outside the raw range or the
    // signal is a float.
    bool rawOf(double physical, qint64 *raw, QString *why) const;
};

struct Message {
    uint32_t id = 0;  // without bit 31
    bool extended = false;
    QString name;
    int length = 0;  // data bytes
    QString sender;
    int line = 0;
    QString comment;
    QList<Signal> signalList;
};

struct Skipped {
    int line = 0;
    QString reason;
};

struct Database {
    QList<Message> messages;  // in file order
    QList<Skipped> skipped;  // in line order
    QMap<QString, int> ignored;  // lines of known kinds not needed, per keyword
    int lines = 0;

    int signalCount() const;
};

// Reads DBC text; never fails: what it cannot take is in `skipped`.
Database parse(const QByteArray &text);
// Reads a file of at most kMaxFileBytes; false with the reason when it cannot.
bool readFile(const QString &path, Database *db, QString *reason);

// "0x280", "0x18FEF100x": an identifier as lists show it.
QString idText(uint32_t id, bool extended);

}  // namespace kelda::dbc
