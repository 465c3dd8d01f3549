#!/usr/bin/env python3
"""Drives zentrix.exe in a real window, as a person would.

The program runs under 32-bit Wine in a Wine desktop on its own Xvfb
display, in a fresh Wine prefix. Every input is an X keyboard or mouse event
(xdotool): clicks on buttons, rows and check boxes, typing into the real file
chooser, picking a folder in the real folder chooser. What the windows show
is read by wine_inspect.exe, a small Win32 program in the same Wine session
(titles, enabled states, list rows, progress texts), and the AVI files that
appear are checked with ffprobe and against zentrix-cli of the native build.

Screenshots of the main window after a reading, of the progress dialog and
of the About dialog (and a few more) land in OUT/screens.

Usage: wine_gui_test.py --mingw-bin DIR --native-bin DIR --out DIR
Prints one line per check and ends with "N passed, M failed".
"""
import argparse
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DESKTOP = (1024, 768)
MAIN_CLASS = "ZENTRIX"
DIALOG_CLASS = "#32770"
MENU_CLASS = "#32768"


class Abort(Exception):
    """A step failed in a way that leaves nothing sensible to do after it."""


class Report:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, condition, what, detail=""):
        if condition:
            self.passed += 1
            print(f"ok    {what}", flush=True)
        else:
            self.failed += 1
            print(f"FAIL  {what}" + (f": {detail}" if detail else ""), flush=True)
        return condition

    def require(self, condition, what, detail=""):
        if not self.check(condition, what, detail):
            raise Abort(what)


