#include "rules_file.h"

#include "access_rules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>

namespace {

// Rules are written by hand or by the window, a few hundred bytes each.
constexpr qint64 largestFile = 1024 * 1024;

Failure fileFailure(QFileDevice& file)
{
    const int code = file.error() == QFileDevice::PermissionsError ? EACCES : EIO;
    return { code, file.errorString() };
}

} // namespace

Failure RulesFile::load(AccessRules& rules) const
{
    QFile file(m_path);
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly))
        return fileFailure(file);
    if (file.size() > largestFile)
        return { EFBIG, QStringLiteral("the file is larger than 1 MiB") };
    AccessRules::Set parsed;
    if (Failure failure = AccessRules::parse(file.read(largestFile), parsed))
        return failure;
    rules.replace(std::move(parsed));
    return {};
}

Failure RulesFile::save(const AccessRules& rules) const
{
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath()))
        return { EACCES,
            QStringLiteral("cannot make the folder %1").arg(QFileInfo(m_path).absolutePath()) };
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(rules.text()) < 0 || !file.commit())
        return fileFailure(file);
    return {};
}
