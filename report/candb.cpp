#include "candb.h"

#include <QMap>
#include <QSet>

#include "atomicfile.h"

namespace kelda::report {

namespace {

// Text inside a DBC string: no double quotes, one line, no control
// characters (readers stop at them).
QString quoted(QString text)
{
    text.replace(QLatin1Char('"'), QLatin1Char('\''));
    // Readers take the file as Latin-1: anything beyond becomes '?'.
    for (QChar &c : text)
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0))
            c = QLatin1Char(' ');
        else if (c.unicode() > 0xFF)
            c = QLatin1Char('?');
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString hexValue(int v)
{
    return QStringLiteral("%1 (0x%2)").arg(v).arg(QString::number(v, 16).toUpper().rightJustified(4, QLatin1Char('0')));
}

struct Signal {
    const CanItem *item;
    bool input;
    QString name;
    SignalLayout layout;
};

struct Message {
    int id = 0;
    bool received = false, sent = false;
    bool littleEndian = false;  // of the first CAN input with the identifier
    QList<Signal> signals_;
    QStringList notes;  // items that cannot be signals
};

}  // namespace

QString dbcName(const QString &name)
{
    QString out;
    bool gap = false;
    for (const QChar c : name.normalized(QString::NormalizationForm_KD)) {
        const char16_t u = c.unicode();
        if (c.category() == QChar::Mark_NonSpacing)
            continue;  // the accent of a decomposed letter
        const bool ok = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9');
        if (ok) {
            if (gap && !out.isEmpty())
                out += QLatin1Char('_');
            out += c;
            gap = false;
        } else {
            gap = true;  // '_' included: runs collapse
        }
    }
    if (out.isEmpty())
        out = QStringLiteral("Signal");
    else if (out.at(0).isDigit())
        out.prepend(QLatin1String("S_"));
    return out.left(kDbcNameMax);
}

SignalLayout signalLayout(int byteSelect, bool littleEndian)
{
    SignalLayout s;
    int firstByte = -1;  // from 0
    for (int k = 0; k < 8; ++k)
        if (byteSelect == (1 << k)) {
            firstByte = k;
            s.length = 8;
        }
    for (int w = 0; w < 4; ++w)
        if (byteSelect == (3 << (2 * w))) {
            firstByte = 2 * w;
            s.length = 16;
        }
    if (firstByte < 0)
        return s;
    s.valid = true;
    // Intel names the least significant bit, bit 0 of the first byte; Motorola
    // the most significant, bit 7 of the first byte (the word's high byte).
    s.startBit = firstByte * 8 + (littleEndian ? 0 : 7);
    return s;
}

