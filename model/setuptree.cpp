#include "setuptree.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <vector>

#include "schema.h"
#include "storecursor.h"

namespace kelda::setuptree {

namespace {

// ---- dump ----

bool dumpValues(StoreCursor &c, QJsonObject *values, QString *error)
{
    for (const ValueSpec &spec : kValueSpecs) {
        const uint16_t key = toU16(spec.id);
        const qint64 size = c.size(spec.id);
        if (size < 0)
            continue;
        const int width = spec.width;
        if ((width == kTextWidth && size == 0) || (width != kTextWidth && size != width) || size > 65536) {
            *error = QStringLiteral("value %1 has %2 bytes").arg(key).arg(size);
            return false;
        }
        QByteArray buf;
        if (!c.bytes(spec.id, buf)) {
            *error = QStringLiteral("value %1 cannot be read: %2").arg(key).arg(storeError());
            return false;
        }
        const QString name = QString::number(key);
        if (width == kTextWidth) {
            values->insert(name, QString::fromLatin1(buf.constData(), qstrnlen(buf.constData(), buf.size())));
        } else if (width == 1) {
            values->insert(name, int(uint8_t(buf[0])));
        } else if (width == 2) {
            uint16_t v = 0;
            memcpy(&v, buf.constData(), 2);
            values->insert(name, int(v));
        } else {
            QJsonArray bytes;
            for (char c : buf)
                bytes.append(int(uint8_t(c)));
            values->insert(name, bytes);
        }
    }
    return true;
}

// Children in store order: every child type the store reports (ascending),
// known to the schema or not, and within a type in sibling order.
bool dumpChildren(StoreCursor &c, QJsonArray *items, QString *error)
{
    int types = 0;
    if (!c.childTypeCount(types)) {
        *error = QStringLiteral("child types cannot be counted: %1").arg(storeError());
        return false;
    }
    for (int position = 0; position < types; ++position) {
        ItemType type = ItemType::None;
        int n = 0;
        if (!c.childType(position, type) || !c.count(type, n)) {
            *error = QStringLiteral("child type %1 cannot be read: %2").arg(position).arg(storeError());
            return false;
        }
        for (int i = 0; i < n; ++i) {
            if (!c.open(type, i)) {
                *error = QStringLiteral("item %1 of type %2 cannot be opened").arg(i).arg(toU16(type));
                return false;
            }
            QJsonObject item;
            item.insert(QStringLiteral("type"), int(toU16(type)));
            QJsonObject values;
            QJsonArray children;
            const bool ok = dumpValues(c, &values, error) && dumpChildren(c, &children, error);
            c.close();
            if (!ok)
                return false;
            if (!values.isEmpty())
                item.insert(QStringLiteral("values"), values);
            if (!children.isEmpty())
                item.insert(QStringLiteral("children"), children);
            items->append(item);
        }
    }
    return true;
}

// ---- load ----

class Loader
{
public:
    explicit Loader(StoreSession s) : m_store(s) { }

    bool items(const QJsonValue &v, const QString &path)
    {
        if (!v.isArray())
            return fault(path, QStringLiteral("expected an array of items"));
        const QJsonArray array = v.toArray();
        // The items go to the store in type order, document order within a
        // type: the same tree, but each new type joins the parent's groups at
        // the end instead of shifting all of them (descending types would
        // make the load quadratic).
        QList<std::pair<int, qsizetype>> order;
        order.reserve(array.size());
        for (qsizetype i = 0; i < array.size(); ++i) {
            int type = 0;
            if (!itemType(array.at(i), itemPath(path, i), &type))
                return false;
            order.append({type, i});
        }
        std::stable_sort(order.begin(), order.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        for (const auto &[type, i] : order)
            if (!item(array.at(i), type, itemPath(path, i)))
                return false;
        return true;
    }

    QString error() const { return m_error; }

private:
    bool fault(const QString &path, const QString &why)
    {
        m_error = QStringLiteral("%1: %2").arg(path, why);
        return false;
    }
    bool storeFault(const QString &path, const char *what)
    {
        return fault(path, QStringLiteral("%1: %2").arg(QLatin1String(what), storeError()));
    }

    // A value id key exactly as dump writes it: "1029", never "01029",
    // "+1029" or " 1029", so that no two keys of one object name the same id.
    static bool canonicalId(const QString &key, uint *out)
    {
        if (key.isEmpty() || key.size() > 5 || (key.size() > 1 && key.front() == QLatin1Char('0')))
            return false;
        uint n = 0;
        for (const QChar c : key) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
            n = n * 10 + uint(c.unicode() - '0');
        }
        *out = n;
        return true;
    }

