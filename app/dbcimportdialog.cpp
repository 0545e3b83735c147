#include "dbcimportdialog.h"

#include <QAction>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

#include "dbcimport.h"
#include "kelda.h"
#include "settings.h"
#include "setupview.h"
#include "texts.h"
#include "ui_kelda.h"

using namespace kelda;

namespace {

QString opsText(const QList<dbc::Op> &ops)
{
    QStringList out;
    for (const dbc::Op op : ops)
        out << QLatin1String(dbc::opText(op));
    return out.join(QStringLiteral(", "));
}

QString classCell(const dbc::Classification &c)
{
    switch (c.cls) {
    case dbc::Class::Exact:
        return QStringLiteral("exact (%1)").arg(opsText(c.exact));
    case dbc::Class::Approximate:
        return QStringLiteral("approximate (%1)").arg(opsText(c.approximate));
    case dbc::Class::Impossible:
        break;
    }
    return QStringLiteral("impossible");
}

QString channelCell(const dbc::Classification &c)
{
    if (!c.fit)
        return {};
    if (c.fit->channel.isByte)
        return c.fit->channelText();
    return c.fit->channelText() + QStringLiteral(", ") + QLatin1String(kEndiannessTexts[c.fit->littleEndian ? 1 : 0]);
}

// A number as the user types it: the C locale's form or the system's.
std::optional<double> typedNumber(const QString &text)
{
    bool ok = false;
    double v = QLocale::c().toDouble(text.trimmed(), &ok);
    if (!ok)
        v = QLocale::system().toDouble(text.trimmed(), &ok);
    return ok && std::isfinite(v) ? std::optional<double>(v) : std::nullopt;
}

}  // namespace

void DbcSignalModel::setDatabase(const dbc::Database *db, const dbc::SignalList *list)
{
    beginResetModel();
    m_db = db;
    m_list = list;
    m_shown.clear();
    endResetModel();
}

void DbcSignalModel::setShown(const QList<int> &rows)
{
    beginResetModel();
    m_shown = rows;
    endResetModel();
}

int DbcSignalModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_shown.size());
}

int DbcSignalModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : Count;
}

QVariant DbcSignalModel::data(const QModelIndex &index, int role) const
{
    if (!m_list || !index.isValid() || index.row() >= m_shown.size())
        return {};
    const dbc::SignalRow &r = m_list->rows().at(m_shown.at(index.row()));
    const dbc::Message &m = m_db->messages.at(r.message);
    const dbc::Signal &s = m.signalList.at(r.signal);
    if (role == Qt::ToolTipRole)
        return s.comment.isEmpty() ? r.classification.reason : s.comment;
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case Signal:
        return s.name;
    case Message:
        return m.name;
    case Identifier:
        return dbc::idText(m.id, m.extended);
    case Unit:
        return s.unit;
    case Class:
        return classCell(r.classification);
    case Channel:
        return channelCell(r.classification);
    case Reason:
        return r.classification.reason;
    }
    return {};
}

QVariant DbcSignalModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const char *const names[] = {"Signal", "Message", "Identifier", "Unit", "Class", "Channel", "Reason"};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= Count)
        return QAbstractTableModel::headerData(section, orientation, role);
    return QLatin1String(names[section]);
}

DbcImportDialog::DbcImportDialog(PMModel *model, QWidget *parent)
    : QDialog(parent), m_setup(model), m_model(new DbcSignalModel(this))
{
    setWindowTitle(QStringLiteral("Import from DBC"));
    setObjectName(QStringLiteral("DbcImportDialog"));
    buildLayout();
    connect(m_search, &QLineEdit::textChanged, this, &DbcImportDialog::search);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this, &DbcImportDialog::updatePreview);
    connect(m_compare, &QComboBox::currentIndexChanged, this, &DbcImportDialog::updatePreview);
    connect(m_value, &QLineEdit::textChanged, this, &DbcImportDialog::updatePreview);
    connect(m_name, &QLineEdit::textChanged, this, &DbcImportDialog::updatePreview);
    connect(m_import, &QPushButton::clicked, this, &DbcImportDialog::importChosen);
    updatePreview();
}

void DbcImportDialog::buildLayout()
{
    auto *layout = new QVBoxLayout(this);
    m_file = new QLabel(this);
    layout->addWidget(m_file);
    m_search = new QLineEdit(this);
    m_search->setObjectName(QStringLiteral("dbcSearch"));
    m_search->setPlaceholderText(QStringLiteral("Search by signal, message, unit or identifier (0x280 or 640)"));
    m_search->setClearButtonEnabled(true);
    layout->addWidget(m_search);
    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("dbcSignals"));
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(m_table, 1);
    auto *form = new QFormLayout;
    m_compare = new QComboBox(this);
    for (const dbc::Op op : {dbc::Op::Greater, dbc::Op::Less, dbc::Op::Equal, dbc::Op::Bit})
        m_compare->addItem(op == dbc::Op::Bit ? QStringLiteral("Bit set") : QLatin1String(dbc::opText(op)), int(op));
    form->addRow(QStringLiteral("Comparison:"), m_compare);
    m_value = new QLineEdit(this);
    m_value->setPlaceholderText(QStringLiteral("in the signal's units"));
    form->addRow(QStringLiteral("Threshold:"), m_value);
    m_name = new QLineEdit(this);
    m_name->setPlaceholderText(QStringLiteral("the signal's name"));
    form->addRow(QStringLiteral("Input name:"), m_name);
    layout->addLayout(form);
    m_preview = new QLabel(this);
    m_preview->setWordWrap(true);
    m_preview->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_preview);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    m_import = buttons->addButton(QStringLiteral("Import"), QDialogButtonBox::ActionRole);
    m_import->setDefault(true);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(900, 560);
}

