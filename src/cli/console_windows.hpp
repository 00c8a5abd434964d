// What the Windows console adds for the handler of console events.
#pragma once

namespace zelno {

// Hands a Ctrl-C that came as a console event, not as a key, to a key read
// that waits for it (key entry, the pause) as the key 3; false when none
// waits.
bool console_deliver_ctrl_c();

}  // namespace zelno
