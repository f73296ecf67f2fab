#!/usr/bin/python3
"""atspi_probe.py [--header TITLE] [--view-to FILE] APP_NAME DONE_TEXT
Watches a Qt program from outside over the accessibility bus, as a screen
reader would. Once started (the program shows the page to watch), it finds
the text view that is showing and not a label, listens for the events a
screen reader listens for, prints "view ROLE", then reads all the view's text
again and again, each read a call that the program answers on its GUI thread.
Prints "read END" (seconds since the epoch) for each read that succeeded and
"done END" for the first one whose text ends with DONE_TEXT, and the number
of events heard, then leaves.
--header TITLE: reads the name of the showing label named TITLE (the page's
header; Qt gives labels their text as their name) instead of the view,
until it is DONE_TEXT: a small read, so that only the time the program takes
to answer at all is measured. Nothing is taken from libatspi's cache.
--view-to FILE: at the end, writes the view's whole text to FILE (UTF-8).
The longest time between two reads is the longest time the program kept a
screen reader waiting. Needs python3-gi and gir1.2-atspi-2.0, a session bus
and a program with its accessibility bridge on."""
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402


def find_app(name, seconds=60):
    deadline = time.time() + seconds
    while time.time() < deadline:
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and app.get_name() == name:
                return app
        time.sleep(0.1)
    sys.exit("atspi_probe: no application %s on the accessibility bus" % name)


def find_view(node):
    """The first showing object with a text interface that is not a label."""
    states = node.get_state_set()
    if not states.contains(Atspi.StateType.SHOWING):
        return None
    if node.get_role() not in (Atspi.Role.LABEL, Atspi.Role.PUSH_BUTTON) and "Text" in node.get_interfaces():
        return node
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        found = find_view(child) if child is not None else None
        if found is not None:
            return found
    return None


def find_label(node, text):
    """The first showing label named text."""
    if not node.get_state_set().contains(Atspi.StateType.SHOWING):
        return None
    if node.get_role() == Atspi.Role.LABEL and node.get_name() == text:
        return node
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        found = find_label(child, text) if child is not None else None
        if found is not None:
            return found
    return None


def main():
    args = sys.argv[1:]
    header = view_to = None
    while args and args[0].startswith("--"):
        if args[0] == "--header":
            header = args[1]
        elif args[0] == "--view-to":
            view_to = args[1]
        else:
            sys.exit("atspi_probe: unknown option %s" % args[0])
        args = args[2:]
    app_name, done_text = args
    # A call may wait for as long as the program is busy: that wait is what
    # is measured, so it must not end in a timeout.
    Atspi.set_timeout(600000, 600000)
    app = find_app(app_name)
    view = None
    deadline = time.time() + 60
    while view is None and time.time() < deadline:
        view = find_view(app)
        if view is None:
            time.sleep(0.1)
    if view is None:
        sys.exit("atspi_probe: no text view showing in %s" % app_name)
    label = None
    if header is not None:
        # Every read a call that the program answers, as for the view.
        app.set_cache_mask(Atspi.Cache.NONE)
        while label is None and time.time() < deadline:
            label = find_label(app, header)
            if label is None:
                time.sleep(0.1)
        if label is None:
            sys.exit("atspi_probe: no label %s showing in %s" % (header, app_name))
    # Listens as a screen reader does, so that the program's bridge sends
    # its events for changed text, caret moves and scrolled views.
    heard = [0]

    def hear(event):
        heard[0] += 1

    listener = Atspi.EventListener.new(hear)
    for kind in ("object:text-changed", "object:text-caret-moved", "object:property-change",
                 "object:state-changed", "object:children-changed", "object:visible-data-changed"):
        listener.register(kind)
    print("view %s" % view.get_role_name(), flush=True)
    context = GLib.MainContext.default()
    reads = []
    while True:
        while context.pending():
            context.iteration(False)
        try:
            text = label.get_name() if label is not None else Atspi.Text.get_text(view, 0, -1)
        except GLib.Error as error:
            print("error %.6f %s" % (time.time(), error.message), flush=True)
            continue
        end = time.time()
        reads.append(end)
        if text == done_text if label is not None else text.endswith(done_text):
            break
    if view_to is not None:
        with open(view_to, "w", encoding="utf-8") as out:
            out.write(Atspi.Text.get_text(view, 0, -1))
    sys.stdout.write("".join("read %.6f\n" % t for t in reads))
    print("done %.6f" % reads[-1], flush=True)
    print("events %d" % heard[0], flush=True)


main()
