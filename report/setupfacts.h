// The facts of a setup that the installation documents show, read once from
// the model in the words of its tables: names, cell texts, who uses what, the
// compiled image's size and CRC-32 and the setup check's findings. The report
// and the CAN database are both written from these.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>

#include "pmcolumns.h"
#include "schema.h"
#include "setupcheck.h"
#include "setupview.h"

namespace kelda::report {

// A CAN input (`compare` empty for a CAN output).
struct CanItem {
    int row = 0;
    QString name;
    int id = 0;  // 0..2047
    int select = 0;  // ValueId::ByteSelect code
    QString channel;  // "Word 1", "Byte 3"; empty for a code the table does not know
    QString compare;  // "=", "Bit Match", ...
    int value = 0;  // compared (input) or sent (output)
    bool littleEndian = false;
    QStringList usedBy;  // inputs: events "Name (priority)"; outputs: states that send it
};

// One event input as the events table shows it.
struct EventInput {
    ItemType type = ItemType::None;  // None: the input names nothing
    int row = -1;  // the row of the item it reaches
    QString name;
    QString condition;  // "Short Press", "-" ...
    QString join;  // "AND", "OR", "NONE" (towards the next input)
};

struct Event {
    int row = 0;
    int priority = 0;
    QString name;
    QList<EventInput> inputs;  // the inputs in use, in order
    std::array<QStringList, kEventListCount> lists;  // names reached; "?" for an entry that reaches nothing
};

struct State {
    QString name;
    std::array<QStringList, kStateListCount> lists;
};

struct Timer {
    QString name;
    double seconds = 0;
};

struct Lx1Output {
    int row = 0;
    QString name;
    double amps = 0;
    std::array<uint8_t, kLx1ModuleCount> masks{};
};

struct SetupFacts {
    QString fileName;  // without folder

    QStringList keys, switches, leds;
    QList<CanItem> canInputs, canOutputs;
    QList<Timer> timers;
    QList<Event> events;  // in priority order
    QList<State> states;
    QList<Lx1Output> lx1Outputs;
    std::array<QString, kLx1ModuleCount> pwm;  // CAN input name or "NONE"
    std::array<double, kOptionCount> options{};  // as PMModel::option gives them
    std::array<int, kModeCount> counts{};  // items per table, by mode

    bool compiled = false;
    QString imageError;  // why the image could not be made
    qint64 imageSize = 0;
    uint32_t imageCrc = 0;  // CRC-32 of the raw image bytes
    // The calibration an upload of this setup would send (name and image at
    // the RUNE's addresses), whose CRC-32 the module reports and verify compares.
    struct Calibration {
        bool made = false;  // false: no RUNE installed (detail says where it looked) or no image
        QString rune;  // "LX2 30v00"
        QString detail;
        uint32_t length = 0;
        uint32_t crc = 0;
    } calibration;

    QList<check::Finding> findings;

    SetupView view;  // what the facts were read from: who uses what

    // The row a reference by that name reaches, -1 when none (the view's resolve).
    int rowOf(ItemType type, const QString &name) const { return view.resolve(type, name); }
    // Events, in priority order, whose inputs in use read item `row`:
    // "Beacons on (3): Short Press".
    QStringList readersOf(ItemType type, int row) const;
    // States whose output list `list` names item `row` of the list's type.
    QStringList statesDriving(int list, int row) const;
    // Events, in priority order, whose action list `list` names item `row`.
    QStringList eventsActing(int list, int row) const;
    // The LX1 modules (0..7) whose PWM input is CAN input `row`.
    QList<int> pwmModulesOf(int row) const;
};

// Reads the setup of a session; fileName is the setup's file (empty when not
// saved). Also compiles the image in memory for its size and CRC-32.
SetupFacts collectFacts(StoreSession session, const QString &fileName);

// "0x100" as the tables show an identifier.
QString idText(int id);
// The CAN speed option as the options page shows it ("250 kHz"), and in bits per second.
QString canSpeedText(const SetupFacts &facts);
int canSpeedBitRate(const SetupFacts &facts);

}  // namespace kelda::report