def windows_path(path):
    """The Wine path of a Unix file (drive Z: is the Unix root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def thousands(value):
    return f"{value:,}"


class Session:
    """Xvfb, the Wine prefix, zentrix.exe and the inspector."""

    def __init__(self, args, out):
        self.args = args
        self.out = out
        self.xvfb = None
        self.app = None
        self.inspector = None
        self.answers = queue.Queue()
        self.env = None
        self.desktop_window = None

    # -- set-up -----------------------------------------------------------
    def start_display(self):
        for number in range(90, 160):
            if os.path.exists(f"/tmp/.X{number}-lock") or \
               os.path.exists(f"/tmp/.X11-unix/X{number}"):
                continue
            log = open(os.path.join(self.out, "xvfb.log"), "w")
            self.xvfb = subprocess.Popen(
                ["Xvfb", f":{number}", "-screen", "0", f"{DESKTOP[0]}x{DESKTOP[1]}x24",
                 "-nolisten", "tcp"], stdout=log, stderr=subprocess.STDOUT)
            for _ in range(100):
                if os.path.exists(f"/tmp/.X11-unix/X{number}"):
                    break
                if self.xvfb.poll() is not None:
                    break
                time.sleep(0.05)
            if self.xvfb.poll() is None and os.path.exists(f"/tmp/.X11-unix/X{number}"):
                return f":{number}"
            self.xvfb.kill()
            self.xvfb.wait()
        raise Abort("no free X display for Xvfb")

    def make_prefix(self, display):
        home = os.path.join(self.out, "home")
        os.makedirs(home)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("WINE", "XDG_", "WAYLAND"))}
        env.update({
            "DISPLAY": display,
            "HOME": home,                       # the prefix's Documents link here
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "WINEPREFIX": os.path.join(self.out, "prefix"),
            "WINEARCH": "win32",
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",  # no Mono or Gecko prompts
        })
        self.env = env
        started = time.time()
        subprocess.run(["wineboot", "-i"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=180)
        # Everything in a Wine desktop: Wine then places, activates and
        # focuses windows itself, as Windows does, with no window manager.
        for key, name, value in (("HKCU\\Software\\Wine\\Explorer", "Desktop", "Default"),
                                 ("HKCU\\Software\\Wine\\Explorer\\Desktops", "Default",
                                  f"{DESKTOP[0]}x{DESKTOP[1]}")):
            subprocess.run(["wine", "reg", "add", key, "/v", name, "/d", value, "/f"],
                           env=env, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(["wineserver", "-w"], env=env, timeout=120)
        # Debian's Wine does not look in its own font folder: give the prefix
        # Wine's Tahoma and Marlett (dialog text and caption buttons).
        fonts = "/usr/share/wine/fonts"
        if os.path.isdir(fonts):
            target = os.path.join(env["WINEPREFIX"], "drive_c", "windows", "Fonts")
            for name in os.listdir(fonts):
                if name.endswith(".ttf"):
                    shutil.copy(os.path.join(fonts, name), target)
        print(f"..    Wine prefix ready in {time.time() - started:.1f} s", flush=True)
        return home

    def build_inspector(self):
        exe = os.path.join(self.out, "wine_inspect.exe")
        source = os.path.join(HERE, "wine_inspect.cpp")
        compiler = shutil.which("i686-w64-mingw32-g++-posix") or \
            shutil.which("i686-w64-mingw32-g++")
        if not compiler:
            raise Abort("no i686 MinGW-w64 compiler for the inspector")
        subprocess.run([compiler, "-O1", "-Wall", "-Wextra", "-Werror", "-static",
                        "-o", exe, source], check=True, timeout=300)
        return exe

    def start_inspector(self, exe):
        self.inspector = subprocess.Popen(["wine", exe], env=self.env, stdin=subprocess.PIPE,
                                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                          text=True, bufsize=1)

        def read():
            for line in self.inspector.stdout:
                self.answers.put(line)
            self.answers.put(None)
        threading.Thread(target=read, daemon=True).start()

    def start_app(self):
        log = open(os.path.join(self.out, "zentrix.log"), "w")
        exe = os.path.join(self.args.mingw_bin, "zentrix.exe")
        self.app = subprocess.Popen(["wine", exe], cwd=self.args.mingw_bin, env=self.env,
                                    stdout=log, stderr=subprocess.STDOUT)

    def stop(self):
        if self.inspector and self.inspector.poll() is None:
            try:
                self.inspector.stdin.write("quit\n")
                self.inspector.stdin.flush()
                self.inspector.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                self.inspector.kill()
        if self.env:
            subprocess.run(["wineserver", "-k"], env=self.env, timeout=60,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.app and self.app.poll() is None:
            self.app.kill()
            self.app.wait()
        if self.xvfb and self.xvfb.poll() is None:
            self.xvfb.send_signal(signal.SIGTERM)
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()

    # -- looking ------------------------------------------------------------
    def ask(self, command, timeout=30):
        self.inspector.stdin.write(command + "\n")
        self.inspector.stdin.flush()
        try:
            line = self.answers.get(timeout=timeout)
        except queue.Empty:
            raise Abort(f"the inspector got no answer to '{command}' "
                        f"(is the program's GUI thread hanging?)")
        if line is None:
            raise Abort("the inspector ended")
        return json.loads(line)

    def main(self):
        return self.ask("main")

    def windows(self):
        return self.ask("windows")

    def children(self, window):
        return self.ask(f"children {window['hwnd']}")

    def find_window(self, title=None, cls=DIALOG_CLASS):
        for window in self.windows():
            if window["class"] == cls and (title is None or window["text"] == title):
                return window
        return None

    def wait_for(self, probe, timeout, what):
        end = time.time() + timeout
        while True:
            value = probe()
            if value:
                return value
            if time.time() > end:
                raise Abort(f"timed out after {timeout} s waiting for {what}")
            if self.app.poll() is not None:
                raise Abort(f"zentrix.exe ended (code {self.app.returncode}) "
                            f"while waiting for {what}")
            time.sleep(0.1)

    def wait_window(self, title, timeout=20, cls=DIALOG_CLASS):
        return self.wait_for(lambda: self.find_window(title, cls), timeout,
                             f"the window '{title}'")

    def wait_gone(self, window, timeout=30):
        self.wait_for(lambda: not any(w["hwnd"] == window["hwnd"] for w in self.windows()),
                      timeout, f"the window '{window['text']}' to close")

    def child(self, window, text=None, cls=None, control_id=None):
        for c in self.children(window):
            if (text is None or c["text"] == text) and (cls is None or c["class"] == cls) \
               and (control_id is None or c["id"] == control_id):
                return c
        return None

    def screenshot(self, name, rect=None):
        path = os.path.join(self.out, "screens", name)
        command = ["import", "-display", self.env["DISPLAY"], "-window", "root"]
        if rect:
            left, top, right, bottom = (max(0, rect[0]), max(0, rect[1]),
                                        min(DESKTOP[0], rect[2]), min(DESKTOP[1], rect[3]))
            command += ["-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage"]
        subprocess.run(command + [path], env=self.env, check=True, timeout=60)
        print(f"..    screenshot {path}", flush=True)

    # -- acting -------------------------------------------------------------
    def xdotool(self, *arguments):
        subprocess.run(["xdotool", *arguments], env=self.env, check=True, timeout=60)

    def focus_desktop(self):
        """Keyboard input goes to the Wine desktop, which hands it on to the
        active window as Windows would."""
        if not self.desktop_window:
            found = subprocess.run(["xdotool", "search", "--name", "Wine desktop"],
                                   env=self.env, capture_output=True, text=True, timeout=60)
            ids = found.stdout.split()
            if not ids:
                raise Abort("no Wine desktop window on the display")
            self.desktop_window = ids[0]
        self.xdotool("windowfocus", "--sync", self.desktop_window)

    def keys(self, *names):
        self.focus_desktop()
        for name in names:
            self.xdotool("key", "--delay", "60", name)
            time.sleep(0.1)

    def type_text(self, text):
        self.focus_desktop()
        self.xdotool("type", "--delay", "15", text)

    def click_at(self, x, y):
        self.xdotool("mousemove", "--sync", str(x), str(y))
        self.xdotool("click", "1")
        time.sleep(0.15)

    def click(self, control):
        left, top, right, bottom = control["rect"]
        self.click_at((left + right) // 2, (top + bottom) // 2)

    def drag(self, start, end):
        self.xdotool("mousemove", "--sync", str(start[0]), str(start[1]))
        self.xdotool("mousedown", "1")
        for step in range(1, 11):
            x = start[0] + (end[0] - start[0]) * step // 10
            y = start[1] + (end[1] - start[1]) * step // 10
            self.xdotool("mousemove", "--sync", str(x), str(y))
            time.sleep(0.03)
        self.xdotool("mouseup", "1")
        time.sleep(0.3)


def cli_scan(args, recording):
    result = subprocess.run([os.path.join(args.native_bin, "zentrix-cli"), "scan", recording],
                            capture_output=True, text=True, check=True, timeout=120)
    return [line.split("\t") for line in result.stdout.splitlines() if line]


def cli_export(args, recording, folder, channels):
    os.makedirs(folder)
    subprocess.run([os.path.join(args.native_bin, "zentrix-cli"), "export", recording, folder,
                    "--channels", ",".join(str(c) for c in channels)],
                   capture_output=True, text=True, check=True, timeout=300)
    return sorted(os.listdir(folder))


def probe(path):
    """Codec, tag, size and decoded frame count of an AVI file's video."""
    result = subprocess.run(
        ["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
         "-show_entries", "stream=codec_name,codec_tag_string,width,height,nb_read_frames",
         "-of", "json", path], capture_output=True, text=True, timeout=300)
    if result.returncode != 0:
        return None
    streams = json.loads(result.stdout).get("streams", [])
    return streams[0] if streams else None


