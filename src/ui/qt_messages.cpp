// ui (Qt): message boxes for start-up failures and the quit question.
#include "qt_messages.h"

#include <QMessageBox>

namespace ui
{

void QtMessages::show(const std::string &text, const std::string &caption, MessageIcon icon)
{
    QMessageBox box(icon == MessageIcon::Error ? QMessageBox::Critical : QMessageBox::Warning,
                    QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok,
                    owner_);
    box.exec();
}

bool QtMessages::ask_yes_no(const std::string &text, const std::string &caption)
{
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(caption),
                    QString::fromStdString(text), QMessageBox::Yes | QMessageBox::No, owner_);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

} // namespace ui
