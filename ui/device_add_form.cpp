#include "ui/device_add_form.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/design_font.h"
#include "ui/message_box.h"
#include "ui/ui_texts.h"
#include "ui/view_metrics.h"

namespace qora {

TDeviceAddForm::TDeviceAddForm(TDeviceDialogData& in, QWidget* parent) : QDialog(parent), data_(in) {
    setObjectName(QStringLiteral("DeviceAddForm"));
    setFont(DialogFont(parent));
    setWindowTitle(in.caption);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);

    // Designed widths, grown with a taller face; the lists are as wide as their entries need.
    const QFont face = font();
    NameEdit = new QLineEdit(this);
    NameEdit->setObjectName(QStringLiteral("NameEdit"));
    NameEdit->setFixedWidth(DesignPixels(face, 201));
    NameEdit->setMaxLength(kMaxNameChars);  // the record holds 50 characters
    NameEdit->setText(in.name);

    PointCombo = new QComboBox(this);
    PointCombo->setObjectName(QStringLiteral("PointCombo"));
    PointCombo->addItems(in.points);
    PointCombo->setCurrentIndex(in.pointIndex);
    // Up to twice the designed width; a longer entry shows whole in the open list.
    PointCombo->setFixedWidth(
        std::min(ComboWidthForEntries(PointCombo, DesignPixels(face, 201)), DesignPixels(face, 2 * 201)));

    TypeCombo = new QComboBox(this);
    TypeCombo->setObjectName(QStringLiteral("TypeCombo"));
    TypeCombo->addItems(in.types);
    TypeCombo->setCurrentIndex(in.typeIndex);
    TypeCombo->setFixedWidth(ComboWidthForEntries(TypeCombo, DesignPixels(face, 88)));

    AddrCombo = new QComboBox(this);
    AddrCombo->setObjectName(QStringLiteral("AddrCombo"));
    AddrCombo->addItem(QString::number(kMaxAddress));  // the widest address, for measuring
    AddrCombo->setFixedWidth(ComboWidthForEntries(AddrCombo, DesignPixels(face, 64)));
    AddrCombo->clear();

