#!/usr/bin/python3
# a stand-in for logind on a private bus, for the lockers and the program that
# talk to it: one session, "1", that every process is in. One request a line
# on stdin ("lock": Session.Lock; "sleep": Manager.PrepareForSleep(true);
# "wake": PrepareForSleep(false)), "ok" on stdout once it is sent; the calls
# it was made go to stderr
import os
import sys

from gi.repository import Gio, GLib

NAME = "org.freedesktop.login1"
MANAGER_PATH = "/org/freedesktop/login1"
SESSION_PATH = MANAGER_PATH + "/session/_31"

INTERFACES = Gio.DBusNodeInfo.new_for_xml("""
<node>
  <interface name="org.freedesktop.login1.Manager">
    <method name="GetSession"><arg type="s" direction="in"/><arg type="o" direction="out"/></method>
    <method name="GetSessionByPID"><arg type="u" direction="in"/><arg type="o" direction="out"/></method>
    <method name="Inhibit">
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="h" direction="out"/>
    </method>
    <signal name="PrepareForSleep"><arg type="b"/></signal>
  </interface>
  <interface name="org.freedesktop.login1.Session">
    <method name="SetIdleHint"><arg type="b" direction="in"/></method>
    <method name="SetLockedHint"><arg type="b" direction="in"/></method>
    <property name="Id" type="s" access="read"/>
    <property name="Active" type="b" access="read"/>
    <property name="IdleHint" type="b" access="read"/>
    <signal name="Lock"/>
    <signal name="Unlock"/>
  </interface>
</node>""").interfaces

bus = Gio.DBusConnection.new_for_address_sync(
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"],
    Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
    | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
# the locks a locker takes to delay sleep; held for its life
held = []


def call(connection, sender, path, interface, method, args, invocation):
    print(f"{interface}.{method}{args.unpack()}", file=sys.stderr, flush=True)
    if method in ("GetSession", "GetSessionByPID"):
        invocation.return_value(GLib.Variant("(o)", (SESSION_PATH,)))
    elif method == "Inhibit":
        read_end, write_end = os.pipe()
        held.append(write_end)
        invocation.return_value_with_unix_fd_list(GLib.Variant("(h)", (0,)),
                                                  Gio.UnixFDList.new_from_array([read_end]))
    else:
        invocation.return_value(None)


def get(connection, sender, path, interface, name):
    return {"Id": GLib.Variant("s", "1"), "Active": GLib.Variant("b", True),
            "IdleHint": GLib.Variant("b", False)}[name]


bus.register_object(MANAGER_PATH, INTERFACES[0], call, None, None)
bus.register_object(SESSION_PATH, INTERFACES[1], call, get, None)
bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
              "RequestName", GLib.Variant("(su)", (NAME, 4)), None, Gio.DBusCallFlags.NONE, -1,
              None)

SIGNALS = {"lock": (SESSION_PATH, "org.freedesktop.login1.Session", "Lock", None),
           "sleep": (MANAGER_PATH, "org.freedesktop.login1.Manager", "PrepareForSleep",
                     GLib.Variant("(b)", (True,))),
           "wake": (MANAGER_PATH, "org.freedesktop.login1.Manager", "PrepareForSleep",
                    GLib.Variant("(b)", (False,)))}


def request(channel, condition):
    line = sys.stdin.readline()
    if not line:
        loop.quit()
        return False
    if line.strip() not in SIGNALS:
        return True
    path, interface, member, args = SIGNALS[line.strip()]
    bus.emit_signal(None, path, interface, member, args)
    bus.flush_sync(None)
    print("ok", flush=True)
    return True


print("ok", flush=True)
loop = GLib.MainLoop()
GLib.io_add_watch(GLib.IOChannel.unix_new(0), GLib.IO_IN | GLib.IO_HUP, request)
loop.run()
