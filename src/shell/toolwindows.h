#pragma once

namespace korvane::platform {
struct Services;
}

namespace korvane::shell {

class MDIForm1;

/// Binds every built tool window to its menu command. Each tool window adds its line here.
void registerToolWindows(MDIForm1& main, platform::Services& services);

} // namespace korvane::shell
