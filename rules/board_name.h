#ifndef BOARD_NAME_H
#define BOARD_NAME_H

#include <QString>

namespace board_name
{

// The equipment a package is for: its file name before the first '#', with '_' read as a blank.
// A name without '#' is shown whole, extension included.
QString equipment_name(const QString& package_path);

} // namespace board_name

#endif // BOARD_NAME_H