    // An integer in [0, max]; JSON numbers are doubles, so 1.5 and 1e20 are refused too.
    static bool integer(const QJsonValue &v, double max, int *out)
    {
        if (!v.isDouble())
            return false;
        const double d = v.toDouble();
        if (!(d >= 0 && d <= max) || std::floor(d) != d)
            return false;
        *out = int(d);
        return true;
    }

    static QString itemPath(const QString &path, qsizetype i)
    {
        return QStringLiteral("%1[%2]").arg(path, QString::number(i));
    }

    // The item's members and type, before anything of it is stored.
    bool itemType(const QJsonValue &v, const QString &path, int *type)
    {
        if (!v.isObject())
            return fault(path, QStringLiteral("expected an item object"));
        const QJsonObject obj = v.toObject();
        for (auto it = obj.begin(); it != obj.end(); ++it)
            if (it.key() != QLatin1String("type") && it.key() != QLatin1String("values")
                && it.key() != QLatin1String("children"))
                return fault(path + QLatin1Char('.') + it.key(), QStringLiteral("unknown member"));
        if (!obj.contains(QLatin1String("type")))
            return fault(path, QStringLiteral("missing \"type\""));
        if (!integer(obj.value(QLatin1String("type")), 65535, type))
            return fault(path + QStringLiteral(".type"), QStringLiteral("expected an item type 0..65535"));
        return true;
    }

    bool item(const QJsonValue &v, int type, const QString &path)
    {
        const QJsonObject obj = v.toObject();
        const QJsonValue values = obj.value(QLatin1String("values"));
        if (!values.isUndefined() && !values.isObject())
            return fault(path + QStringLiteral(".values"), QStringLiteral("expected an object of values"));
        const QJsonValue children = obj.value(QLatin1String("children"));
        if (!children.isUndefined() && !children.isArray())
            return fault(path + QStringLiteral(".children"), QStringLiteral("expected an array of items"));

        if (!m_store.append(ItemType(type), 1))
            return storeFault(path, "the store refused the item");
        if (!m_store.open(ItemType(type), StoreCursor::kLastItem))
            return storeFault(path, "the store cannot open the new item");
        bool ok = this->values(values.toObject(), path + QStringLiteral(".values"));
        if (ok && children.isArray())
            ok = items(children, path + QStringLiteral(".children"));
        m_store.close();
        return ok;
    }

