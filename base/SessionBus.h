#pragma once

namespace vorel {

// Whether a session bus can be there: a cron job or a systemd timer outside a
// desktop login has none, and asking one (for the keyring or a notice) would only
// wait or make GLib start one through X11 autolaunch.
bool sessionBusReachable();

}  // namespace vorel
