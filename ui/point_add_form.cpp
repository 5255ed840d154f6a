#include "ui/point_add_form.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui/design_font.h"
#include "ui/dialog_logic.h"
#include "ui/message_box.h"
#include "ui/ui_texts.h"
#include "ui/view_metrics.h"

namespace qora {

TPointAddForm::TPointAddForm(TPointDialogData& in, QWidget* parent) : QDialog(parent), data_(in) {
    setObjectName(QStringLiteral("PointAddForm"));
    setFont(DialogFont(parent));
    setWindowTitle(in.caption);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);

    // Designed widths, grown with a taller face; the port list as wide as its names need.
    const QFont face = font();
    NameEdit = new QLineEdit(this);
    NameEdit->setObjectName(QStringLiteral("NameEdit"));
    NameEdit->setFixedWidth(DesignPixels(face, 281));
    NameEdit->setMaxLength(kPointNameMaxChars);
    NameEdit->setText(in.name);

    PortCombo = new QComboBox(this);
    PortCombo->setObjectName(QStringLiteral("PortCombo"));
    PortCombo->addItems(in.ports);
    PortCombo->setCurrentIndex(in.portIndex);
    PortCombo->setFixedWidth(ComboWidthForEntries(PortCombo, DesignPixels(face, 89)));

    PeriodEdit = new QLineEdit(this);
    PeriodEdit->setObjectName(QStringLiteral("PeriodEdit"));
    PeriodEdit->setFixedWidth(DesignPixels(face, 72));
    PeriodEdit->setText(in.periodText);
    PeriodEdit->installEventFilter(this);

    EnableCheck = new QCheckBox(QStringLiteral("Активен"), this);
    EnableCheck->setObjectName(QStringLiteral("EnableCheck"));
    EnableCheck->setChecked(in.active);
    EnableCheck->setEnabled(false);

    Button1 = new QPushButton(QStringLiteral("ОК"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setDefault(true);
    Button2 = new QPushButton(QStringLiteral("Отмена"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    connect(Button1, &QPushButton::clicked, this, &TPointAddForm::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Название:"), this), 0, 0);
    grid->addWidget(NameEdit, 0, 1, 1, 3, Qt::AlignLeft);
    grid->addWidget(new QLabel(QStringLiteral("COM-порт:"), this), 1, 0);
    grid->addWidget(PortCombo, 1, 1, Qt::AlignLeft);
    grid->addWidget(new QLabel(QStringLiteral("Период опроса:"), this), 2, 0);
    grid->addWidget(PeriodEdit, 2, 1, Qt::AlignLeft);
    grid->addWidget(new QLabel(QStringLiteral("c"), this), 2, 2, Qt::AlignLeft);
    grid->addWidget(EnableCheck, 2, 3, Qt::AlignRight);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addStretch();
    layout->addLayout(buttons);
    // The dialog's size is what its controls need, and the operator cannot change it.
    layout->setSizeConstraint(QLayout::SetFixedSize);
    setTabOrder(NameEdit, PortCombo);
    setTabOrder(PortCombo, PeriodEdit);
    setTabOrder(PeriodEdit, Button1);
    setTabOrder(Button1, Button2);
}

bool TPointAddForm::PeriodEditKeyPress(QKeyEvent* event) {
    const QString t = event->text();
    if (t.isEmpty()) return false;  // navigation and editing keys carry no character
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
            return false;  // dialog keys
        default:
            break;
    }
    const QChar typed = t.at(0);
    // Control characters (editing shortcuts) other than Backspace are not typed text.
    if (typed != QChar(0x08) && (typed.unicode() < 0x20 || typed.unicode() == 0x7F)) return false;
    const QChar pass = FilterPeriodKey(PeriodEdit->text(), typed);
    if (pass.isNull()) return true;
    if (pass == typed) return false;
    PeriodEdit->insert(QString(pass));
    return true;
}

bool TPointAddForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == PeriodEdit && event->type() == QEvent::KeyPress)
        return PeriodEditKeyPress(static_cast<QKeyEvent*>(event));
    return QDialog::eventFilter(watched, event);
}

void TPointAddForm::Button1Click() {
    const std::optional<float> period = ParsePeriod(PeriodEdit->text());
    if (!period) {
        ShowMessage(this, texts::kMsgBadPeriod);
        PeriodEdit->setFocus();
        return;
    }
    data_.name = NameEdit->text();
    data_.portIndex = PortCombo->currentIndex();
    data_.periodText = PeriodEdit->text();
    data_.period = *period;
    data_.active = EnableCheck->isChecked();
    accept();
}

}  // namespace qora
