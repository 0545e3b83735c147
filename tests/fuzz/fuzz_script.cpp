// Fuzzes the script parser of kelda-cli simulate: whatever the bytes, a
// script either parses whole into steps that stay inside their tables, or
// stops at one line with a reason.
#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "simscript.h"

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_script: %s\n", what);
        std::abort();
    }
}

void check(const QByteArray &text, const kelda::SimRows &rows)
{
    using Kind = kelda::SimStep::Kind;
    std::vector<kelda::SimStep> steps;
    int badLine = 0;
    QString why;
    const qsizetype lines = text.count('\n') + 1;
    if (!kelda::parseSimScript(text, rows, &steps, &badLine, &why)) {
        require(!why.isEmpty(), "a bad line without a reason");
        require(badLine >= 1 && badLine <= lines, "a bad line outside the script");
        return;
    }
    require(why.isEmpty(), "a reason for a good script");
    for (const kelda::SimStep &s : steps) {
        switch (s.kind) {
        case Kind::Key:
        case Kind::Hold:
            require(s.row >= 0 && s.row < rows.keys && s.column >= 0 && s.column < 4, "key outside the keypad");
            break;
        case Kind::Switch:
            require(s.row >= 0 && s.row < rows.switches, "switch outside its table");
            break;
        case Kind::Can:
            require(s.row >= 0 && s.row < rows.canInputs, "CAN input outside its table");
            break;
        case Kind::Tick:
            require(s.count >= 1 && s.count <= 0x7FFFFFFF, "tick count out of range");
            break;
        case Kind::Show:
            break;
        case Kind::CanValue:
            require(s.row >= 0 && s.row < rows.canInputs && s.row < int(rows.canRules.size()), "CAN value of no input");
            require(rows.canRules[s.row].channel.isByte ? s.value <= 0xFF : true, "a byte value above 255");
            break;
        case Kind::CanFrame:
            require(s.id < 0x800 && s.length <= 8, "a frame no standard CAN bus carries");
            break;
        case Kind::Replay:
            require(!s.file.isEmpty(), "a replay of no file");
            break;
        case Kind::Expect: {
            const int counts[] = {rows.states, rows.timers, rows.outputs, rows.leds, 64};
            require(s.column >= 0 && s.column < 5, "expectation of nothing");
            require(s.row >= 0 && s.row < counts[s.column], "expectation outside its table");
            break;
        }
        }
        require(s.line >= 1 && s.line <= lines, "a step outside the script");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    check(text, kelda::SimRows{25, 25, 3, 2, 2, 1, 32, 2, {}, {}});
    check(text, kelda::SimRows{});  // tables without rows
    // Names, one of them shared by two rows.
    kelda::SimNames names;
    names.keys = {QStringLiteral("Beacon"), QStringLiteral("Horn")};
    names.states = {QStringLiteral("On"), QStringLiteral("On")};
    names.outputs = {QStringLiteral("Lamp")};
    names.leds = {QStringLiteral("LX2 LED 1")};
    names.canInputs = {QStringLiteral("RPM"), QStringLiteral("Gear"), QStringLiteral("Horn")};
    kelda::SimRows withCan = kelda::SimRows::of(names);
    // A word, a byte and an input that reads no frame.
    withCan.canRules = {kelda::can::InputRule{0, 0x123, false, {false, 1}, 3, 3200},
                        kelda::can::InputRule{0, 0x123, false, {true, 3}, 1, 5}, kelda::can::InputRule{}};
    check(text, withCan);
    return 0;
}
