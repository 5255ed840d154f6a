#include "ui/about_box.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/design_font.h"
#include "ui/image_list.h"
#include "ui/ui_texts.h"

#ifndef QORA_VERSION_STRING
#define QORA_VERSION_STRING ""
#endif

namespace qora {

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("AboutBox"));
    setFont(DesignFont("MS Sans Serif"));
    setWindowTitle(QStringLiteral("О программе"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setLineWidth(1);
    Panel1->setMinimumSize(266, 137);

    Image1 = new QLabel(Panel1);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setFixedSize(48, 48);
    Image1->setScaledContents(true);
    Image1->setPixmap(ProgramPixmap(48));

    QFont bold = font();
    bold.setBold(true);
    ProductName = new QLabel(texts::kProgramTitle, Panel1);
    ProductName->setObjectName(QStringLiteral("ProductName"));
    ProductName->setFont(bold);
    Version = new QLabel(QStringLiteral("версия 1.5"), Panel1);
    Version->setObjectName(QStringLiteral("Version"));
    Version->setFont(bold);

    Panel2 = new QFrame(Panel1);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    Panel2->setFixedHeight(2);
    Panel2->setMinimumWidth(249);

    L1 = new QLabel(Panel1);
    L1->setObjectName(QStringLiteral("L1"));
    L1->setMinimumSize(249, 33);
    L1->setWordWrap(true);
    L1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    L1->setTextInteractionFlags(Qt::TextSelectableByMouse);
    L2 = new QLabel(QStringLiteral("Доступно памяти:"), Panel1);
    L2->setObjectName(QStringLiteral("L2"));

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* names = new QVBoxLayout;
    names->addWidget(ProductName);
    names->addWidget(Version);
    names->addStretch();
    auto* top = new QHBoxLayout;
    top->addWidget(Image1, 0, Qt::AlignTop);
    top->addSpacing(8);
    top->addLayout(names, 1);
    auto* panel = new QVBoxLayout(Panel1);
    panel->addLayout(top);
    panel->addWidget(Panel2);
    panel->addWidget(L1, 1);
    panel->addWidget(L2);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 6);
    layout->addWidget(Panel1, 1);
    layout->addWidget(OKButton, 0, Qt::AlignHCenter);
    resize(266, 171);
}

void TAboutBox::SetOSText(const QString& text) {
    L1->setText(text.trimmed());
}

void TAboutBox::SetMemoryText(const QString& text) {
    L2->setText(text);
}

QString TAboutBox::VersionText(const QString& version) {
    return QStringLiteral("версия ") + version;
}

void TAboutBox::showEvent(QShowEvent* event) {
    // The version is compiled in; without one the design text stays.
    const QString version = QStringLiteral(QORA_VERSION_STRING);
    if (!version.isEmpty()) Version->setText(VersionText(version));
    QDialog::showEvent(event);
}

void TAboutBox::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        accept();  // Esc closes as OK does
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace qora
