#include "ui/type_selction_form.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/design_font.h"
#include "ui/view_metrics.h"

namespace qora {

TTypeSelctionForm::TTypeSelctionForm(const QStringList& entries, int selected, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("TypeSelctionForm"));
    setFont(DialogFont(parent));
    setWindowTitle(QStringLiteral("Тип устройства"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);

    TypeCombo = new QComboBox(this);
    TypeCombo->setObjectName(QStringLiteral("TypeCombo"));
    TypeCombo->setEditable(false);
    TypeCombo->addItems(entries);
    TypeCombo->setFixedWidth(ComboWidthForEntries(TypeCombo, DesignPixels(font(), 201)));
    if (selected >= 0 && selected < TypeCombo->count()) TypeCombo->setCurrentIndex(selected);

    Button1 = new QPushButton(QStringLiteral("ОК"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setDefault(true);
    Button2 = new QPushButton(QStringLiteral("Отмена"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(TypeCombo, 0, Qt::AlignHCenter);
    layout->addStretch();
    layout->addLayout(buttons);
    // The dialog's size is what its controls need, and the operator cannot change it.
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

int TTypeSelctionForm::selectedIndex() const {
    return TypeCombo->currentIndex();
}

}  // namespace qora
