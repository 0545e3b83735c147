#include "pmdelegate.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QSortFilterProxyModel>
#include <QSpinBox>

#include "pmmodel.h"
#include "schema.h"

PMDelegate::PMDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

const PMModel *PMDelegate::pmModel(const QModelIndex &index)
{
    const QAbstractItemModel *model = index.model();
    if (auto proxy = qobject_cast<const QSortFilterProxyModel *>(model))
        model = proxy->sourceModel();
    return qobject_cast<const PMModel *>(model);
}

QWidget *PMDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                                  const QModelIndex &index) const
{
    // Only the column and the model's mode decide, so the proxy index serves.
    const PMModel *model = pmModel(index);
    const auto kind = model ? static_cast<EditorKind>(model->editorKind(index))
                            : EditorKind::Default;

    switch (kind) {
    case EditorKind::Choice: {
        auto combo = new QComboBox(parent);
        combo->insertItems(0, index.model()->data(index, Qt::UserRole).toStringList());
        return combo;
    }
    case EditorKind::Seconds: {
        auto spin = new QDoubleSpinBox(parent);
        spin->setDecimals(3);
        // Everything a timer can hold, so that a loaded run time is never clamped.
        spin->setRange(0.0, 0xFFFF * kelda::kTickMs / 1000.0);
        spin->setSingleStep(kelda::kTickMs / 1000.0);
        return spin;
    }
    case EditorKind::Integer: {
        auto spin = new QSpinBox(parent);
        spin->setRange(0, 65535);
        spin->setSingleStep(1);
        return spin;
    }
    case EditorKind::Dialog:
        // The click opens a dialog instead.
        return nullptr;
    case EditorKind::Current: {
        auto spin = new QDoubleSpinBox(parent);
        spin->setDecimals(1);
        spin->setRange(0.0, 102.0);
        spin->setSingleStep(kelda::kAmpsPerStep);
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

void PMDelegate::setModelData(QWidget *editor, QAbstractItemModel *model,
                              const QModelIndex &index) const
{
    bool accepted = true;
    if (auto combo = qobject_cast<QComboBox *>(editor)) {
        if (combo->currentIndex() < 0)
            return;  // nothing chosen
        accepted = model->setData(index, combo->currentText(), Qt::EditRole);
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

void PMDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                      const QModelIndex &) const
{
    editor->setGeometry(option.rect);
}
