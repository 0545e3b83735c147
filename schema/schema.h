// The layout of a setup in the store: item types, value ids, codes, texts and
// defaults. Every number here is a key of stored files or of the raw image, so
// this is the one place they are written down.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace kelda {

// Item types (store keys; never renumber).
enum class ItemType : uint16_t {
    None = 0,
    Setup = 27,  // the one child of the store root
    CanInput = 100,
    RefList = 107,  // list of RefEntry items
    RefEntry = 110,  // holds one reference (slot 1)
    Reference = 112,  // reference record: child 0 of the referring item
    Lx2Led = 142,
    KeypadKey = 152,
    State = 167,
    Option = 179,
    Event = 192,
    CanOutput = 195,
    Timer = 219,
    Lx1Output = 220,
    Switch = 221,
    Lx1Module = 230,
};

// Value ids (store keys; never renumber). Widths: see kValueSpecs.
enum class ValueId : uint16_t {
    Name = 1002,  // zero-terminated Latin-1 text
    TargetType = 1024,  // u16, in a Reference
    Order = 1029,  // u16: key/switch position 0..24; event priority 1..E
    Condition = 1051,  // u16 Condition code of an event input
    CanCompare = 1057,  // u8 CanCompare code
    Combine = 1058,  // u8 Combine code of event inputs 0 and 1
    CanId = 1059,  // u16, 0..2047
    Lx1Masks = 1063,  // 8 bytes, byte k = channel mask of module LX1-(k+1)
    ResetTicks = 1067,  // u16, 5 ms units
    Data = 1089,  // u16
    ByteSelect = 1090,  // u8 bit mask, bit k = data byte k+1
    LittleEndian = 6045,  // u8, nonzero = little endian
};

constexpr uint16_t toU16(ItemType t)
{
    return static_cast<uint16_t>(t);
}
constexpr uint16_t toU16(ValueId v)
{
    return static_cast<uint16_t>(v);
}

constexpr int kTextWidth = 0;  // zero-terminated text
constexpr int kLx1MaskBytes = 8;

// Every value id with its width in bytes, in id order: the store, the JSON
// tree of kelda-cli and the store layer all take widths from here.
struct ValueSpec {
    ValueId id;
    int width;  // kTextWidth for a text
};
constexpr std::array<ValueSpec, 12> kValueSpecs = {{
    {ValueId::Name, kTextWidth},
    {ValueId::TargetType, 2},
    {ValueId::Order, 2},
    {ValueId::Condition, 2},
    {ValueId::CanCompare, 1},
    {ValueId::Combine, 1},
    {ValueId::CanId, 2},
    {ValueId::Lx1Masks, kLx1MaskBytes},
    {ValueId::ResetTicks, 2},
    {ValueId::Data, 2},
    {ValueId::ByteSelect, 1},
    {ValueId::LittleEndian, 1},
}};

constexpr bool valueSpecsInIdOrder()
{
    for (size_t i = 1; i < kValueSpecs.size(); ++i)
        if (toU16(kValueSpecs[i - 1].id) >= toU16(kValueSpecs[i].id))
            return false;
    return true;
}
static_assert(valueSpecsInIdOrder(), "one entry per value id, in id order");

// Unrolled at compile time: a chain of compares that the optimiser folds
// away for a constant id (as in every typed read above the store) and turns
// into a switch otherwise.
template <size_t... I>
constexpr int valueWidthIn(uint16_t id, std::index_sequence<I...>)
{
    int width = -1;
    (void)((toU16(kValueSpecs[I].id) == id ? (width = kValueSpecs[I].width, true) : false) || ...);
    return width;
}

// Value widths in bytes; 0 = zero-terminated text; -1 = unknown id.
constexpr int valueWidth(uint16_t id)
{
    return valueWidthIn(id, std::make_index_sequence<kValueSpecs.size()>());
}

