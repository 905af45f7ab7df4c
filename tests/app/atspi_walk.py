#!/usr/bin/env python3
"""The window as a screen reader meets it.

Starts the real corvane executable in a folder of its own, finds it on the accessibility
bus, shows each page of the window in turn through the page tabs' own actions and walks
the page's accessible tree: every control that can take the focus must have a name and a
role. Run inside a D-Bus session on an X display (dbus-run-session, xvfb-run) with
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1. Exits 77 (skipped) only when the accessibility bus
itself cannot be reached; every wait is bounded.
"""

import importlib.util
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
APP_NAME = "Corvane"
PAGES = ("Connect", "Inbox", "Write Mail")
WAIT_SECONDS = 20  # for the window to appear on the bus and for a page to show
OVERALL_SECONDS = 100  # the hard bound, under CTest's own timeout


def give_up(signum, frame):
    raise TimeoutError(f"no answer within {OVERALL_SECONDS} s")


def wait_for(what, probe):
    """Polls probe until it returns something true, at most WAIT_SECONDS."""
    deadline = time.monotonic() + WAIT_SECONDS
    while time.monotonic() < deadline:
        found = probe()
        if found:
            return found
        time.sleep(0.1)
    raise TimeoutError(f"{what} did not happen within {WAIT_SECONDS} s")


def children(node):
    try:
        return [node.getChildAtIndex(i) for i in range(node.childCount)]
    except Exception:  # a node that went away while walked has no children left
        return []


def walk(node):
    yield node
    for child in children(node):
        if child is not None:
            yield from walk(child)


def find_application(pyatspi):
    desktop = pyatspi.Registry.getDesktop(0)
    for app in children(desktop):
        if app is not None and app.name == APP_NAME:
            return app
    return None


def page_tabs(pyatspi, app):
    tabs = {}
    for node in walk(app):
        if node.getRole() == pyatspi.ROLE_PAGE_TAB and node.name in PAGES:
            tabs[node.name] = node
    return tabs if len(tabs) == len(PAGES) else None


def show_page(pyatspi, tab):
    """Presses the tab through its accessible action, as a screen reader's user would."""
    action = tab.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    index = next((i for i, n in enumerate(names) if n in ("press", "click", "activate")), 0)
    action.doAction(index)
    # Qt marks the current tab as focused, other bridges as selected.
    current = (pyatspi.STATE_SELECTED, pyatspi.STATE_FOCUSED)
    wait_for(f"the page {tab.name} to show", lambda: any(tab.getState().contains(s) for s in current))


def spoken_name(pyatspi, node):
    """What a screen reader speaks for node: its name, else the label it is labelled by.

    Qt names a combo box after its current text on Linux and leaves its purpose to the
    labelled-by relation, which screen readers read."""
    if node.name.strip():
        return node.name
    for relation in node.getRelationSet():
        if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
            for i in range(relation.getNTargets()):
                if relation.getTarget(i).name.strip():
                    return relation.getTarget(i).name
    return ""


def unnamed_controls(pyatspi, app, page):
    """Every focusable control that shows on the page but lacks a name or a role."""
    faults = []
    for node in walk(app):
        states = node.getState()
        if not (states.contains(pyatspi.STATE_FOCUSABLE) and states.contains(pyatspi.STATE_SHOWING)):
            continue
        role = node.getRole()
        if role in (pyatspi.ROLE_INVALID, pyatspi.ROLE_UNKNOWN) or not spoken_name(pyatspi, node):
            parent = node.parent
            faults.append(f"{page}: {node.getRoleName() or 'no role'} '{node.name}' in "
                          f"{parent.getRoleName() if parent else 'nothing'} '{parent.name if parent else ''}'")
    return faults


def bus_answers():
    """True when the accessibility bus answers. Asked in a process of its own: the binding
    aborts the process that cannot reach the bus."""
    probe = "import pyatspi; pyatspi.Registry.getDesktop(0).childCount"
    try:
        return subprocess.run([sys.executable, "-c", probe], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=WAIT_SECONDS).returncode == 0
    except subprocess.TimeoutExpired:
        return False


def run_window(executable, folder):
    # The window keeps its stores beside its executable: a copy in a folder of its own.
    copy = os.path.join(folder, "corvane")
    shutil.copy2(executable, copy)
    return subprocess.Popen([copy], cwd=folder, stdout=subprocess.DEVNULL)


def check(pyatspi, window):
    def started():
        if window.poll() is not None:
            raise RuntimeError(f"the window ended with exit code {window.returncode}")
        return find_application(pyatspi)

    app = wait_for("the window on the accessibility bus", started)
    tabs = wait_for("the page tabs", lambda: page_tabs(pyatspi, app))
    faults = []
    for page in PAGES:
        show_page(pyatspi, tabs[page])
        faults += unnamed_controls(pyatspi, app, page)
    return faults


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: atspi_walk.py <corvane executable>")
    signal.signal(signal.SIGALRM, give_up)
    signal.alarm(OVERALL_SECONDS)
    if importlib.util.find_spec("pyatspi") is None:
        sys.exit("python3-pyatspi is missing: scripts/deps installs it")
    if not bus_answers():
        print("SKIPPED: the accessibility bus cannot be reached")
        return SKIPPED
    import pyatspi

    with tempfile.TemporaryDirectory() as folder:
        window = run_window(sys.argv[1], folder)
        try:
            faults = check(pyatspi, window)
        finally:
            window.terminate()
            try:
                window.wait(timeout=10)
            except subprocess.TimeoutExpired:
                window.kill()
                window.wait(timeout=10)
    for fault in faults:
        print(f"no name or role: {fault}")
    if faults:
        return 1
    print("every focusable control of the three pages has a name and a role")
    return 0


if __name__ == "__main__":
    sys.exit(main())
