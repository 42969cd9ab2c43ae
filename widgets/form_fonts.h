#ifndef FORM_FONTS_H
#define FORM_FONTS_H

// The forms name Windows fonts. Where a desktop lacks one, a face compiled into the program takes
// its place, so that every text keeps the room it was drawn for. Call once the application exists,
// before any window is built.
namespace form_fonts
{

void install();

} // namespace form_fonts

#endif // FORM_FONTS_H