namespace {

// One message per identifier, its signals in table order: CAN inputs, then CAN outputs.
QMap<int, Message> messagesOf(const SetupFacts &f)
{
    QMap<int, Message> messages;
    auto add = [&](const CanItem &item, bool input) {
        Message &m = messages[item.id];
        if (input && !m.received)
            m.littleEndian = item.littleEndian;
        (input ? m.received : m.sent) = true;
        m.id = item.id;
        m.signals_ << Signal{&item, input, QString(), {}};
    };
    for (const CanItem &in : f.canInputs)
        add(in, true);
    for (const CanItem &out : f.canOutputs)
        add(out, false);
    return messages;
}

// The naming pass: each signal's layout and a DBC name unique within its message.
void nameSignals(Message &m)
{
    // Outputs go out big-endian: the image has no byte order for them.
    QSet<QString> taken;
    for (Signal &s : m.signals_) {
        const bool little = s.input ? m.littleEndian : false;
        s.layout = signalLayout(s.item->select, little);
        const QString base = dbcName(s.item->name);
        QString name = base;
        for (int n = 2; taken.contains(name); ++n) {
            const QString suffix = QStringLiteral("_%1").arg(n);
            name = base.left(kDbcNameMax - suffix.size()) + suffix;
        }
        taken.insert(name);
        s.name = name;
    }
}

QString databaseHeader()
{
    return QStringLiteral(
               "VERSION \"\"\n\n\nNS_ :\n\tNS_DESC_\n\tCM_\n\tBA_DEF_\n\tBA_\n\tVAL_\n\tBA_DEF_DEF_\n\tBO_TX_BU_\n\n"
               "BS_:\n\nBU_: %1 %2\n\n")
        .arg(QLatin1String(kModuleNode), QLatin1String(kVehicleNode));
}

// The comments on the database and its nodes.
QStringList databaseComments(const SetupFacts &f)
{
    QStringList comments;
    comments << QStringLiteral("CM_ %1;").arg(quoted(
        QStringLiteral("CAN messages of the setup %1: what the module %2 reads and sends.")
            .arg(f.fileName.isEmpty() ? QStringLiteral("(not saved)") : f.fileName, QLatin1String(kModuleNode))));
    comments << QStringLiteral("CM_ BU_ %1 %2;")
                    .arg(QLatin1String(kModuleNode), quoted(QStringLiteral("The LX2 module of the setup.")));
    comments << QStringLiteral("CM_ BU_ %1 %2;")
                    .arg(QLatin1String(kVehicleNode),
                         quoted(QStringLiteral("Whatever sends the messages the module reads.")));
    return comments;
}

QString messageName(const Message &m)
{
    const QString idHex = QString::number(m.id, 16).toUpper().rightJustified(3, QLatin1Char('0'));
    return QStringLiteral("%1_%2_%3")
        .arg(QLatin1String(kModuleNode),
             m.received && m.sent ? QStringLiteral("RX_TX")
                 : m.received     ? QStringLiteral("RX")
                                  : QStringLiteral("TX"),
             idHex);
}

QString signalLine(const Message &m, const Signal &s)
{
    const bool little = s.input && m.littleEndian;
    return QStringLiteral(" SG_ %1 : %2|%3@%4+ (1,0) [0|%5] \"\" %6\n")
        .arg(s.name)
        .arg(s.layout.startBit)
        .arg(s.layout.length)
        .arg(little ? 1 : 0)
        .arg((1 << s.layout.length) - 1)
        .arg(QLatin1String(s.input ? kModuleNode : kVehicleNode));
}

// What a signal is in the setup: its item, compare or value, and who uses it.
QString signalComment(const SetupFacts &f, const Message &m, const Signal &s)
{
    QString what;
    if (s.input) {
        what = QStringLiteral("CAN input %1, %2: compare %3 %4")
                   .arg(s.item->name, s.item->channel, s.item->compare, hexValue(s.item->value));
        if (!s.item->usedBy.isEmpty())
            what += QStringLiteral("; read by ") + s.item->usedBy.join(QStringLiteral(", "));
        for (int mod : f.pwmModulesOf(s.item->row))
            what += QStringLiteral("; PWM of LX1-%1 (0 to 255 = 0 to 100 %)").arg(mod + 1);
    } else {
        what =
            QStringLiteral("CAN output %1, %2: sends %3").arg(s.item->name, s.item->channel, hexValue(s.item->value));
        if (!s.item->usedBy.isEmpty())
            what += QStringLiteral(" while ") + s.item->usedBy.join(QStringLiteral(" or ")) + QStringLiteral(" is set");
    }
    return QStringLiteral("CM_ SG_ %1 %2 %3;").arg(m.id).arg(s.name, quoted(what + QLatin1Char('.')));
}

QString messageComment(const Message &m)
{
    QString about = m.received && m.sent ? QStringLiteral("Read and sent by the module")
        : m.received                     ? QStringLiteral("Read by the module")
                                         : QStringLiteral("Sent by the module");
    about += QStringLiteral("; %1.").arg(QLatin1String(kEndiannessTexts[m.littleEndian ? 1 : 0]));
    if (!m.notes.isEmpty())
        about += QLatin1Char(' ') + m.notes.join(QLatin1Char(' '));
    return QStringLiteral("CM_ BO_ %1 %2;").arg(m.id).arg(quoted(about));
}

// The BO_ section of a message; its comments go to `comments`. An item
// without a byte or word the image knows is a note, not a signal.
QString messageSection(const SetupFacts &f, Message &m, QStringList &comments)
{
    const QLatin1String sender(m.received ? kVehicleNode : kModuleNode);
    QString text = QStringLiteral("BO_ %1 %2: 8 %3\n").arg(m.id).arg(messageName(m), sender);
    for (const Signal &s : std::as_const(m.signals_)) {
        if (!s.layout.valid) {
            m.notes << QStringLiteral("%1 %2 has no byte or word the image knows (code %3) and is not a signal.")
                           .arg(s.input ? QStringLiteral("CAN input") : QStringLiteral("CAN output"), s.item->name,
                                QString::number(s.item->select));
            continue;
        }
        text += signalLine(m, s);
        comments << signalComment(f, m, s);
    }
    comments << messageComment(m);
    return text + QLatin1Char('\n');
}

QString attributes(const SetupFacts &f)
{
    return QStringLiteral("BA_DEF_  \"BusType\" STRING ;\n"
                          "BA_DEF_  \"Baudrate\" INT 0 1000000;\n"
                          "BA_DEF_DEF_  \"BusType\" \"CAN\";\n"
                          "BA_DEF_DEF_  \"Baudrate\" 500000;\n"
                          "BA_ \"BusType\" \"CAN\";\n"
                          "BA_ \"Baudrate\" %1;\n")
        .arg(canSpeedBitRate(f));
}

}  // namespace

QString canDatabase(const SetupFacts &f)
{
    QMap<int, Message> messages = messagesOf(f);
    QString text = databaseHeader();
    QStringList comments = databaseComments(f);
    QStringList transmitters;
    for (Message &m : messages) {
        nameSignals(m);
        text += messageSection(f, m, comments);
        if (m.received && m.sent)
            transmitters << QStringLiteral("BO_TX_BU_ %1 : %2,%3;")
                                .arg(m.id)
                                .arg(QLatin1String(kVehicleNode), QLatin1String(kModuleNode));
    }
    if (!transmitters.isEmpty())
        text += transmitters.join(QLatin1Char('\n')) + QStringLiteral("\n\n");
    text += comments.join(QLatin1Char('\n')) + QLatin1Char('\n');
    return text + attributes(f);
}

QString canDatabaseProblem(const SetupFacts &f)
{
    // Written as it stands, such an identifier reads as an extended one, or
    // as a line a reader refuses.
    for (const QList<CanItem> *items : {&f.canInputs, &f.canOutputs})
        for (const CanItem &item : *items)
            if (item.id > kMaxCanId)
                return QStringLiteral("%1 \"%2\" uses identifier %3, above 0x7FF: a DBC message of a standard "
                                      "frame holds 11-bit identifiers only")
                    .arg(items == &f.canInputs ? QStringLiteral("CAN input") : QStringLiteral("CAN output"), item.name,
                         idText(item.id));
    return QString();
}

bool writeCanDatabase(StoreSession session, const QString &setupFile, const QString &path, QString *error)
{
    if (!fileio::clashingInput(path, {setupFile}).isEmpty()) {
        if (error)
            *error = QStringLiteral("that is the setup file itself");
        return false;
    }
    const SetupFacts facts = collectFacts(session, setupFile);
    if (const QString problem = canDatabaseProblem(facts); !problem.isEmpty()) {
        if (error)
            *error = problem;
        return false;
    }
    return fileio::writeAtomically(path, canDatabase(facts).toLatin1(), error);
}

}  // namespace kelda::report