// Event input conditions (ValueId::Condition).
enum class Condition : uint16_t {
    None = 0,  // "-": the only condition of a CAN input
    Pressed = 1,
    ShortPress = 2,
    LongPress = 3,
    DoublePress = 4,
    Running = 5,
    Stopped = 6,
    Set = 7,
    Cleared = 8,
    High = 9,
    Low = 10,
};
constexpr std::array<const char *, 11> kConditionTexts = {
    "-", "Pressed", "Short Press", "Long Press", "Double Press", "Running", "Stopped", "Set", "Cleared", "High", "Low"};

// The conditions an input of each type can have: first..last, and the one a
// condition outside them becomes. A CAN input has only Condition::None.
struct ConditionRange {
    Condition first, last;
};
constexpr ConditionRange conditionRange(ItemType t)
{
    switch (t) {
    case ItemType::KeypadKey:
        return {Condition::Pressed, Condition::DoublePress};
    case ItemType::Timer:
        return {Condition::Running, Condition::Stopped};
    case ItemType::State:
        return {Condition::Set, Condition::Cleared};
    case ItemType::Switch:
        return {Condition::High, Condition::Low};
    default:
        return {Condition::None, Condition::None};
    }
}

// How input i joins input i+1 (ValueId::Combine).
enum class Combine : uint8_t { None = 0, And = 1, Or = 2 };
constexpr std::array<const char *, 3> kCombineTexts = {"NONE", "AND", "OR"};

// CAN comparisons (ValueId::CanCompare); bit 7 marks signed comparisons.
enum class CanCompare : uint8_t {
    Equal = 1,
    Less = 2,
    Greater = 3,
    BitMatch = 4,
    CanKey = 5,
    LessSigned = 129,
    GreaterSigned = 130,
};
struct CodeText {
    uint16_t code;
    const char *text;
};
constexpr std::array<CodeText, 7> kCanCompareChoices = {
    {{1, "="}, {2, "<"}, {3, ">"}, {4, "Bit Match"}, {5, "CAN Key"}, {129, "< (Signed)"}, {130, "> (Signed)"}}};

// Byte selection (ValueId::ByteSelect), in choice order.
constexpr std::array<CodeText, 12> kByteSelectChoices = {{{3, "Word 1"},
                                                          {12, "Word 2"},
                                                          {48, "Word 3"},
                                                          {192, "Word 4"},
                                                          {1, "Byte 1"},
                                                          {2, "Byte 2"},
                                                          {4, "Byte 3"},
                                                          {8, "Byte 4"},
                                                          {16, "Byte 5"},
                                                          {32, "Byte 6"},
                                                          {64, "Byte 7"},
                                                          {128, "Byte 8"}}};

constexpr std::array<const char *, 2> kEndiannessTexts = {"Big Endian", "Little Endian"};

// Global options: ItemType::Option index = option.
enum class OptionIndex : int {
    MinPressTime = 0,  // seconds x 100
    DoublePressTime = 1,  // seconds x 100
    LongPressTime = 2,  // seconds x 100
    FuseResetTime = 3,  // seconds x 100
    FuseRetryTime = 4,  // seconds x 100
    FuseMaxRetries = 5,  // count
    CanSpeed = 6,  // bit timing code
    RebroadcastId = 7,  // 0..2000
};
constexpr int kOptionCount = 8;
// The options page's label of each option.
constexpr std::array<const char *, 8> kOptionLabels = {
    "Minimum Press Time/s", "Double Press Time/s",   "Long Press Time/s", "Fuse Reset Time/s",
    "Retry Time/s",         "Max Number of Retries", "CAN Speed",         "Rebroadcast Start Message"};
constexpr int kOptionTimeScale = 100;  // option times are stored in hundredths of a second
constexpr std::array<uint16_t, kOptionCount> kOptionDefaults = {1, 5, 100, 1000, 50, 5, 0xC049, 0x600};
constexpr uint16_t kRebroadcastAbsent = 0x600;  // read when the value is missing
constexpr int kRebroadcastMax = 2000;