    ParamGroup = new QGroupBox(QStringLiteral("Параметры"), this);
    ParamGroup->setObjectName(QStringLiteral("ParamGroup"));
    // A type may offer more boxes than the group shows at once: they scroll. The scroll area
    // itself takes no focus (Tab goes from box to box).
    auto* scroll = new QScrollArea(ParamGroup);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* boxHost = new QWidget(scroll);
    auto* boxLayout = new QVBoxLayout(boxHost);
    boxLayout->setContentsMargins(TParamBoxes::kBoxLeft, 0, 0, 0);
    boxLayout->setSpacing(0);
    for (int n = 0; n < kParamsPerDevice; ++n) {
        auto* box = new QCheckBox(n < in.paramNames.size() ? in.paramNames.at(n) : QString(), boxHost);
        box->setObjectName(QStringLiteral("Param%1").arg(n));
        box->setMinimumWidth(DesignPixels(face, 250));
        box->setVisible(false);
        connect(box, &QCheckBox::toggled, this, [this, n](bool on) { BoxToggled(n, on); });
        boxLayout->addWidget(box);
        params_[static_cast<size_t>(n)] = box;
    }
    boxLayout->addStretch();
    scroll->setWidget(boxHost);
    auto* groupLayout = new QVBoxLayout(ParamGroup);
    groupLayout->setContentsMargins(0, 0, 0, 0);
    groupLayout->addWidget(scroll);
    // The group's size does not follow the type: as wide as the widest of the 32 boxes needs
    // (with room for the scroll bar), as high as designed.
    int boxes = 0;
    for (QCheckBox* box : params_) boxes = std::max(boxes, box->sizeHint().width());
    const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroll);
    ParamGroup->setFixedSize(std::max(DesignPixels(face, 315), TParamBoxes::kBoxLeft + boxes + scrollBar + 4),
                             DesignPixels(face, 185));

    Button1 = new QPushButton(QStringLiteral("ОК"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setDefault(true);
    Button2 = new QPushButton(QStringLiteral("Отмена"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    connect(Button1, &QPushButton::clicked, this, &TDeviceAddForm::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Название:"), NameEdit);
    form->addRow(QStringLiteral("Подключение:"), PointCombo);
    auto* typeRow = new QHBoxLayout;
    typeRow->addWidget(TypeCombo);
    typeRow->addSpacing(12);
    typeRow->addWidget(new QLabel(QStringLiteral("Адрес:"), this));
    typeRow->addWidget(AddrCombo);
    typeRow->addStretch();
    form->addRow(QStringLiteral("Тип устройства:"), typeRow);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(ParamGroup, 1);
    layout->addLayout(buttons);
    // The dialog's size is what its controls need, and the operator cannot change it.
    layout->setSizeConstraint(QLayout::SetFixedSize);
    setTabOrder(NameEdit, PointCombo);
    setTabOrder(PointCombo, TypeCombo);
    setTabOrder(TypeCombo, AddrCombo);

    // Only the operator's choices run the change handlers; the set-up calls them itself.
    connect(PointCombo, &QComboBox::activated, this, &TDeviceAddForm::PointComboChange);
    connect(TypeCombo, &QComboBox::activated, this, &TDeviceAddForm::TypeComboChange);

    if (!in.editing) {
        PointComboChange();
        TypeComboChange();
    } else {
        if (TypeCombo->currentIndex() >= 0) {
            TypeComboChange();
        } else {
            // A type outside the catalogue: show the device's own parameters.
            boxes_.Show(in.paramMask);
        }
        for (int n = 0; n < kParamsPerDevice; ++n)
            if ((in.paramMask >> n) & 1u) boxes_.SetTicked(n, true);
        SyncBoxes();
        PointComboChange();
    }
}

void TDeviceAddForm::PointComboChange() {
    const int remembered = ParseAddressText(AddrCombo->currentText());
    AddrCombo->clear();
    if (data_.model == nullptr) return;
    const TAddressChoice choice = FreeAddresses(*data_.model, PointCombo->currentIndex(), data_.editedPoint,
                                                data_.editedAddress, remembered);
    QStringList items;
    items.reserve(static_cast<qsizetype>(choice.addresses.size()));
    for (int a : choice.addresses) items << QString::number(a);
    AddrCombo->addItems(items);
    AddrCombo->setCurrentIndex(choice.selected);
}

void TDeviceAddForm::TypeComboChange() {
    if (TypeCombo->count() == 0) return;
    const int t = TypeCombo->currentIndex();
    if (t < 0 || t >= static_cast<int>(data_.typeMasks.size())) return;
    boxes_.ShowType(data_.typeMasks[static_cast<size_t>(t)]);
    SyncBoxes();
}

void TDeviceAddForm::SyncBoxes() {
    for (int n = 0; n < kParamsPerDevice; ++n) {
        QCheckBox* box = params_[static_cast<size_t>(n)];
        const QSignalBlocker block(box);
        box->setChecked(boxes_.isTicked(n));
        box->setVisible(boxes_.isVisible(n));
    }
}

void TDeviceAddForm::BoxToggled(int n, bool ticked) {
    boxes_.SetTicked(n, ticked);
}

void TDeviceAddForm::Button1Click() {
    if (boxes_.PressOk() != TParamBoxes::OkResult::Confirm) {
        ShowMessage(this, texts::kMsgNoParameter);
        const int n = boxes_.FirstVisible();
        if (n >= 0) params_[static_cast<size_t>(n)]->setChecked(true);
        return;
    }
    const int address = ParseAddressText(AddrCombo->currentText());
    if (address < kMinAddress || address > kMaxAddress) return;
    data_.name = NameEdit->text();
    data_.pointIndex = PointCombo->currentIndex();
    data_.typeIndex = TypeCombo->currentIndex();
    data_.address = address;
    data_.paramMask = boxes_.ticked();
    accept();
}

}  // namespace qora