def make_recordings(args, folder):
    mkrec = os.path.join(args.native_bin, "zentrix-mkrec")
    recordings = {
        # Three channels of three codec types: the everyday case.
        "small.rec": ["--channels", "1,2,3", "--codecs", "6,2,0", "--duration", "4"],
        # One channel for each codec module: Motion JPEG, H.263+, MPEG-4, H.264.
        "codecs.rec": ["--channels", "1-4", "--codecs", "0,1,2,6", "--duration", "3"],
        # 64 channels a header block: a reading long enough to cancel.
        "long-reading.rec": ["--channels", "1-64", "--codecs", "2", "--sizes", "64x48",
                             "--fps", "1", "--duration", "150", "--layout", "ext"],
        # Two channels, ten minutes: an export long enough to cancel.
        "long-export.rec": ["--channels", "1,3", "--codecs", "2", "--sizes", "160x120",
                            "--duration", "600"],
    }
    paths = {}
    for name, options in recordings.items():
        path = os.path.join(folder, name)
        subprocess.run([mkrec, "--quiet", *options, path], check=True, timeout=300,
                       stdout=subprocess.DEVNULL)
        paths[name] = path
    return paths


def row_texts(main):
    return [row["texts"] for row in main["rows"]]


# -- the scenario ----------------------------------------------------------

