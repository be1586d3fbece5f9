// util: text from outside the program (job and mapping files, plug-ins, phones) made safe to
// write to a terminal. Used by the terminal front-end's view and messages and by the station's
// own messages on standard error, on any thread (no state).
//
// Guarantee: the result holds no byte a terminal acts on except the line end: every other
// control character (C0, DEL, and C1 in its UTF-8 form) is written as a visible escape, \e for
// ESC, \r, \t, and \xNN (\u0080-style for C1) otherwise. Printable text, UTF-8 included, is kept.
#pragma once

#include <string>
#include <string_view>

std::string printable(std::string_view text);
