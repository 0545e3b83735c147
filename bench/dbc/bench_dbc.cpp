// DBC listing and search: writes a database of N signals (default 5,000;
// argument 1) in messages of eight, mixing Intel and Motorola words, bytes,
// flags, long and multiplexed signals, then reads and classifies it all (what
// kelda-cli dbc-signals and the import dialog do on opening; goal <= 100 ms),
// and searches it as a user types signal, message, unit and identifier texts
// (the import dialog's filter; goal <= 20 ms per keystroke), and reads N
// signals of one message, each with a value table (a damaged or generated
// file; goal <= 100 ms: reading must not grow with the square). Best of five.
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>

#include "dbcsearch.h"

namespace {

QByteArray database(int signalCount)
{
    QByteArray text = "VERSION \"\"\n\nNS_ :\n\tCM_\n\tBA_\n\nBS_:\n\nBU_: ECU LX2\n\n";
    const char *kinds[] = {
        " SG_ EngineSpeed_%1 : 16|16@1+ (0.25,0) [0|16383.75] \"rpm\" LX2\n",
        " SG_ CoolantTemp_%1 : 7|8@0+ (1,-40) [-40|215] \"degC\" LX2\n",
        " SG_ OilPressure_%1 : 39|12@0+ (0.5,0) [0|2047.5] \"kPa\" LX2\n",
        " SG_ ParkFlag_%1 : 9|1@1+ (1,0) [0|1] \"\" LX2\n",
        " SG_ Distance_%1 : 40|24@1+ (1,0) [0|16777215] \"m\" LX2\n",
        " SG_ Mode_%1 M : 11|2@0+ (1,0) [0|3] \"\" LX2\n",
        " SG_ Value_%1 m1 : 51|12@0+ (0.1,0) [0|409.5] \"V\" LX2\n",
        " SG_ Torque_%1 : 56|8@1- (0.5,0) [-64|63.5] \"Nm\" LX2\n",
    };
    for (int n = 0, m = 0; n < signalCount; ++m) {
        const int id = m < 2048 ? m : int(0x80000000u | uint32_t(0x100000 + m));
        text += QStringLiteral("BO_ %1 MSG_%2: 8 ECU\n").arg(uint32_t(id)).arg(m).toLatin1();
        for (int k = 0; k < 8 && n < signalCount; ++k, ++n)
            text += QString::fromLatin1(kinds[k]).arg(m).toLatin1();
        text += '\n';
    }
    return text + "CM_ BO_ 1 \"The first message.\";\nVAL_ 1 Mode_1 0 \"Off\" 1 \"On\" ;\n";
}

// One message holding every signal, each with a value table after it.
QByteArray oneMessage(int signalCount)
{
    QByteArray text = "BO_ 256 ALL: 8 ECU\n";
    for (int n = 0; n < signalCount; ++n)
        text += QStringLiteral(" SG_ S%1 : 0|8@1+ (1,0) [0|255] \"\" LX2\n").arg(n).toLatin1();
    for (int n = 0; n < signalCount; ++n)
        text += QStringLiteral("VAL_ 256 S%1 0 \"Off\" 1 \"On\" ;\n").arg(n).toLatin1();
    return text;
}

int readOneMessage(int count)
{
    const QByteArray text = oneMessage(count);
    double best = 1e18;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer t;
        t.start();
        const kelda::dbc::Database db = kelda::dbc::parse(text);
        best = std::min(best, t.nsecsElapsed() / 1e6);
        if (db.signalCount() != count || !db.skipped.isEmpty()
            || db.messages.first().signalList.last().values.size() != 2) {
            std::printf("one message: read %d of %d signals, %lld lines not taken\n", db.signalCount(), count,
                        qlonglong(db.skipped.size()));
            return 1;
        }
    }
    std::printf("DBC one message: %d signals with value tables read in %.1f ms (goal <= 100 ms)\n", count, best);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 5000;
    const QByteArray text = database(count);
    double best = 1e18;
    kelda::dbc::SignalList list;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer t;
        t.start();
        const kelda::dbc::Database db = kelda::dbc::parse(text);
        list = kelda::dbc::SignalList(db, nullptr);
        best = std::min(best, t.nsecsElapsed() / 1e6);
        if (db.signalCount() != count || !db.skipped.isEmpty()) {
            std::printf("read %d of %d signals, %lld lines not taken\n", db.signalCount(), count,
                        qlonglong(db.skipped.size()));
            return 1;
        }
    }
    std::printf("DBC listing: %d signals (%.0f KiB) read and classified in %.1f ms (goal <= 100 ms)\n", count,
                text.size() / 1024.0, best);

    double worst = 0;
    int keystrokes = 0;
    qsizetype found = 0;
    for (const QString &typed : {QStringLiteral("EngineSpeed_412"), QStringLiteral("0x1a7"),
                                 QStringLiteral("kpa msg_3"), QStringLiteral("640"), QStringLiteral("torque_59")}) {
        for (int n = 1; n <= typed.size(); ++n) {
            double keystroke = 1e18;
            for (int run = 0; run < 5; ++run) {
                QElapsedTimer t;
                t.start();
                found = list.search(typed.left(n)).size();
                keystroke = std::min(keystroke, t.nsecsElapsed() / 1e6);
            }
            worst = std::max(worst, keystroke);
            ++keystrokes;
        }
    }
    std::printf("DBC search: %d keystrokes over %lld signals, slowest %.2f ms (goal <= 20 ms), last found %lld\n",
                keystrokes, qlonglong(list.rows().size()), worst, qlonglong(found));
    return readOneMessage(count);
}
