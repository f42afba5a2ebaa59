#!/usr/bin/python3
"""Answers a desktop's dialog as a user would, through the accessibility bus:
in the window titled --window, turns on each --switch named, then presses the
button named by --press. Exits 0 once the press was taken, 1 if the dialog
never offered it (10 s)."""
import argparse
import sys
import time
import warnings

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

# at-spi 2.46 has no successor yet for the action names it deprecates.
warnings.filterwarnings("ignore", category=DeprecationWarning)

WINDOWS = {Atspi.Role.FRAME, Atspi.Role.DIALOG, Atspi.Role.WINDOW}
TOGGLES = {Atspi.Role.CHECK_BOX, Atspi.Role.TOGGLE_BUTTON}
BUTTONS = {Atspi.Role.PUSH_BUTTON}


def find(node, wanted, depth=0):
    # Toolkits name a button after its label, some with the mnemonic first
    # ("_Share Share"); the label is the last word.
    try:
        name = node.get_name() or ""
        if node.get_role() in wanted[0] and (name == wanted[1] or name.endswith(" " + wanted[1])):
            return node
        if depth < 40:
            for i in range(node.get_child_count()):
                found = find(node.get_child_at_index(i), wanted, depth + 1)
                if found:
                    return found
    except gi.repository.GLib.Error:
        pass  # a window closed while we walked it
    return None


def perform(node, names):
    for i in range(node.get_n_actions()):
        if node.get_action_name(i).lower() in names:
            return node.do_action(i)
    return False


def is_on(node):
    return node.get_state_set().contains(Atspi.StateType.CHECKED)


def until(condition, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        result = condition()
        if result:
            return result
        time.sleep(0.1)
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--window", required=True)
    parser.add_argument("--switch", action="append", default=[])
    parser.add_argument("--press", required=True)
    args = parser.parse_args()
    desktop = Atspi.get_desktop(0)

    window = until(lambda: find(desktop, (WINDOWS, args.window)), 10)
    button = window and until(lambda: find(window, (BUTTONS, args.press)), 2)
    if not button:
        print(f"no window {args.window!r} with a button {args.press!r} appeared", file=sys.stderr)
        return 1
    for label in args.switch:
        switch = until(lambda: find(window, (TOGGLES, label)), 2)
        if not switch:
            print(f"no switch {label!r}", file=sys.stderr)
            return 1
        # The toolkit applies a toggle on its next turn; a press before that
        # would answer with the switch still off.
        if not is_on(switch) and not (perform(switch, {"toggle", "press", "click"}) and until(lambda: is_on(switch), 3)):
            print(f"switch {label!r} did not turn on", file=sys.stderr)
            return 1
    if not until(lambda: perform(button, {"click", "press"}), 3):
        print(f"button {args.press!r} did not take the press", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
