"""The installer window through the real accessibility stack (AT-SPI), with
keys only: names, roles and states of what a screen reader finds, and the
road from the licence to Install that a keyboard takes. Prints one line a
step, "ok: ..." or "FAILED: ...", for the window test to count.
  keyboard_road.py WINDOW_ID"""

import subprocess
import sys
import time

import pyatspi

CONTROLS = ("check box", "push button", "link", "progress bar")


def application(seconds=20):
    end = time.time() + seconds
    while time.time() < end:
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == "installer-window-harness":
                return app
        time.sleep(0.2)
    sys.exit("FAILED: the window is not in the accessibility tree")


def nodes(node, depth=0):
    yield node
    for child in node:
        if child is not None and depth < 30:
            yield from nodes(child, depth + 1)


def states(node):
    return set(node.getState().getStates())


def focused(app):
    return next((n for n in nodes(app) if pyatspi.STATE_FOCUSED in states(n)), None)


def report(ok, what):
    print(("ok: " if ok else "FAILED: ") + what, flush=True)


def key(window, name, settle=0.8):
    subprocess.run(["xdotool", "key", "--window", window, name], check=True)
    time.sleep(settle)


def described(node):
    return f"{node.getRoleName()} {node.name!r}" if node is not None else "nothing"


def page_text(app):
    document = next(n for n in nodes(app) if n.getRole() == pyatspi.ROLE_DOCUMENT_WEB)
    texts = []
    for n in nodes(document):
        try:
            text = n.queryText()
            texts.append(text.getText(0, text.characterCount))
        except NotImplementedError:
            pass
    return document, "".join(texts)


def main():
    window = sys.argv[1]
    app = application()
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True)
    time.sleep(1)

    shown = [n for n in nodes(app) if pyatspi.STATE_SHOWING in states(n)]
    unnamed = [described(n) for n in shown if n.getRoleName() in CONTROLS and not n.name.strip()]
    report(not unnamed, f"every shown control has a name ({unnamed or 'all named'})")
    images = [described(n) for n in nodes(app) if n.getRole() == pyatspi.ROLE_IMAGE and not n.name]
    report(not images, f"no unnamed image ({images or 'none'})")
    links = [n.name for n in nodes(app) if n.getRole() == pyatspi.ROLE_LINK]
    report(len(links) == 3, f"the three clickable texts are links ({links})")
    accept = next(n for n in nodes(app) if n.getRole() == pyatspi.ROLE_CHECK_BOX)
    report("licenc" in accept.name, f"the check box says what is accepted ({accept.name!r})")
    document, _ = page_text(app)
    languages = set()
    for n in nodes(document):
        try:
            languages.update(a for a in n.queryText().getDefaultAttributes().split(";") if a.startswith("language:"))
        except NotImplementedError:
            pass
    report(languages == {"language:pl"}, f"the page's text is Polish to a screen reader ({sorted(languages)})")

    # Keys only from here.
    for _ in range(4):
        if (focused(app) or accept).getRole() == pyatspi.ROLE_LINK:
            break
        key(window, "Tab")
    licence_link = focused(app)
    report(licence_link is not None and licence_link.getRole() == pyatspi.ROLE_LINK and "licenc" in licence_link.name,
           f"Tab reaches the licence link ({described(licence_link)})")
    key(window, "Return", 1.5)
    _, text = page_text(app)
    report("UMOWA LICENCYJNA" in text, "Return shows the licence, its text in the accessibility tree")
    hide = focused(app)
    report(hide is not None and hide.name.replace("\xa0", " ") == "Ukryj licencję",
           f"the focus moves to the link that hides it ({described(hide)})")
    key(window, "Page_Down")
    key(window, "Return", 1.5)
    _, text = page_text(app)
    back = focused(app)
    report("UMOWA LICENCYJNA" not in text and "Witaj w nowym Tovik!" in text and back is not None and
           back.getRole() == pyatspi.ROLE_LINK, f"Return on it brings the welcome view back ({described(back)})")
    key(window, "shift+Tab")
    key(window, "space")
    report(pyatspi.STATE_CHECKED in states(accept), "Space ticks the box")
    key(window, "Tab")
    key(window, "Tab")
    install = focused(app)
    report(install is not None and install.getRole() == pyatspi.ROLE_PUSH_BUTTON and install.name == "Zainstaluj",
           f"Tab reaches Install, now enabled ({described(install)})")
    key(window, "Return", 1.5)
    bar = focused(app)
    report(bar is not None and bar.getRole() == pyatspi.ROLE_PROGRESS_BAR and pyatspi.STATE_SHOWING in states(bar)
           and bar.name.startswith("Trwa"), f"after Install the focus is on the showing progress bar ({described(bar)})")
    try:
        value = bar.queryValue()
        report(value.maximumValue > 0, "the progress bar exposes its value")
    except (NotImplementedError, AttributeError):
        report(False, "the progress bar exposes its value")


if __name__ == "__main__":
    main()
