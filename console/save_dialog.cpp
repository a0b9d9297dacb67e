#include "save_dialog.h"

#include <QFileDialog>

std::optional<QString> FileSaveDialog::ShowSave(QWidget* parent)
{
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(QStringLiteral("(*.*)"));
    if (!m_lastFileName.isEmpty())
        dialog.selectFile(m_lastFileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    m_lastFileName = dialog.selectedFiles().constFirst();
    return m_lastFileName;
}
