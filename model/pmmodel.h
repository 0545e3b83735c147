// PMModel: the one table model of the main window. It shows one table of the
// setup at a time (its mode) and reads and writes every cell in the store at
// the moment it is asked; it caches nothing.
#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "pmcolumns.h"
#include "schema.h"
#include "storecursor.h"

namespace kelda {

// The whole setup at one moment: the bytes of its setup file, compressed
// (a few tens of kilobytes where a session of the largest setup holds
// megabytes); restoring opens them with every check a file gets.
using SetupSnapshot = std::shared_ptr<const QByteArray>;

// One change of the setup, as the undo history keeps it: the setup before and
// after it, what it was and where it was made.
struct SetupStep {
    QString text;  // "Rename \"Timer 1\"", "Remove State \"Beacons\""
    SetupSnapshot before;
    SetupSnapshot after;
    int mode = -1;  // the table (model mode) it was made in
    int row = -1;  // its row there; -1 for none
    int column = -1;
    int mergeKey = -1;  // consecutive steps of one key (>= 0) may become one
};

}  // namespace kelda

class PMModel : public QAbstractTableModel
{
    Q_OBJECT
    // The column table's cell operations use the private row and reference operations.
    friend struct kelda::ColumnOps;

public:
    explicit PMModel(QObject *parent = nullptr);
    ~PMModel() override;

    // Qt model interface
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool insertRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;
    bool removeRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;

    int mode() const { return m_mode; }
    kelda::ItemType modeItemType() const;
    static kelda::ItemType itemTypeOfMode(int mode);
    int itemCount(kelda::ItemType type) const;

    int editorKind(const QModelIndex &index) const;
    QStringList choices(int row, int column) const;

    // Options page (conversions: seconds x 100, codes, clamps)
    double option(int index) const;
    void setOption(int index, double value);

    // Setup lifecycle
    bool createSetup();
    void newSetup();
    bool openSetup(const QString &path);
    bool saveSetup(const QString &path);
    QString fileName() const { return m_fileName; }
    bool isModified() const { return m_modified; }
    void setModified(bool modified) { m_modified = modified; }
    bool isSessionOpen() const { return m_session.isOpen(); }
    StoreSession session() const { return m_session.get(); }
    // Why the last openSetup/saveSetup failed, for the user: what failed and why.
    QString lastError() const { return m_lastError; }
    // The same reason alone ("No such file or directory"), for a caller that
    // says itself what failed; empty after a success.
    QString errorString() const { return m_errorString; }
    // Why the last setData was refused, in a sentence for the user; empty after an accepted one.
    QString lastEditError() const { return m_editError; }
    // What the last accepted setData stored differently from what was typed
    // ("Stored as 5.2 A: ..."); empty when it stored the value as given.
    QString lastEditNote() const { return m_editNote; }

    // Rows and names
    QString defaultName(kelda::ItemType type) const;
    QString itemName(kelda::ItemType type, int index) const;

    // Event priorities: a gapless ranking 1..number of events
    int eventPriority(int row) const;
    bool setEventPriority(int row, int priority);
    void deleteEvent(int row);

    // Event inputs (k = 0..2); text is a prefixed input text such as "KP: Keypad 1"
    bool setEventInput(int row, int input, const QString &text);
    QString eventInputText(int row, int input) const;
    QString eventConditionText(int row, int input) const;  // may write back a normalised code
    QString eventCombineText(int row, int input) const;

    // Action lists of events (mode 4) and output lists of states (mode 5)
    int listEntryCount(int row, int list) const;
    QString listEntryName(int row, int list, int entry) const;
    bool setListEntry(int row, int list, int entry, const QString &name);
    bool addListEntry(int row, int list);
    bool removeListEntry(int row, int list, int entry);
    // Every list of the row, one line each ("States to Set: Beacons, Horn"); empty outside events and states.
    QString listSummary(int row) const;

