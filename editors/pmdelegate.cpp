#include "pmdelegate.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QCompleter>
#include <QLineEdit>
#include <QPainter>
#include <QStyle>
#include <QDoubleSpinBox>
#include <QSortFilterProxyModel>
#include <QSpinBox>

#include "pmmodel.h"
#include "schema.h"
#include "strictspinbox.h"

namespace {

bool isEventInput(const PMModel *model, int column)
{
    using namespace kelda::EventCol;
    return model && model->mode() == int(Mode::Events) && column >= Input1 && column < Actions
        && (column - Input1) % kColumnsPerInput == 0;
}

// Draws a line above the first choice of each kind (keys, switches, CAN
// inputs, timers, states), which come in that order. The items themselves
// stay the plain choices, so an item's index is its place among them.
class GroupLineDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    static bool startsGroup(const QModelIndex &index)
    {
        if (index.row() == 0)
            return false;
        const QModelIndex before = index.siblingAtRow(index.row() - 1);
        return PMModel::prefixType(before.data().toString()) != PMModel::prefixType(index.data().toString());
    }
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::paint(painter, option, index);
        if (startsGroup(index)) {
            painter->save();
            painter->setPen(option.palette.color(QPalette::Mid));
            painter->drawLine(option.rect.topLeft(), option.rect.topRight());
            painter->restore();
        }
    }
};

// The inputs of an event, grouped by kind; typing any part of a name offers
// the choices holding it.
void fillGrouped(QComboBox *combo, const QStringList &choices)
{
    combo->insertItems(0, choices);
    combo->view()->setItemDelegate(new GroupLineDelegate(combo->view()));
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->completer()->setCompletionMode(QCompleter::PopupCompletion);
    combo->completer()->setFilterMode(Qt::MatchContains);
    combo->completer()->setCaseSensitivity(Qt::CaseInsensitive);
}

}  // namespace

PMDelegate::PMDelegate(QObject *parent) : QStyledItemDelegate(parent)
{ }

const PMModel *PMDelegate::pmModel(const QModelIndex &index)
{
    const QAbstractItemModel *model = index.model();
    if (auto proxy = qobject_cast<const QSortFilterProxyModel *>(model))
        model = proxy->sourceModel();
    return qobject_cast<const PMModel *>(model);
}

QWidget *PMDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    // Only the column and the model's mode decide, so the proxy index serves.
    const PMModel *model = pmModel(index);
    const auto kind = model ? static_cast<EditorKind>(model->editorKind(index)) : EditorKind::Default;

    switch (kind) {
    case EditorKind::Choice: {
        auto combo = new QComboBox(parent);
        const QStringList choices = index.model()->data(index, Qt::UserRole).toStringList();
        if (isEventInput(model, index.column()))
            fillGrouped(combo, choices);
        else
            combo->insertItems(0, choices);
        // The list opens at least as wide as its longest choice, whatever the column's width.
        QAbstractItemView *list = combo->view();
        list->setMinimumWidth(list->sizeHintForColumn(0) + list->style()->pixelMetric(QStyle::PM_ScrollBarExtent)
                              + 2 * list->frameWidth());
        return combo;
    }
    case EditorKind::Seconds: {
        auto spin = new StrictDoubleSpinBox(parent);
        spin->setDecimals(3);
        // Everything a timer can hold, so that a loaded run time is never clamped.
        spin->setRange(0.0, 0xFFFF * kelda::kTickMs / 1000.0);
        spin->setSingleStep(kelda::kTickMs / 1000.0);
        spin->setUnit(QStringLiteral("s"));
        spin->setAnyDecimals(true);  // the model rounds to a tick and says so
        return spin;
    }
    case EditorKind::Integer: {
        auto spin = new StrictSpinBox(parent);
        spin->setRange(0, 65535);
        spin->setSingleStep(1);
        return spin;
    }
    case EditorKind::Dialog:
        // The click opens a dialog instead.
        return nullptr;
    case EditorKind::Current: {
        auto spin = new StrictDoubleSpinBox(parent);
        spin->setDecimals(1);
        spin->setRange(0.0, 102.0);
        spin->setSingleStep(kelda::kAmpsPerStep);
        spin->setUnit(QStringLiteral("A"));
        spin->setAnyDecimals(true);  // the model rounds to a 0.4 A step and says so
        return spin;
    }
    case EditorKind::Default:
        break;
    }
    return QStyledItemDelegate::createEditor(parent, option, index);
}

void PMDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    const QVariant value = index.model()->data(index, Qt::EditRole);
    if (auto combo = qobject_cast<QComboBox *>(editor)) {
        // Unknown text: no item is current, so leaving the cell writes nothing.
        combo->setCurrentIndex(combo->findText(value.toString(), Qt::MatchExactly | Qt::MatchCaseSensitive));
    } else if (auto dspin = qobject_cast<QDoubleSpinBox *>(editor)) {
        dspin->setValue(value.toDouble());
    } else if (auto spin = qobject_cast<QSpinBox *>(editor)) {
        spin->setValue(static_cast<int>(value.toUInt() & 0xFFFFu));
    } else {
        QStyledItemDelegate::setEditorData(editor, index);
    }
}

void PMDelegate::setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const
{
    bool accepted = true;
    if (auto combo = qobject_cast<QComboBox *>(editor)) {
        // A typed text counts only when it is one of the choices.
        const QString text = combo->currentText();
        const int chosen = !combo->isEditable() ? combo->currentIndex()
            : text.isEmpty()                    ? -1
                                                : combo->findText(text, Qt::MatchFixedString | Qt::MatchCaseSensitive);
        if (chosen < 0)
            return;  // nothing chosen
        accepted = model->setData(index, combo->itemText(chosen), Qt::EditRole);
    } else if (auto strict = qobject_cast<StrictDoubleSpinBox *>(editor)) {
        // The whole text as typed, every digit of it; anything else is refused.
        if (const QString why = strict->problem(); !why.isEmpty()) {
            emit commitRefused(editor->parentWidget(), why);
            return;
        }
        accepted = model->setData(index, strict->typedValue(), Qt::EditRole);
    } else if (auto strictInt = qobject_cast<StrictSpinBox *>(editor)) {
        if (const QString why = strictInt->problem(); !why.isEmpty()) {
            emit commitRefused(editor->parentWidget(), why);
            return;
        }
        accepted = model->setData(index, strictInt->typedValue(), Qt::EditRole);
    } else if (auto dspin = qobject_cast<QDoubleSpinBox *>(editor)) {
        dspin->interpretText();
        accepted = model->setData(index, dspin->value(), Qt::EditRole);
    } else if (auto spin = qobject_cast<QSpinBox *>(editor)) {
        spin->interpretText();
        accepted = model->setData(index, spin->value(), Qt::EditRole);
    } else {
        QStyledItemDelegate::setModelData(editor, model, index);  // its result is not handed back
        const PMModel *pm = pmModel(index);
        accepted = !pm || pm->lastEditError().isEmpty();
    }
    const PMModel *pm = pmModel(index);
    if (!accepted && pm && !pm->lastEditError().isEmpty())
        emit commitRefused(editor->parentWidget(), pm->lastEditError());
}

void PMDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option, const QModelIndex &) const
{
    editor->setGeometry(option.rect);
}
