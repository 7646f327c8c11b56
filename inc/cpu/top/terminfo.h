// The terminal's description (terminfo), loaded for the terminal layer: its own unit, since
// <term.h> names every capability as a macro.
#pragma once

namespace vorlix::kestrel::top {

// Loads the description of the terminal that TERM names, for output on `fd`; false when there is
// none. Its capabilities are then read with tigetstr, tigetflag and tigetnum (<curses.h>).
bool load_terminfo(int fd);
// Frees what load_terminfo loaded.
void free_terminfo();

}  // namespace vorlix::kestrel::top