    // Summary texts and choice lists
    static QString typePrefix(kelda::ItemType type);
    static kelda::ItemType prefixType(const QString &text);
    static QString conditionText(int code);
    static int normalizeCondition(kelda::ItemType type, int code, bool *wasValid = nullptr);
    QStringList inputChoices() const;
    QStringList canInputNames() const;
    QStringList conditionChoices(int row, int column) const;
    QStringList stateChoices() const;
    QStringList timerChoices() const;
    QStringList itemChoices(kelda::ItemType type) const;

    // Raw image compiler (image/imagecompiler.cpp)
    bool writeRawImage(const QString &fileName);
    QString imageError() const { return m_imageError; }  // why the last compile failed
    QList<uint16_t> canIdList(kelda::ItemType type);
    bool eventByPriority(int priority);

    // Change history (pmmodel_history.cpp). While recording, each change is
    // announced by changeRecorded as one step; the changes between an outer
    // beginChange and its endChange make one step together.
    void setRecording(bool on);
    bool isRecording() const { return m_recording; }
    void beginChange(const QString &text, int row = -1, int column = -1, int mergeKey = -1);
    void endChange();
    // Puts a recorded setup in place (undo and redo) as a model reset.
    void restoreSnapshot(const kelda::SetupSnapshot &snapshot);

public slots:
    void setMode(int mode);

signals:
    // The setup's content changed, or another setup was put in place.
    void setupChanged();
    // An accepted cell edit stored something else than was typed; `note` says what.
    void editNoted(const QString &note);
    // While recording: one change made (after it was written).
    void changeRecorded(const kelda::SetupStep &step);
    // A new or opened setup is in place: earlier steps no longer apply to it.
    void historyReset();

private:
    // The session every access goes to; null while none is open.
    StoreSession liveSession() const { return m_session.get(); }
    void announceRefresh(const QModelIndex &index, kelda::Refresh refresh);
    void markModified()
    {
        m_modified = true;
        emit setupChanged();
        noteChange();
    }
    // Records a step now, or at the end of the change that is open.
    void noteChange();
    void startHistory();
    // Opens a change only while recording, so the text is built only then.
    class ChangeScope;
    QString editText(int row, int column) const;
    static QString optionText(int index);
    QString rowText(const char *verb, const QString &name) const;
    // "Edit Actions of "Event 1"", "Edit Outputs of "Beacons"": a change of the lists of the current mode's row.
    QString listText(int row) const;
    int listColumn() const;
    void setEndianness(int row, bool little);
    // CAN input `row` takes the byte order of the first other input of its
    // identifier; true (and the order) when that changed it.
    bool followByteOrder(int row, bool *little = nullptr);
    kelda::WriteResult rename(kelda::ItemType type, int row, const QString &name);
    // Why a name cannot be given to item row of the type; empty when it can.
    QString nameProblem(kelda::ItemType type, int row, const QString &name) const;
    void renameReferences(kelda::ItemType type, const QString &oldName, const QString &newName);
    QString pwmInputName(int row) const;
    bool setPwmInput(int row, const QString &name);
    // Adds or removes an entry of list `list` of the current mode's row, as one change.
    bool editList(int row, int list, const std::function<bool(kelda::StoreCursor &)> &edit);
    // Owner of the action/output lists in the current mode (Event, State or None).
    kelda::ItemType listOwnerType() const;
    static kelda::ItemType listTargetType(kelda::ItemType owner, int list);
    // Rewrites event priorities so that they stay a gapless ranking.
    void writePriorities(const QList<int> &before, const QList<int> &after);
    QList<int> readPriorities() const;
    static void closePriorityGap(QList<int> &priorities, int row);
    void upgradeSetup();
    void setStoreError(const QString &what, const QString &path);
    // Records a failure: what failed, and why.
    void setFailure(const QString &what, const QString &reason);

    int m_mode = 0;
    bool m_modified = false;
    QString m_fileName;
    kelda::UniqueSession m_session;
    QString m_lastError;
    QString m_errorString;
    QString m_editError;
    QString m_editNote;
    QString m_imageError;

    bool m_recording = false;
    kelda::SetupSnapshot m_top;  // the setup as the last recorded step left it
    int m_changeDepth = 0;
    bool m_changePending = false;
    kelda::SetupStep m_change;  // the outermost open change
};
