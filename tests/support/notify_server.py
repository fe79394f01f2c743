#!/usr/bin/python3
"""The desktop's notification service, for tests: logs each Notify to LOG as the cause hint,
a tab and the summary; with "click", clicks the default action of each notice at once."""
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.Notifications"


class Server(dbus.service.Object):
    def __init__(self, bus, log, click):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.log, self.click, self.last = log, click, 0

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.last += 1
        with open(self.log, "a") as out:
            out.write("%s\t%s\n" % (hints.get("x-vorel-cause", ""), summary))
        if self.click and "default" in actions:
            GLib.idle_add(self.ActionInvoked, dbus.UInt32(self.last), "default")
        return self.last


    @dbus.service.signal(NAME, signature="us")
    def ActionInvoked(self, notice, action):
        pass


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    server = Server(bus, sys.argv[1], "click" in sys.argv[2:])
    name = dbus.service.BusName(NAME, bus)
    print("ready", flush=True)
    GLib.MainLoop().run()
    del server, name


if __name__ == "__main__":
    main()
