#ifndef JSON_EVENTS_H
#define JSON_EVENTS_H

#include "engine/update_engine.h"

#include <QJsonObject>
#include <QString>

// The events of --json: one compact object a line on stdout, the fields every event carries first.
namespace json_events
{

// `port` is the port as the command line named it ("usb:A12345"), `device` the one opened for it ("/dev/ttyUSB0"),
// empty when none was.
QJsonObject event(const char* kind, const QString& port, const QString& device, const QString& text,
                  const UpdateEngine::Stage& stage = UpdateEngine::Stage());
void print(const QJsonObject& event);

// A refusal before anything was sent: `port` empty when it is no port's; `reason` for a script to match, when there
// is one (a package's signature).
void print_refusal(const QString& port, const QString& text, int code, const QString& reason = QString());

} // namespace json_events

#endif // JSON_EVENTS_H
