// The display line of a message: "H:hour|from:sender | message"", with
// every byte a host could use to drive the operator's terminal escaped.
#pragma once
#include <cstddef>

#include "listener.h"

// A message as the display line shows it: any host may send any bytes, and
// none may reach the operator's terminal or the journal raw. A C0 control
// byte but tab, DEL, a C1 control (U+0080 to U+009F) and a byte that is not
// part of valid UTF-8 are shown as \xHH; printable ASCII, tab and valid UTF-8
// as sent. So one message is always one display line. shown_max holds the
// longest message escaped whole, and its NUL.
constexpr std::size_t shown_max = 4 * msg_max + 1;
// Writes msg as shown into out, no NUL added, and its length into len.
// False when it does not fit in size bytes (an empty message fits).
bool escape_message(char* out, std::size_t size, const char* msg, std::size_t& len);

// "%H:%M:%S" and its NUL.
constexpr std::size_t hour_size = 9;
// The hour of the local time now, as a display line shows it, or "" when
// the clock gives none.
void display_hour(char (&hour)[hour_size]);
// Shows the display line of msg, from sender (its address text, at most
// addr_text_size - 1 bytes), at hour.
void show(const char* hour, const char* sender, const char* msg);
