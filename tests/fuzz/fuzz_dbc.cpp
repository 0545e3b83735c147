// Fuzzes the DBC reader and the classification: whatever the bytes, reading
// ends, every line not taken has a line inside the file and a reason, every
// message has an identifier of its kind, every signal lies in its message,
// and a comparison of any readable signal stays inside its channel.
#include <QByteArray>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "dbcsearch.h"

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_dbc: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace kelda::dbc;
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const Database db = parse(bytes);
    // Lines end in LF (CR LF) or, in a file without LF, in CR.
    const qint64 lines = std::max(bytes.count('\n'), bytes.count('\r')) + 1;
    for (const Skipped &k : db.skipped)
        require(!k.reason.isEmpty() && k.line >= 1 && k.line <= lines, "a line not taken without a reason or line");
    for (const Message &m : db.messages) {
        require(m.id <= (m.extended ? kMaxExtendedId : kMaxStandardId), "identifier out of range");
        require(m.line >= 1 && m.line <= lines, "message line outside the file");
        for (const Signal &s : m.signalList) {
            const std::vector<int> bits = s.bits();
            require(!bits.empty() && int(bits.size()) == s.length, "signal without its bits");
            for (const int b : bits)
                require(b >= 0 && b < 8 * m.length, "signal outside its message");
            const Classification c = classify(m, s);
            require((c.cls == Class::Impossible) == !c.fit, "a class without a channel, or the reverse");
            if (!c.fit)
                continue;
            for (const Op op : {Op::Equal, Op::Less, Op::Greater, Op::Bit})
                for (const double v : {0.0, s.minimum, s.maximum, s.offset + s.factor * 3.5, -1e300, 1e300}) {
                    const Comparison cmp = comparison(s, c, op, v);
                    if (cmp.refusal.isEmpty())
                        require(cmp.fit.channel.width() == 16 || cmp.data <= 0xFF, "data wider than a byte");
                }
        }
    }
    const SignalList list(db, nullptr);
    require(list.search(QString()).size() == db.signalCount(), "an empty search misses signals");
    list.search(QStringLiteral("0x1 a"));
    return 0;
}
