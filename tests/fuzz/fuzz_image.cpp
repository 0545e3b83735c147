// Fuzz target for the simulator's image reader: whatever the bytes, reading
// stays inside them, every count stays within its 255 entries and ticking the
// result with every input on never leaves the engine's tables.
#include <QByteArray>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "simengine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const auto engine = std::make_unique<kelda::SimEngine>();
    static const auto boxes = std::make_unique<kelda::SimInputs>();
    // A copy without spare capacity, so the sanitizer sees any read past the end.
    const QByteArray image(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    engine->reset();
    engine->readImage(image);
    if (engine->eventCount() > kelda::kSimCapacity || engine->stateCount() > kelda::kSimCapacity
        || engine->lx1OutputCount() > kelda::kSimCapacity)
        std::abort();
    for (int t = 0; t < 3; ++t) {
        for (auto &row : boxes->keys)
            row.fill(true);
        boxes->switches.fill(t != 1);
        boxes->canInputs.fill(t != 2);
        engine->tick(*boxes);
    }
    for (int r = 0; r < 40; ++r)
        if (engine->ledOn(r) && r >= 32)
            std::abort();
    return 0;
}