def check_start(s, r):
    main = s.wait_for(lambda: (lambda m: m if m and m["visible"] else None)(s.main()), 60,
                      "the main window")
    r.check(main["text"] == "zentrix", "start: title is 'zentrix'", main["text"])
    r.check(main["open"]["enabled"] and main["open"]["text"] == "&Open",
            "start: Open enabled")
    r.check(not main["export"]["enabled"] and main["export"]["text"] == "&Export",
            "start: Export disabled")
    r.check([c["text"] for c in main["columns"]] ==
            ["Channel No.", "First date/time", "Last date/time"] and
            [c["width"] for c in main["columns"]] == [200, 300, 300],
            "start: the three column headers", str(main["columns"]))
    r.check(main["rows"] == [], "start: the channel list is empty")
    r.check(main["hasMenu"], "start: the window has its menu")
    r.check(main["extendedStyle"] & 0x10005 == 0x10005 and main["hasImageList"],
            "start: list with grid lines, check boxes, double buffering and icons")
    check_layout(s, r, "start")
    r.check(main["focus"] == main["hwnd"], "start: the main window has the keyboard focus")
    s.screenshot("main_window_start.png", main["rect"])

    # The menu: File shows a pop-up menu.
    s.keys("alt+f")
    popup = s.wait_for(lambda: s.find_window(None, MENU_CLASS), 10, "the File menu")
    s.screenshot("file_menu.png", [0, 0, popup["rect"][2] + 20, popup["rect"][3] + 20])
    s.keys("Escape", "Escape")
    s.wait_for(lambda: not s.find_window(None, MENU_CLASS), 10, "the menu to close")


def check_layout(s, r, when):
    main = s.main()
    left, top, right, bottom = main["client"]
    r.check(main["open"]["rect"] == [left, top, left + 100, top + 30] and
            main["export"]["rect"] == [left + 100, top, left + 200, top + 30] and
            main["list"]["rect"] == [left, top + 30, right, bottom],
            f"{when}: buttons 100 x 30 in the top-left corner, the list below them",
            f"client {main['client']}, open {main['open']['rect']}, "
            f"export {main['export']['rect']}, list {main['list']['rect']}")


def check_about(s, r):
    s.keys("alt+question")
    about = s.wait_window("About", 10)
    texts = [c["text"] for c in s.children(about)]
    r.check("zentrix Version 1.1" in texts and "OK" in texts,
            "Alt+'?' opens the About dialog", str(texts))
    s.screenshot("about_dialog.png", about["rect"])
    s.keys("Escape")
    s.wait_gone(about, 10)
    r.check(True, "Esc closes the About dialog")

    # The same dialog from the Help menu, closed with its OK button.
    s.keys("alt+h", "a")
    about = s.wait_window("About", 10)
    s.click(s.child(about, "OK"))
    s.wait_gone(about, 10)
    r.check(True, "Help > About ... opens it; OK closes it")


def check_resize(s, r):
    main = s.main()
    left, top, right, bottom = main["rect"]
    # Drag the bottom-right corner of the frame outwards.
    s.drag((right - 2, bottom - 2), (right + 150, bottom + 100))
    resized = s.main()
    r.check(resized["rect"][2] > right and resized["rect"][3] > bottom,
            "the window resizes by dragging its corner", str(resized["rect"]))
    check_layout(s, r, "after resizing")


