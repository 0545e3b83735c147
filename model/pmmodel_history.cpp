// PMModel: the change history. A recorded step holds the whole setup before
// and after it, so that undo puts back exactly what was there, the uses that
// a Remove took along and the references a rename rewrote included.
// Consecutive steps share the setup between them. Each is kept as the bytes
// of its setup file, compressed: a hundred steps of the largest setup then
// hold a few megabytes, where copies of the session held a hundred times more.
#include "pmmodel.h"
#include "pmmodel_p.h"

using namespace kelda;

namespace {

// zlib's fastest level: the file's packed integers and repeated names shrink
// about tenfold even so, and a change must be recorded within milliseconds.
constexpr int kSnapshotCompression = 1;

SetupSnapshot snapshotOf(const UniqueSession &session)
{
    QByteArray image;
    if (!session.saveImage(image))
        return nullptr;
    QByteArray packed = qCompress(image, kSnapshotCompression);
    packed.squeeze();  // zlib's worst-case buffer would stay with every step
    return std::make_shared<const QByteArray>(std::move(packed));
}

// "Reset Value/s" -> "Reset Value": the unit says nothing in a sentence.
QString headerNoun(const char *header)
{
    QString h = QString::fromLatin1(header).trimmed();
    const int slash = h.lastIndexOf(QLatin1Char('/'));
    if (slash > 0 && slash >= h.size() - 2)
        h.truncate(slash);
    return h;
}

}  // namespace

void PMModel::setRecording(bool on)
{
    m_recording = on;
    m_changeDepth = 0;
    m_changePending = false;
    if (on)
        startHistory();
    else
        m_top.reset();
}

void PMModel::startHistory()
{
    if (!m_recording)
        return;
    m_top = snapshotOf(m_session);
    emit historyReset();
}

void PMModel::beginChange(const QString &text, int row, int column, int mergeKey)
{
    if (m_changeDepth++ > 0) {
        // The outer change names the step; one opened without a name takes the first inner one.
        if (m_change.text.isEmpty()) {
            m_change.text = text;
            m_change.row = row;
            m_change.column = column;
        }
        return;
    }
    m_changePending = false;
    m_change = SetupStep{text, nullptr, nullptr, m_mode, row, column, mergeKey};
}

void PMModel::endChange()
{
    if (m_changeDepth == 0 || --m_changeDepth > 0)
        return;
    if (m_changePending && m_recording) {
        m_changePending = false;
        SetupStep step = std::move(m_change);
        step.before = m_top;
        step.after = m_top = snapshotOf(m_session);
        emit changeRecorded(step);
    }
}

void PMModel::noteChange()
{
    if (!m_recording)
        return;
    if (m_changeDepth > 0) {
        m_changePending = true;
        return;
    }
    beginChange(QStringLiteral("Change"));
    m_changePending = true;
    endChange();
}

void PMModel::restoreSnapshot(const SetupSnapshot &snapshot)
{
    if (!snapshot)
        return;
    UniqueSession copy = UniqueSession::openImage(qUncompress(*snapshot));
    if (!copy)
        return;
    beginResetModel();
    m_session = std::move(copy);
    m_top = snapshot;
    m_modified = true;  // the history's owner knows whether this is the saved state
    endResetModel();
    emit setupChanged();
}

// What a cell edit is called in the history: "Rename "Timer 1"",
// "Change CAN Code of "CAN Input 2"".
QString PMModel::editText(int row, int column) const
{
    const ColumnSpec *col = columnSpec(m_mode, column);
    if (!col)
        return QStringLiteral("Change");
    QString name = itemName(modeItemType(), row);
    if (name.isEmpty())
        name = data(index(row, 0)).toString().trimmed();
    if (col->value == ValueId::Name)
        return QStringLiteral("Rename \"%1\"").arg(name);
    return QStringLiteral("Change %1 of \"%2\"").arg(headerNoun(col->header), name);
}

QString PMModel::optionText(int index)
{
    const OptionSpec *spec = optionSpec(index);
    return spec ? QStringLiteral("Change %1").arg(headerNoun(spec->label)) : QStringLiteral("Change");
}

QString PMModel::rowText(const char *verb, const QString &name) const
{
    const ModeSpec *m = modeSpec(m_mode);
    QString noun = QString::fromLatin1(m ? m->noun : "row");
    if (!noun.isEmpty() && noun.at(0).isLower())
        noun[0] = noun.at(0).toUpper();
    return QStringLiteral("%1 %2 \"%3\"").arg(QLatin1String(verb), noun, name);
}

QString PMModel::listText(int row) const
{
    const QString name = itemName(listOwnerType(), row);
    return listOwnerType() == ItemType::State ? QStringLiteral("Edit Outputs of \"%1\"").arg(name)
                                              : QStringLiteral("Edit Actions of \"%1\"").arg(name);
}

int PMModel::listColumn() const
{
    return listOwnerType() == ItemType::State ? int(StateCol::Outputs) : int(EventCol::Actions);
}
