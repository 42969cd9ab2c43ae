#ifndef LINK_CONDITIONS_H
#define LINK_CONDITIONS_H

// What the link says of itself. It travels through the same channel as the device's bytes and is
// told apart by exact comparison, so each text is written here once and referred to elsewhere.
namespace link_conditions
{

inline constexpr char connected[] = "Conectado";
// The port refused to open; the device file tells a busy port from a missing permission.
inline constexpr char busy[] = "Not_Permission";
// The port failed while open: the cable was pulled or the adapter reset.
inline constexpr char interrupted[] = "Serial_Interrupted";

} // namespace link_conditions

#endif // LINK_CONDITIONS_H
