#!/usr/bin/python3
"""Owns a name on the session bus and never answers a call to it: a keyring
that hangs (argv[1]: the name, e.g. org.freedesktop.secrets). Prints "ready"
once the name is owned."""
import sys

import dbus
import dbus.lowlevel
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib


def swallow(bus, message):
    if message.get_type() == dbus.lowlevel.MESSAGE_TYPE_METHOD_CALL:
        return dbus.lowlevel.HANDLER_RESULT_HANDLED  # and no reply, ever
    return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
bus.request_name(sys.argv[1])
bus.add_message_filter(swallow)
print("ready", flush=True)
GLib.MainLoop().run()
