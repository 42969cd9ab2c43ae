#include "rules/board_name.h"

#include <QStringList>

namespace board_name
{

QString equipment_name(const QString& package_path)
{
    const QString file_name = package_path.split(QLatin1Char('/')).last();
    return file_name.split(QLatin1Char('#')).first().replace(QLatin1Char('_'), QLatin1Char(' '));
}

} // namespace board_name