// CAN speed codes by choice index.
struct CanSpeed {
    uint16_t code;
    const char *text;
};
constexpr std::array<CanSpeed, 9> kCanSpeeds = {{{0xC049, "1 Mhz"},
                                                 {0xC149, "500 kHz"},
                                                 {0xC249, "333 kHz"},
                                                 {0xC349, "250 kHz"},
                                                 {0xC449, "200 kHz"},
                                                 {0xC835, "160 kHz"},
                                                 {0xC749, "125 kHz"},
                                                 {0xC949, "100 kHz"},
                                                 {0xD449, "50 kHz"}}};

// Fixed tables of every setup.
constexpr int kKeypadKeyCount = 25;
constexpr int kSwitchCount = 25;
constexpr int kLx2LedCount = 32;
constexpr int kLx1ModuleCount = 8;
constexpr int kLx1ChannelCount = 8;

// Lists below an event (RefList index) and below a state.
constexpr int kEventInputCount = 3;
enum class EventList : int { StatesToSet = 0, StatesToClear = 1, TimersToStart = 2, TimersToStop = 3 };
constexpr int kEventListCount = 4;
constexpr std::array<const char *, kEventListCount> kEventListNames = {"States to Set", "States to Clear",
                                                                       "Timers to Start", "Timers to Stop"};
constexpr std::array<ItemType, kEventListCount> kEventListTargets = {ItemType::State, ItemType::State, ItemType::Timer,
                                                                     ItemType::Timer};
enum class StateList : int { Lx2Leds = 0, Lx1Outputs = 1, CanOutputs = 2 };
constexpr int kStateListCount = 3;
constexpr std::array<const char *, kStateListCount> kStateListNames = {"LX2 Outputs", "LX1 Outputs", "CAN Outputs"};
constexpr std::array<ItemType, kStateListCount> kStateListTargets = {ItemType::Lx2Led, ItemType::Lx1Output,
                                                                     ItemType::CanOutput};

// A table holds at most this many items in the raw image (its count is one byte).
constexpr int kMaxTableItems = 255;

// Defaults of new rows.
constexpr uint16_t kDefaultCanInputId = 0x100;
constexpr uint16_t kDefaultCanOutputId = 0x200;
constexpr uint8_t kDefaultByteSelect = 3;  // "Word 1"
constexpr uint8_t kDefaultCanCompare = 1;  // "="
constexpr uint16_t kDefaultTimerTicks = 100;  // 0.5 s
constexpr uint16_t kDefaultLx1Current = 25;  // 10.0 A
constexpr int kMaxCanId = 2047;
constexpr int kMaxLx1Current = 255;  // in steps of kAmpsPerStep

// Units of stored values.
constexpr int kTickMs = 5;  // ValueId::ResetTicks: one tick is 5 ms
constexpr double kAmpsPerStep = 0.4;  // Lx1Output ValueId::Data: current limit steps

// Default name bases of new rows.
constexpr const char *defaultNameBase(ItemType t)
{
    switch (t) {
    case ItemType::CanInput:
        return "CAN Input ";
    case ItemType::Timer:
        return "Timer ";
    case ItemType::Event:
        return "Event ";
    case ItemType::State:
        return "State ";
    case ItemType::Lx1Output:
        return "LX1 Output ";
    case ItemType::CanOutput:
        return "CAN Output ";
    case ItemType::KeypadKey:
        return "Keypad ";
    case ItemType::Switch:
        return "Switch ";
    case ItemType::Lx2Led:
        return "LX2 LED ";
    default:
        return "";
    }
}

// Four-character prefixes of event input texts.
constexpr const char *typePrefixText(ItemType t)
{
    switch (t) {
    case ItemType::KeypadKey:
        return "KP: ";
    case ItemType::Switch:
        return "SW: ";
    case ItemType::CanInput:
        return "CI: ";
    case ItemType::Timer:
        return "TI: ";
    case ItemType::State:
        return "ST: ";
    default:
        return "";
    }
}
constexpr int kPrefixLength = 4;

}  // namespace kelda
