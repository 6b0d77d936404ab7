#pragma once

#include <xcb/xcb.h>

// The X server behind the window manager, for the few window hints Qt does not set itself.

namespace korvane::platform {

/// The application's X connection; null on any other platform (offscreen in tests, Wayland).
xcb_connection_t* x11Connection();

/// The atom of `name`, XCB_ATOM_NONE when the server does not answer.
xcb_atom_t internAtom(xcb_connection_t* c, const char* name);

} // namespace korvane::platform
