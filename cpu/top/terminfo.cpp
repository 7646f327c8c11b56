// The terminal's description.
#include "cpu/top/terminfo.h"

#include <curses.h>
#include <term.h>

namespace vorlix::kestrel::top {

bool load_terminfo(int fd) {
    int error = 0;
    return setupterm(nullptr, fd, &error) == OK;
}

void free_terminfo() {
    if (TERMINAL* loaded = set_curterm(nullptr)) {
        del_curterm(loaded);
    }
}

}  // namespace vorlix::kestrel::top
