#!/usr/bin/python3
"""The desktop app as a screen reader meets it: a real X server (Xvfb), the
accessibility bus, and the tree read over AT-SPI (pyatspi), driven with real
keys (xdotool).

    dbus-run-session -- gui_a11y_test.py PATH/TO/quobble

Starts `quobble shoes` and checks that the results for shoes are spoken in
full (title and prices), that every control has a name, that F10 opens the
menu, that Alt+Right pages and that Ctrl+Q ends the app with 1.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

import pyatspi
from gi.repository import GLib

ROW = re.compile(r"^.+, lowest [0-9,]+ won, highest [0-9,]+ won$")
CONTROL_ROLES = {"push button", "text", "progress bar", "list", "list item", "menu item", "menu",
                 "check box"}


def wait_for(what, timeout=20.0, step=0.1):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            found = what()
        except Exception:  # the tree changes under us while we read it
            found = None
        if found:
            return found
        # Events (focus) arrive through the main loop.
        while GLib.MainContext.default().iteration(False):
            pass
        time.sleep(step)
    return None


class FocusWatch:
    """What a screen reader hears about as the focus moves: popup menus are
    not children of the application, only reached through focus events."""

    def __init__(self):
        self.focused = []
        pyatspi.Registry.registerEventListener(self._on_event, "object:state-changed:focused")

    def _on_event(self, event):
        if event.detail1 == 1 and event.source is not None:
            try:
                self.focused.append((event.source.getRoleName(), event.source.name, event.source))
            except Exception:
                pass

    def last(self, roles):
        for role, name, source in reversed(self.focused):
            if role in roles:
                return name, source
        return None


def nodes(node, depth=0):
    yield node
    if depth > 12:
        return
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from nodes(child, depth + 1)


def find(app, role, name=None, pattern=None):
    for node in nodes(app):
        if node.getRoleName() != role:
            continue
        if name is not None and node.name != name:
            continue
        if pattern is not None and not pattern.search(node.name or ""):
            continue
        return node
    return None


class Session:
    def __init__(self, app_path):
        self.temp = tempfile.mkdtemp(prefix="quobble-a11y-")
        for folder in ("run", "root", "config", "state"):
            os.makedirs(os.path.join(self.temp, folder), mode=0o700)
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
             "-noreset"],
            pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        # The pipe stays open: Xvfb fails when its last words find it closed.
        self.display_pipe = read
        self.display = ":" + os.read(read, 32).decode().strip()
        # Ready once it takes a client.
        wait_for(lambda: subprocess.run(["xdotool", "getdisplaygeometry"],
                                        env=dict(os.environ, DISPLAY=self.display),
                                        capture_output=True).returncode == 0, timeout=10)
        self.env = dict(os.environ, DISPLAY=self.display, QT_QPA_PLATFORM="xcb",
                        QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                        XDG_RUNTIME_DIR=os.path.join(self.temp, "run"),
                        XDG_CONFIG_HOME=os.path.join(self.temp, "config"),
                        XDG_STATE_HOME=os.path.join(self.temp, "state"),
                        QUOBBLE_ROOT=os.path.join(self.temp, "root"))
        self.env.pop("QUOBBLE_ENDPOINT", None)
        self.app = subprocess.Popen([app_path, "shoes"], env=self.env, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT)

    def keys(self, *keys):
        # Real key presses (XTEST) into the window, given the focus first:
        # there is no window manager to give it.
        window = subprocess.run(
            ["xdotool", "search", "--sync", "--onlyvisible", "--name", "^quobble$"],
            env=self.env, capture_output=True, text=True, timeout=20)
        if not window.stdout.split():
            raise RuntimeError("no window to type into: " + window.stderr)
        wid = window.stdout.split()[0]
        subprocess.run(["xdotool", "windowfocus", "--sync", wid], env=self.env, timeout=20)
        subprocess.run(["xdotool", "key", *keys], env=self.env, timeout=20)

    def close(self):
        if self.app.poll() is None:
            self.app.kill()
            self.app.wait()
        self.xvfb.terminate()
        self.xvfb.wait()
        os.close(self.display_pipe)
        shutil.rmtree(self.temp, ignore_errors=True)


def application(name):
    def look():
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == name:
                return app
        return None
    return wait_for(look)


def check(session):
    failures = []

    def expect(condition, message):
        if not condition:
            failures.append(message)
        return condition

    focus = FocusWatch()
    app = application("quobble")
    if not expect(app is not None, "the app never showed up on the accessibility bus"):
        return failures

    # `quobble shoes` searched at start; each row is spoken with its prices.
    products = wait_for(lambda: find(app, "list", "Products"))
    if not expect(products is not None, "no list named Products"):
        return failures
    rows = wait_for(lambda: [n for n in nodes(products) if n.getRoleName() == "list item"] or None)
    expect(rows, "no rows after `quobble shoes`")
    print(f"{len(rows or [])} rows, the first spoken as {rows[0].name!r}" if rows else "no rows")
    for row in rows or []:
        expect(ROW.match(row.name or ""), f"row not spoken in full: {row.name!r}")
        expect("shoes" in (row.name or "").lower(), f"row not a shoe: {row.name!r}")
    status = find(app, "label", pattern=re.compile(r"^\d+ products, 1~11 of "))
    expect(status is not None, "the search's end is not announced")

    # Every control has a name.
    for node in nodes(app):
        if node.getRoleName() in CONTROL_ROLES and node.getRoleName() != "list item":
            expect(node.name, f"a {node.getRoleName()} without a name")
    for name in ("Search query", "search", "Previous page", "Next page", "Loading thumbnails",
                 "Action", "Menu"):
        expect(find(app, "text" if name == "Search query" else
                    "progress bar" if name == "Loading thumbnails" else "push button", name),
               f"no control named {name!r}")

    # F10 opens the soft key's menu with its first item in hand; the arrow
    # keys reach the others; Esc closes it.
    menu_roles = {"menu", "menu item", "check menu item"}
    session.keys("F10")
    first = wait_for(lambda: focus.last(menu_roles), timeout=10)
    if expect(first and first[0] == "Sort", f"F10: the menu's first item is not in hand: {first}"):
        menu = first[1].parent
        names = [menu.getChildAtIndex(i).name for i in range(menu.childCount)]
        print(f"F10: {first[0]!r} in hand, the menu holds {names}")
        for item in ("Sort", "Display", "Add to Wish List", "Show Wish List", "About", "Exit"):
            expect(item in names, f"the menu lacks {item!r}: {names}")
        session.keys("Down")
        second = wait_for(lambda: (f := focus.last(menu_roles)) and f[0] == "Display" and f,
                          timeout=10)
        expect(second, "Down did not reach the menu's next item")
    session.keys("Escape", "Escape")

    # Alt+Right pages.
    session.keys("alt+Right")
    expect(wait_for(lambda: find(app, "label", "11~21"), timeout=20), "Alt+Right did not page")

    # Ctrl+Q ends the app as "Exit" does.
    session.keys("ctrl+q")
    try:
        code = session.app.wait(timeout=20)
    except subprocess.TimeoutExpired:
        code = None
    expect(code == 1, f"Ctrl+Q: exit code {code}, not 1")
    print(f"Ctrl+Q: exit code {code}")
    return failures


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    session = Session(sys.argv[1])
    try:
        failures = check(session)
    except Exception:
        traceback.print_exc()
        failures = ["the check itself failed"]
    finally:
        session.close()
    output = session.app.stdout.read().decode(errors="replace") if session.app.stdout else ""
    for failure in failures:
        print("FAILED:", failure)
    if failures and output:
        print("--- the app said:\n" + output)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