    // The stored bytes of one value of the given width, from its JSON form.
    bool valueBytes(const QJsonValue &v, int width, const QString &at, QByteArray *data)
    {
        if (width == kTextWidth) {
            if (!v.isString())
                return fault(at, QStringLiteral("expected a string"));
            const QString text = v.toString();
            for (qsizetype i = 0; i < text.size(); ++i) {
                const char16_t c = text.at(i).unicode();
                if (c > 0xFF)
                    return fault(at,
                                 QStringLiteral("character %1 (U+%2) is not Latin-1")
                                     .arg(i)
                                     .arg(QString::number(uint(c), 16).toUpper().rightJustified(4, QLatin1Char('0'))));
                if (c == 0)
                    return fault(at, QStringLiteral("character %1 is a zero byte, which ends a stored text").arg(i));
            }
            *data = text.toLatin1();
            data->append('\0');
        } else if (width == kLx1MaskBytes) {
            if (!v.isArray() || v.toArray().size() != kLx1MaskBytes)
                return fault(at, QStringLiteral("expected an array of 8 integers 0..255"));
            const QJsonArray bytes = v.toArray();
            for (int i = 0; i < kLx1MaskBytes; ++i) {
                int b = 0;
                if (!integer(bytes.at(i), 255, &b))
                    return fault(QStringLiteral("%1[%2]").arg(at).arg(i), QStringLiteral("expected an integer 0..255"));
                data->append(char(b));
            }
        } else {
            const int max = width == 1 ? 0xFF : 0xFFFF;
            int n = 0;
            if (!integer(v, max, &n))
                return fault(at, QStringLiteral("expected an integer 0..%1").arg(max));
            if (width == 1) {
                data->append(char(n));
            } else {
                const uint16_t w = uint16_t(n);
                *data = QByteArray(reinterpret_cast<const char *>(&w), 2);
            }
        }
        return true;
    }

    bool values(const QJsonObject &obj, const QString &path)
    {
        for (auto it = obj.begin(); it != obj.end(); ++it) {
            const QString at = path + QLatin1Char('.') + it.key();
            uint idNumber = 0;
            if (!canonicalId(it.key(), &idNumber))
                return fault(at,
                             QStringLiteral("a value id is written in plain decimal digits, as dump writes it "
                                            "(no sign, space or leading zero)"));
            const int width = idNumber <= 0xFFFF ? valueWidth(uint16_t(idNumber)) : -1;
            if (width < 0)
                return fault(at, QStringLiteral("unknown value id"));
            const uint16_t id = uint16_t(idNumber);
            QByteArray data;
            if (!valueBytes(it.value(), width, at, &data))
                return false;
            bool stored = m_store.setBytes(ValueId(id), data);
            // The mask block is also written the way the editor writes it.
            if (!stored && id == toU16(ValueId::Lx1Masks))
                stored = m_store.setBlock(data);
            if (!stored)
                return storeFault(at, "the store refused the value");
        }
        return true;
    }

