#!/usr/bin/python3
"""A panel's side of the StatusNotifier tray, for tests: usage sni_panel.py LOG ACTION...

Owns the watcher with a host registered (so Qt shows its icon there); on the n-th item that
registers does the n-th ACTION, "activate" (a left click) or "menu:CAPTION" (that menu item),
and logs the item's tooltip and menu captions to LOG as a JSON line."""
import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"


def menu_items(layout):
    """(id, label) of every item of a com.canonical.dbusmenu layout."""
    out = []
    item_id, props, children = layout
    if "label" in props:
        out.append((int(item_id), str(props["label"]).replace("_", "")))
    for child in children:
        out.extend(menu_items(child))
    return out


class Watcher(dbus.service.Object):
    def __init__(self, bus, actions, log):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.bus, self.actions, self.log, self.items = bus, actions, log, []

    @dbus.service.method(WATCHER, in_signature="s", out_signature="", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        path = "/StatusNotifierItem"
        if service.startswith("/"):
            path, service = service, sender
        self.items.append(service)
        self.StatusNotifierItemRegistered(service)
        GLib.timeout_add(300, self.act, service, path, len(self.items) - 1)

    @dbus.service.method(WATCHER, in_signature="s", out_signature="")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        return self.GetAll(interface)[prop]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"IsStatusNotifierHostRegistered": True, "ProtocolVersion": dbus.Int32(0),
                "RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s")}

    # Qt reads the watcher's properties through its introspection data, which
    # dbus-python does not give for properties.
    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, in_signature="", out_signature="s")
    def Introspect(self):
        return """<node><interface name="%s">
<method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
<method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
<signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
<property name="ProtocolVersion" type="i" access="read"/>
<property name="RegisteredStatusNotifierItems" type="as" access="read"/>
</interface>
<interface name="org.freedesktop.DBus.Properties">
<method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/>
<arg type="v" direction="out"/></method>
<method name="GetAll"><arg type="s" direction="in"/><arg type="a{sv}" direction="out"/></method>
</interface></node>""" % WATCHER

    def act(self, service, path, n):
        item = self.bus.get_object(service, path)
        props = dbus.Interface(item, dbus.PROPERTIES_IFACE)
        tip = props.Get("org.kde.StatusNotifierItem", "ToolTip")
        menu_path = props.Get("org.kde.StatusNotifierItem", "Menu")
        menu = dbus.Interface(self.bus.get_object(service, menu_path), "com.canonical.dbusmenu")
        items = menu_items(menu.GetLayout(0, -1, dbus.Array([], signature="s"))[1])
        with open(self.log, "a") as f:
            f.write(json.dumps({"title": str(tip[2]), "text": str(tip[3]),
                                "menu": [label for _, label in items]}) + "\n")
        action = self.actions[n] if n < len(self.actions) else ""
        if action == "activate":
            dbus.Interface(item, "org.kde.StatusNotifierItem").Activate(0, 0)
        elif action.startswith("menu:"):
            ids = [i for i, label in items if label == action[5:]]
            menu.Event(ids[0], "clicked", dbus.String("", variant_level=1), dbus.UInt32(0))
        return False


def main():
    log, actions = sys.argv[1], sys.argv[2:]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus, actions, log)
    name = dbus.service.BusName(WATCHER, bus)
    print("ready", flush=True)  # the test waits for this line
    GLib.MainLoop().run()
    del watcher, name


if __name__ == "__main__":
    main()
