#include "pmdelegate.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QSortFilterProxyModel>
#include <QSpinBox>

#include "pmmodel.h"

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
        spin->setRange(0.0, 32.76);
        spin->setSingleStep(0.005);
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
        spin->setSingleStep(0.4);
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
        // Unknown text: the combo box stays on its first item.
        const int found = combo->findText(value.toString(), Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (found >= 0)
            combo->setCurrentIndex(found);
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
    if (auto combo = qobject_cast<QComboBox *>(editor)) {
        model->setData(index, combo->currentText(), Qt::EditRole);
    } else if (auto dspin = qobject_cast<QDoubleSpinBox *>(editor)) {
        dspin->interpretText();
        model->setData(index, dspin->value(), Qt::EditRole);
    } else if (auto spin = qobject_cast<QSpinBox *>(editor)) {
        spin->interpretText();
        model->setData(index, spin->value(), Qt::EditRole);
    } else {
        QStyledItemDelegate::setModelData(editor, model, index);
    }
}

void PMDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                      const QModelIndex &) const
{
    editor->setGeometry(option.rect);
}
