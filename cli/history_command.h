#ifndef HISTORY_COMMAND_H
#define HISTORY_COMMAND_H

#include "servicelog/unit_history.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// vkt-update --history: the rows a filter asks for, as a table for a person, CSV for a spreadsheet or JSON Lines
// for a script.
namespace history_command
{

enum class Format { table, csv, json };

// "2024-05-01" (local midnight, or the day's last millisecond for an `until`), "2024-05-01T14:03" or with seconds,
// local time unless an offset or Z follows. Null when the text is none of these.
QDateTime parse_time(const QString& text, bool until);

// Every row, each ended by a newline (CR LF for CSV, as RFC 4180 has it).
QByteArray render(const QList<HistoryRow>& rows, Format format);

} // namespace history_command

#endif // HISTORY_COMMAND_H
