#!/usr/bin/python3
"""Answers a desktop's dialog as a user would, through the accessibility bus:
in the window titled --window, turns on each --switch named, then presses the
button named by --press. Exits 0 once the press was taken, else 1."""
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


def find(node, roles, label, depth=0):
    # Toolkits name a button after its label, some with the mnemonic first
    # ("_Share Share"); the label is the last word.
    try:
        name = node.get_name() or ""
        if node.get_role() in roles and (name == label or name.endswith(" " + label)):
            return node
        for i in range(node.get_child_count() if depth < 40 else 0):
            found = find(node.get_child_at_index(i), roles, label, depth + 1)
            if found:
                return found
    except gi.repository.GLib.Error:
        pass  # a window closed while we walked it
    return None


def perform(node, names):
    wanted = (i for i in range(node.get_n_actions()) if node.get_action_name(i).lower() in names)
    return next((node.do_action(i) for i in wanted), False)


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

    window = until(lambda: find(Atspi.get_desktop(0), WINDOWS, args.window), 10)
    button = window and until(lambda: find(window, {Atspi.Role.PUSH_BUTTON}, args.press), 2)
    if not button:
        sys.exit(f"no window {args.window!r} with a button {args.press!r} appeared")
    for label in args.switch:
        switch = until(lambda: find(window, TOGGLES, label), 2)
        is_on = lambda: switch.get_state_set().contains(Atspi.StateType.CHECKED)  # noqa: E731
        # The toolkit applies a toggle on its next turn; a press before that
        # would answer with the switch still off.
        if not switch or not (is_on() or perform(switch, {"toggle", "press", "click"}) and until(is_on, 3)):
            sys.exit(f"switch {label!r} is missing or did not turn on")
    if not until(lambda: perform(button, {"click", "press"}), 3):
        sys.exit(f"button {args.press!r} did not take the press")


if __name__ == "__main__":
    main()