bool DbcImportDialog::openFile(const QString &path, QString *reason)
{
    dbc::Database db;
    if (!dbc::readFile(path, &db, reason))
        return false;
    m_path = path;
    m_db = std::move(db);
    const dbc::SetupContext context = dbc::SetupContext::from(SetupView::read(m_setup->session()));
    m_list = dbc::SignalList(m_db, &context);
    m_model->setDatabase(&m_db, &m_list);
    m_file->setText(QStringLiteral("%1: %2 messages, %3 signals; %4 lines not taken (kelda-cli dbc-signals lists them)")
                        .arg(QFileInfo(path).fileName())
                        .arg(m_db.messages.size())
                        .arg(m_db.signalCount())
                        .arg(m_db.skipped.size()));
    search(m_search->text());
    return true;
}

void DbcImportDialog::search(const QString &text)
{
    m_model->setShown(m_list.search(text));
    updatePreview();
}

bool DbcImportDialog::plan(QList<dbc::ImportPlan> *plans, QString *why) const
{
    QList<int> rows;
    for (const QModelIndex &i : m_table->selectionModel()->selectedRows())
        rows << m_model->listRow(i.row());
    std::sort(rows.begin(), rows.end());
    if (rows.isEmpty()) {
        *why = QStringLiteral("Choose one or more signals.");
        return false;
    }
    const std::optional<double> value = typedNumber(m_value->text());
    if (!value) {
        *why = QStringLiteral("Type the threshold in the signal's units.");
        return false;
    }
    QList<dbc::ImportRequest> requests;
    for (const int r : rows) {
        const dbc::SignalRow &row = m_list.rows().at(r);
        dbc::ImportRequest q;
        q.message = m_db.messages.at(row.message);
        q.signal = q.message.signalList.at(row.signal);
        q.op = dbc::Op(m_compare->currentData().toInt());
        q.value = *value;
        q.name = rows.size() == 1 ? m_name->text().trimmed() : QString();
        requests << q;
    }
    return dbc::planImport(SetupView::read(m_setup->session()), requests, plans, why);
}

void DbcImportDialog::updatePreview()
{
    m_name->setEnabled(m_table->selectionModel()->selectedRows().size() <= 1);
    QList<dbc::ImportPlan> plans;
    QString why;
    const bool ok = plan(&plans, &why);
    QStringList lines;
    for (const dbc::ImportPlan &p : plans)
        lines << p.description;
    m_preview->setText(ok ? lines.join(QLatin1Char('\n')) : why);
    m_import->setEnabled(ok);
}

void DbcImportDialog::importChosen()
{
    QList<dbc::ImportPlan> plans;
    QString why;
    if (!plan(&plans, &why) || !dbc::applyImport(*m_setup, plans, &why)) {
        m_preview->setText(why);
        return;
    }
    emit imported(
        int(plans.size()),
        plans.size() == 1
            ? QStringLiteral("Imported CAN input %1").arg(plans.first().description)
            : QStringLiteral("Imported %1 CAN inputs from %2").arg(plans.size()).arg(QFileInfo(m_path).fileName()));
    accept();
}

void installDbcImport(KELDA *window)
{
    QAction *action = window->form()->action_ImportDbc;
    QTableView *view = window->view(int(Mode::CanInputs));
    view->addAction(action);
    view->setContextMenuPolicy(Qt::ActionsContextMenu);
    // Beside Remove and Add, at the left of their row.
    auto *button = new QToolButton(window->form()->tab_6);
    button->setObjectName(QStringLiteral("importDbcButton"));
    button->setDefaultAction(action);
    if (auto *grid = qobject_cast<QGridLayout *>(window->form()->tab_6->layout()))
        grid->addWidget(button, 1, 0, Qt::AlignLeft);
    QObject::connect(action, &QAction::triggered, window, [window] { importFromDbc(window); });
}

void importFromDbc(KELDA *window)
{
    window->form()->tabWidget->setCurrentIndex(int(Mode::CanInputs));
    const QString title = texts::title();
    const QString path = window->prompter().openFileName(window, QStringLiteral("Import from DBC"),
                                                         settings::read(window->settings(), settings::Key::DefaultPath),
                                                         QStringLiteral("CAN databases (*.dbc);;All files (*.*)"));
    if (path.isEmpty())
        return;
    DbcImportDialog dialog(window->model(), window);
    QString reason;
    if (!dialog.openFile(path, &reason)) {
        window->prompter().tell(
            window, QMessageBox::Warning, title,
            QStringLiteral("The CAN database %1 could not be read: %2.").arg(QDir::toNativeSeparators(path), reason));
        return;
    }
    QObject::connect(&dialog, &DbcImportDialog::imported, window,
                     [window](int, const QString &summary) { window->showStatus(summary); });
    window->prompter().exec(&dialog);
}