    StoreCursor m_store;
    QString m_error;
};

// ---- members given twice ----

// QJsonDocument keeps only the last of two members of one name, so a tree
// that gives a value twice would lose the first without a word. Scans the
// text (already parsed, so well-formed) and names the first member given
// twice by its path.
struct Level {
    bool object = false;
    bool expectKey = false;
    int index = 0;  // array: the element
    QString key;  // object: the member
    QSet<QString> keys;
};

QString pathOf(const std::vector<Level> &levels)
{
    QString path = QStringLiteral("$");
    for (const Level &l : levels)
        path += l.object ? QLatin1Char('.') + l.key : QStringLiteral("[%1]").arg(l.index);
    return path;
}

// Steps i over the string token that starts at it (its opening quote);
// true when the string holds an escape.
bool skipString(const QByteArray &json, qsizetype &i)
{
    bool escaped = false, any = false;
    for (++i; i < json.size();) {
        const char c = json.at(i++);
        if (escaped)
            escaped = false;
        else if (c == '\\')
            escaped = any = true;
        else if (c == '"')
            break;
    }
    return any;
}

QString keyText(const QByteArray &json, qsizetype start, qsizetype end, bool escaped)
{
    if (!escaped)
        return QString::fromUtf8(json.constData() + start + 1, end - start - 2);
    return QJsonDocument::fromJson("[" + json.mid(start, end - start) + "]").array().at(0).toString();
}

QString memberGivenTwice(const QByteArray &json)
{
    std::vector<Level> levels;
    for (qsizetype i = 0; i < json.size();) {
        const char c = json.at(i);
        Level *top = levels.empty() ? nullptr : &levels.back();
        if (c == '"') {
            const qsizetype start = i;
            const bool escaped = skipString(json, i);
            if (top && top->object && top->expectKey) {
                top->expectKey = false;
                top->key = keyText(json, start, i, escaped);
                if (top->keys.contains(top->key))
                    return pathOf(levels);
                top->keys.insert(top->key);
            }
            continue;
        }
        if (c == '{' || c == '[')
            levels.push_back(Level{c == '{', c == '{', 0, {}, {}});
        else if ((c == '}' || c == ']') && top)
            levels.pop_back();
        else if (c == ',' && top)
            top->object ? void(top->expectKey = true) : void(++top->index);
        ++i;
    }
    return QString();
}

}  // namespace

bool dump(StoreSession session, QByteArray *json, QString *error)
{
    QString why;
    QJsonArray items;
    StoreCursor c(session);
    if (!c.root() || !dumpChildren(c, &items, &why)) {
        *error = why.isEmpty() ? storeError() : why;
        return false;
    }
    QJsonObject root;
    root.insert(QStringLiteral("format"), QLatin1String(kFormat));
    root.insert(QStringLiteral("version"), kVersion);
    root.insert(QStringLiteral("items"), items);
    *json = QJsonDocument(root).toJson(QJsonDocument::Indented);
    return true;
}

bool load(const QByteArray &json, UniqueSession *session, QString *error)
{
    session->reset();
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parse);
    if (parse.error != QJsonParseError::NoError) {
        // Report line and column rather than a byte offset.
        const QByteArray before = json.left(parse.offset);
        const int line = int(before.count('\n')) + 1;
        const int column = int(parse.offset - (before.lastIndexOf('\n') + 1)) + 1;
        *error = QStringLiteral("$: malformed JSON at line %1, column %2: %3")
                     .arg(line)
                     .arg(column)
                     .arg(parse.errorString());
        return false;
    }
    if (!doc.isObject()) {
        *error = QStringLiteral("$: expected an object");
        return false;
    }
    if (const QString twice = memberGivenTwice(json); !twice.isEmpty()) {
        *error = QStringLiteral("%1: given twice in one object").arg(twice);
        return false;
    }
    const QJsonObject root = doc.object();
    for (auto it = root.begin(); it != root.end(); ++it) {
        if (it.key() != QLatin1String("format") && it.key() != QLatin1String("version")
            && it.key() != QLatin1String("items")) {
            *error = QStringLiteral("$.%1: unknown member").arg(it.key());
            return false;
        }
    }
    if (root.value(QLatin1String("format")) != QJsonValue(QLatin1String(kFormat))) {
        *error = QStringLiteral("$.format: expected \"%1\"").arg(QLatin1String(kFormat));
        return false;
    }
    if (root.value(QLatin1String("version")) != QJsonValue(kVersion)) {
        *error = QStringLiteral("$.version: expected %1 (this program reads version %1 only)").arg(kVersion);
        return false;
    }
    if (!root.contains(QLatin1String("items"))) {
        *error = QStringLiteral("$: missing \"items\"");
        return false;
    }

    UniqueSession s = UniqueSession::create();
    if (!s) {
        *error = QStringLiteral("cannot create a store session: %1").arg(storeError());
        return false;
    }
    Loader loader(s.get());
    if (!s.cursor().root() || !loader.items(root.value(QLatin1String("items")), QStringLiteral("$.items"))) {
        *error = loader.error().isEmpty() ? storeError() : loader.error();
        return false;
    }
    s.cursor().root();
    *session = std::move(s);
    return true;
}

bool dumpFile(const QByteArray &latin1Path, QByteArray *json, QString *error, bool *opened)
{
    UniqueSession session = UniqueSession::open(latin1Path);
    *opened = bool(session);
    if (!session) {
        *error = storeError();
        return false;
    }
    return dump(session.get(), json, error);
}

bool loadFile(const QByteArray &json, const QByteArray &latin1Path, QString *error, bool *loaded)
{
    UniqueSession session;
    *loaded = load(json, &session, error);
    if (!*loaded)
        return false;
    if (session.save(latin1Path))
        return true;
    *error = storeError();
    return false;
}

}  // namespace kelda::setuptree
