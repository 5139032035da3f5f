#!/usr/bin/python3
# a person's hand on GNOME, through mutter's RemoteDesktop: one request a line
# on stdin ("motion DX DY", "button CODE 1|0", "keysym KEYSYM 1|0"), "ok" on
# stdout once mutter has taken it; the session lasts as long as this process
import sys

from gi.repository import Gio, GLib

NAME = "org.gnome.Mutter.RemoteDesktop"
SESSION = NAME + ".Session"
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)


def call(path, interface, method, args=None):
    return bus.call_sync(NAME, path, interface, method, args, None, Gio.DBusCallFlags.NONE, -1,
                         None)


session = call("/org/gnome/Mutter/RemoteDesktop", NAME, "CreateSession").unpack()[0]
call(session, SESSION, "Start")
print("ok", flush=True)
for line in sys.stdin:
    kind, first, second = line.split()
    if kind == "motion":
        call(session, SESSION, "NotifyPointerMotionRelative",
             GLib.Variant("(dd)", (float(first), float(second))))
    elif kind == "button":
        call(session, SESSION, "NotifyPointerButton",
             GLib.Variant("(ib)", (int(first), second == "1")))
    elif kind == "keysym":
        call(session, SESSION, "NotifyKeyboardKeysym",
             GLib.Variant("(ub)", (int(first), second == "1")))
    print("ok", flush=True)
