#include "ui/message_box.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>

#include "ui/ui_texts.h"

namespace qora {

void ShowMessage(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::Information, texts::kWarningCaption, text, QMessageBox::Ok, owner);
    box.setObjectName(QStringLiteral("MessageBox"));
    box.exec();
}

bool AskYesNo(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::Information, texts::kWarningCaption, text,
                    QMessageBox::Yes | QMessageBox::No, owner);
    box.setObjectName(QStringLiteral("QuestionBox"));
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

bool InstallQtRussianTranslation() {
    auto* app = QCoreApplication::instance();
    if (app == nullptr) return false;
    auto* translator = new QTranslator(app);
    const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(QStringLiteral("qtbase_ru"), dir) &&
        !translator->load(QStringLiteral("qtbase_ru"), QStringLiteral("/usr/share/qt6/translations"))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

}  // namespace qora