def run_open(s, recording, expect_previous=None):
    """Open -> file chooser -> the recording. Returns the progress dialog and,
    with expect_previous, whether the chooser's file name field showed it."""
    s.click(s.main()["open"])
    chooser = s.wait_window("Choose a data file...", 20)
    previous = None
    if expect_previous is not None:
        edits = [c["text"] for c in s.children(chooser) if c["class"] == "Edit"]
        previous = (any(text.endswith(expect_previous) for text in edits), str(edits))
    s.keys("Home", "shift+End")
    s.type_text(windows_path(recording))
    s.keys("Return")
    s.wait_gone(chooser, 20)
    return s.wait_window("Reading data...", 20), previous


def progress_state(s, dialog):
    text = s.child(dialog, control_id=1001)
    bar = s.child(dialog, control_id=1000)
    if not text or not bar:
        return None
    state = s.ask(f"progress {bar['hwnd']}")
    return text["text"], state


def check_reading(s, r, recordings):
    recording = recordings["small.rec"]
    size = os.path.getsize(recording)
    dialog, _ = run_open(s, recording)
    # The completed run stays at 100 % for a second before the dialog closes.
    done_text = f"Progress: {thousands(size)}/{thousands(size)} bytes (100 %)"
    seen = None
    end = time.time() + 30
    while time.time() < end:
        state = progress_state(s, dialog)
        if state is None:
            break
        if state[0] == done_text:
            seen = state
            s.screenshot("progress_dialog_done.png", dialog["rect"])
            break
        time.sleep(0.05)
    r.check(seen is not None, "the completed reading shows the 100 % text", done_text)
    if seen:
        r.check(seen[1]["position"] == size and seen[1]["high"] == size,
                "the progress bar is full at the file length", str(seen[1]))
    s.wait_gone(dialog, 15)
    r.check(True, "the progress dialog closes by itself")

    main = s.main()
    expected_title = "zentrix - " + windows_path(recording)
    r.check(main["text"] == expected_title, "the title reads 'zentrix - ' and the path",
            main["text"])
    expected = cli_scan(s.args, recording)
    r.check(row_texts(main) == expected, "the rows and times are those of zentrix-cli scan",
            f"window {row_texts(main)}, cli {expected}")
    r.check([row["itemData"] for row in main["rows"]] ==
            [int(t[0].split()[1]) - 1 for t in expected] and
            all(row["image"] == 0 and row["stateImage"] == 1 for row in main["rows"]),
            "each row: channel number as item data, image 0, an unticked check box")
    r.check(main["export"]["enabled"], "Export is enabled after the reading")
    s.screenshot("main_window_after_reading.png", main["rect"])

    # Alt+'?' is the main window's own: not while the list has the focus.
    row = main["rows"][1]
    s.click_at((row["label"][0] + row["label"][2]) // 2, (row["label"][1] + row["label"][3]) // 2)
    main = s.main()
    r.check(main["focus"] == main["list"]["hwnd"], "a click on a row gives the list the focus",
            f"focus {main['focus']}, list {main['list']['hwnd']}")
    s.keys("alt+question")
    time.sleep(1.5)
    r.check(s.find_window("About") is None,
            "Alt+'?' does nothing while a child control has the focus")
    s.keys("Escape")  # leave any menu mode the Alt key began
    return recording


def check_export_nothing_ticked(s, r):
    s.click(s.main()["export"])
    box = s.wait_window("Error", 10)
    texts = [c["text"] for c in s.children(box)]
    r.check("Check at least an item to export as AVI from the list." in texts,
            "Export with nothing ticked shows the error message", str(texts))
    s.screenshot("error_nothing_ticked.png", box["rect"])
    s.keys("Return")
    s.wait_gone(box, 10)
    r.check(s.find_window("Browse for Folder") is None, "and no folder chooser follows")


def tick_rows(s, r, rows):
    """Ticks the first of rows with a mouse click on its check box and the
    others with the keyboard: click the row, then the space bar."""
    main = s.main()
    first = main["rows"][rows[0]]
    s.click_at((first["bounds"][0] + first["icon"][0]) // 2,
               (first["icon"][1] + first["icon"][3]) // 2)
    for index in rows[1:]:
        row = s.main()["rows"][index]
        s.click_at((row["label"][0] + row["label"][2]) // 2,
                   (row["label"][1] + row["label"][3]) // 2)
        s.keys("space")
    ticked = [i for i, row in enumerate(s.main()["rows"]) if row["checked"]]
    r.require(ticked == sorted(rows), f"rows {rows} are ticked (mouse and space bar)",
              f"ticked {ticked}")


def choose_folder(s, r, folder_name, first=False):
    chooser = s.wait_window("Browse for Folder", 20)
    r.check(s.child(chooser, "Select folder to save AVI files...") is not None,
            "the folder chooser asks to 'Select folder to save AVI files...'")
    tree = s.child(chooser, cls="SysTreeView32")
    items = s.ask(f"tree {tree['hwnd']}")
    if first:
        r.check(bool(items) and items[0]["text"] == "Documents",
                "the folder chooser is rooted at the documents folder",
                str([i["text"] for i in items]))
        s.screenshot("folder_chooser.png", chooser["rect"])
    target = next((i for i in items if i["text"] == folder_name), None)
    r.require(target is not None, f"the folder '{folder_name}' is offered",
              str([i["text"] for i in items]))
    s.click(target)
    items = s.ask(f"tree {tree['hwnd']}")
    r.check(any(i["text"] == folder_name and i["selected"] for i in items),
            f"'{folder_name}' is selected")
    s.click(s.child(chooser, "OK"))
    s.wait_gone(chooser, 10)


def check_avi_files(s, r, folder, reference, what):
    """The files in folder against those zentrix-cli wrote to reference: the
    same names, each an MPEG-4 'xvid' video with as many decodable frames."""
    names = sorted(os.listdir(folder))
    expected = sorted(os.listdir(reference))
    r.check(names == expected, f"{what}: the AVI files are named as zentrix-cli names them",
            f"here {names}, zentrix-cli {expected}")
    for name in names:
        info = probe(os.path.join(folder, name))
        model = probe(os.path.join(reference, name)) if name in expected else None
        frames = int(info.get("nb_read_frames", 0)) if info else 0
        r.check(info is not None and info.get("codec_name") == "mpeg4" and
                info.get("codec_tag_string") == "xvid" and frames > 0 and
                model is not None and frames == int(model.get("nb_read_frames", -1)),
                f"{what}: {name} plays (MPEG-4, xvid, {frames} frames as zentrix-cli's)",
                f"{info} against {model}")


def check_export(s, r, recording, home):
    check_export_nothing_ticked(s, r)
    tick_rows(s, r, [0, 2])
    folder = os.path.join(home, "avi-out")
    os.makedirs(folder)
    s.click(s.main()["export"])
    choose_folder(s, r, "avi-out", first=True)
    dialog = s.wait_for(lambda: s.find_window("Exporting AVI...") or
                        s.find_window("Reading data..."), 20, "the export's progress dialog")
    s.wait_for(lambda: s.find_window("Exporting AVI..."), 20, "the title 'Exporting AVI...'")
    r.check(True, "the export's progress dialog is titled 'Exporting AVI...'")
    s.wait_gone(dialog, 120)
    reference = os.path.join(s.out, "cli-export")
    expected = cli_export(s.args, recording, reference, [1, 3])
    r.check(len(expected) == 2, "zentrix-cli exports the same channels to two files",
            str(expected))
    check_avi_files(s, r, folder, reference, "export")
    main = s.main()
    r.check([row["checked"] for row in main["rows"]] == [True, False, True],
            "the check boxes stay ticked after the export")
    r.check(main["export"]["enabled"], "Export stays enabled")


def cancel_run(s, dialog, answer, use_escape=False):
    """Cancel (button or Esc), then answer the question. Returns its texts."""
    if use_escape:
        s.keys("Escape")
    else:
        s.click(s.child(dialog, "Cancel"))
    box = s.wait_window("Question", 10)
    texts = [c["text"] for c in s.children(box)]
    shot = "cancel_question.png" if answer == "&No" else None
    if shot:
        s.screenshot(shot, box["rect"])
    s.click(s.child(box, answer))
    s.wait_gone(box, 10)
    return texts


def wait_running(s, dialog, minimum_percent=1):
    def running():
        state = progress_state(s, dialog)
        if not state:
            return None
        match = re.search(r"\((\d+) %\)", state[0])
        return state if match and minimum_percent <= int(match.group(1)) < 100 else None
    return s.wait_for(running, 60, "the run to be under way")


def check_cancel_reading(s, r, recordings, previous):
    recording = recordings["long-reading.rec"]
    # No: the reading goes on and completes.
    dialog, shown = run_open(s, recording, expect_previous=os.path.basename(previous))
    r.check(shown[0], "the file chooser starts with the previous path", shown[1])
    wait_running(s, dialog, minimum_percent=15)
    s.screenshot("progress_dialog.png", dialog["rect"])
    texts = cancel_run(s, dialog, "&No")
    r.check("Are you sure to cancel reading data?" in texts,
            "Cancel asks 'Are you sure to cancel reading data?'", str(texts))
    r.check(s.find_window("Reading data...") is not None, "No: the reading goes on")
    s.wait_gone(dialog, 120)
    main = s.main()
    r.check(row_texts(main) == cli_scan(s.args, recording) and main["export"]["enabled"],
            "No: the reading completes with every row, Export enabled",
            f"{len(main['rows'])} rows")

    # Yes (asked with the Esc key): the list empties and Export is disabled.
    dialog, _ = run_open(s, recording)
    wait_running(s, dialog)
    texts = cancel_run(s, dialog, "&Yes", use_escape=True)
    r.check("Are you sure to cancel reading data?" in texts, "Esc asks the same question")
    s.wait_gone(dialog, 30)
    main = s.main()
    r.check(main["rows"] == [] and not main["export"]["enabled"],
            "Yes: the list is empty and Export disabled", f"{len(main['rows'])} rows")
    r.check(main["text"] == "zentrix - " + windows_path(recording),
            "Yes: the title keeps the new path", main["text"])


def check_cancel_export(s, r, recordings, home):
    recording = recordings["long-export.rec"]
    dialog, _ = run_open(s, recording)
    s.wait_gone(dialog, 60)
    tick_rows(s, r, [0, 1])
    folder = os.path.join(home, "avi-cancelled")
    os.makedirs(folder)
    s.click(s.main()["export"])
    choose_folder(s, r, "avi-cancelled")
    dialog = s.wait_window("Exporting AVI...", 20)
    wait_running(s, dialog, minimum_percent=10)
    s.screenshot("progress_dialog_export.png", dialog["rect"])
    texts = cancel_run(s, dialog, "&Yes")
    r.check("Are you sure to cancel exporting AVI files?" in texts,
            "Cancel asks 'Are you sure to cancel exporting AVI files?'", str(texts))
    s.wait_gone(dialog, 60)

    names = sorted(os.listdir(folder))
    pattern = re.compile(r"Ch(\d+)_(\d{8})_(\d{6})_(\d{8})_(\d{6})\.avi$")
    matches = [pattern.match(n) for n in names]
    r.check(len(names) == 2 and all(matches) and
            sorted(int(m.group(1)) for m in matches) == [1, 3],
            "cancelled export: one finished file per ticked channel, no temporary files",
            str(names))
    for name, match in zip(names, matches):
        if not match:
            continue
        info = probe(os.path.join(folder, name))
        start = int(match.group(3)[:2]) * 3600 + int(match.group(3)[2:4]) * 60 + \
            int(match.group(3)[4:])
        last = int(match.group(5)[:2]) * 3600 + int(match.group(5)[2:4]) * 60 + \
            int(match.group(5)[4:])
        frames = int(info.get("nb_read_frames", 0)) if info else 0
        # Ten pictures a second: the name's time range must match the content.
        r.check(info is not None and info.get("codec_tag_string") == "xvid" and
                match.group(2) == "20090307" and start == 8 * 3600 + 5 * 60 and
                last < 8 * 3600 + 14 * 60 + 59 and
                (last - start) * 10 <= frames <= (last - start + 1) * 10,
                f"cancelled export: {name} plays and its name spans its {frames} frames",
                str(info))
    main = s.main()
    r.check([row["checked"] for row in main["rows"]] == [True, True] and
            main["export"]["enabled"],
            "cancelled export: the list, its check boxes and Export are unchanged")


def check_exit(s, r):
    s.keys("alt+f", "x")
    try:
        code = s.app.wait(timeout=20)
    except subprocess.TimeoutExpired:
        code = None
    r.check(code == 0, "File > E&xit ends the process with exit code 0", str(code))


def check_cli_under_wine(s, r, recordings):
    """zentrix-cli.exe with the Windows codec modules: every module transcodes."""
    recording = recordings["codecs.rec"]
    folder = os.path.join(s.out, "cli-wine")
    os.makedirs(folder)
    result = subprocess.run(["wine", os.path.join(s.args.mingw_bin, "zentrix-cli.exe"), "export",
                             windows_path(recording), windows_path(folder)],
                            cwd=s.args.mingw_bin, env=s.env, capture_output=True, text=True,
                            timeout=300)
    r.check(result.returncode == 0, "zentrix-cli.exe export runs under Wine",
            result.stderr[-500:])
    reference = os.path.join(s.out, "cli-native")
    expected = cli_export(s.args, recording, reference, [1, 2, 3, 4])
    r.check(len(expected) == 4, "the native zentrix-cli exports four files", str(expected))
    check_avi_files(s, r, folder, reference, "Windows codec modules")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mingw-bin", required=True, help="folder with zentrix.exe and modules")
    parser.add_argument("--native-bin", required=True,
                        help="folder with the native zentrix-cli and zentrix-mkrec")
    parser.add_argument("--out", required=True, help="work folder (emptied first)")
    args = parser.parse_args()
    args.mingw_bin = os.path.abspath(args.mingw_bin)
    args.native_bin = os.path.abspath(args.native_bin)
    out = os.path.abspath(args.out)

    missing = [tool for tool in ("wine", "wineboot", "wineserver", "Xvfb", "xdotool", "import",
                                 "ffprobe") if not shutil.which(tool)]
    needed = [os.path.join(args.mingw_bin, f) for f in
              ("zentrix.exe", "ravex.dll", "sorvel.dll", "tambrix.dll", "quonix.dll")] + \
             [os.path.join(args.native_bin, f) for f in
              ("zentrix-cli", "zentrix-mkrec", "ravex.dll", "sorvel.dll", "tambrix.dll",
               "quonix.dll")]
    missing += [f for f in needed if not os.path.exists(f)]
    if missing:
        print("wine gui test: missing " + ", ".join(missing), file=sys.stderr)
        print("wine-gui: 0 passed, 1 failed")
        return 1

    if os.path.exists(out):
        shutil.rmtree(out)
    os.makedirs(os.path.join(out, "screens"))
    r = Report()
    s = Session(args, out)
    started = time.time()
    try:
        os.makedirs(os.path.join(out, "recordings"))
        recordings = make_recordings(args, os.path.join(out, "recordings"))
        display = s.start_display()
        home = s.make_prefix(display)
        inspector = s.build_inspector()
        s.start_app()
        s.start_inspector(inspector)
        check_start(s, r)
        check_about(s, r)
        previous = check_reading(s, r, recordings)
        check_export(s, r, previous, home)
        check_cancel_reading(s, r, recordings, previous)
        check_cancel_export(s, r, recordings, home)
        check_resize(s, r)
        check_exit(s, r)
        check_cli_under_wine(s, r, recordings)
    except Abort as failure:
        r.check(False, "the scenario ran to its end", str(failure))
        try:
            s.screenshot("at_failure.png")
        except Exception:  # the display may be gone; the failure is reported already
            pass
    finally:
        s.stop()
    print(f"..    {time.time() - started:.0f} s in all; screenshots in {out}/screens",
          flush=True)
    print(f"wine-gui: {r.passed} passed, {r.failed} failed")
    return 0 if r.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
