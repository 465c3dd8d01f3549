#!/usr/bin/env python3
"""Drives zentrix.exe in a real window, as a person would: under Wine (32-bit,
or 64-bit for the 64-bit build with --arch win64) in a Wine desktop on its own Xvfb display and a fresh prefix, every input an X
event (xdotool), also in the real file and folder choosers. wine_inspect.exe
reports what the windows show; AVI files are checked with ffprobe and against
the native zentrix-cli. Screenshots land in OUT/screens. Ends with the line
"wine-gui: N passed, M failed".
"""
import argparse, glob, json, os, queue, re, shutil, subprocess, sys, threading, time  # noqa: E401

HERE = os.path.dirname(os.path.abspath(__file__))
QUIET = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
# Per Wine architecture: the loader that starts every Windows program, and the
# cross compiler of the inspector. Debian has no wine64 command, and while
# 32-bit Wine is installed "wine" and "wineboot" start the 32-bit loader: the
# 64-bit loader is started by its own path.
ARCHES = {
    "win32": ("wine", "i686-w64-mingw32"),
    "win64": ("/usr/lib/wine/wine64", "x86_64-w64-mingw32"),
}


class Abort(Exception):
    """A step failed in a way that leaves nothing sensible to do after it."""


class Report:
    passed = failed = 0

    def check(self, condition, what, detail=""):
        self.passed += bool(condition)
        self.failed += not condition
        print(f"ok    {what}" if condition else f"FAIL  {what}: {detail}".rstrip(": "), flush=True)
        return condition

    def require(self, condition, what, detail=""):
        if not self.check(condition, what, detail):
            raise Abort(what)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")  # drive Z: is the Unix root


class Session:
    """Xvfb, the Wine prefix, zentrix.exe and the inspector."""

    def __init__(self, args):
        self.args, self.out = args, args.out
        self.xvfb = self.app = self.inspector = self.env = None
        self.answers = queue.Queue()

    def start(self):
        """Returns the home folder (the prefix's Documents link there)."""
        ready, write = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0",
                                      "1024x768x24", "-nolisten", "tcp"], pass_fds=[write],
                                     **QUIET)
        os.close(write)
        with os.fdopen(ready) as answer:
            display = answer.readline().strip()
        if not display:
            raise Abort("Xvfb did not start")
        home = os.path.join(self.out, "home")
        os.makedirs(home)
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith(("WINE", "XDG_", "WAYLAND"))}
        loader, host = ARCHES[self.args.arch]
        self.loader = shutil.which(loader) or loader
        self.env.update(DISPLAY=":" + display, HOME=home, XDG_CONFIG_HOME=home + "/.config",
                        WINEPREFIX=os.path.join(self.out, "prefix"), WINEARCH=self.args.arch,
                        WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")  # no Mono, Gecko
        if self.args.arch == "win64":
            self.env["WINELOADER"] = self.loader
        wine = lambda *command, timeout=60: subprocess.run(  # noqa: E731
            command, env=self.env, check=True, timeout=timeout, **QUIET)
        wine(self.loader, "wineboot", "-i", timeout=180)
        # A Wine desktop places, activates and focuses windows as Windows does,
        # with no window manager.
        for key, name, value in (("", "Desktop", "Default"), ("\\Desktops", "Default", "1024x768")):
            wine(self.loader, "reg", "add", "HKCU\\Software\\Wine\\Explorer" + key, "/v", name, "/d",
                 value, "/f")
        wine("wineserver", "-w", timeout=120)
        # Debian's Wine does not look in its own font folder: Tahoma and Marlett
        # (dialog text and caption buttons) go into the prefix.
        for font in glob.glob("/usr/share/wine/fonts/*.ttf"):
            shutil.copy(font, os.path.join(self.env["WINEPREFIX"], "drive_c", "windows", "Fonts"))
        print("..    Wine prefix ready", flush=True)

        exe = os.path.join(self.out, "wine_inspect.exe")
        compiler = shutil.which(host + "-g++-posix") or host + "-g++"
        subprocess.run([compiler, "-O1", "-Wall", "-Wextra", "-Werror", "-static", "-o", exe,
                        os.path.join(HERE, "wine_inspect.cpp")], check=True, timeout=300)
        self.app = subprocess.Popen([self.loader, os.path.join(self.args.mingw_bin, "zentrix.exe")],
                                    cwd=self.args.mingw_bin, env=self.env, **QUIET)
        self.inspector = subprocess.Popen([self.loader, exe], env=self.env, stdin=subprocess.PIPE,
                                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                          text=True, bufsize=1)
        threading.Thread(target=lambda: [*map(self.answers.put, self.inspector.stdout),
                                         self.answers.put(None)], daemon=True).start()
        return home

    def stop(self):
        if self.env:  # ends every Wine process of the prefix
            subprocess.run(["wineserver", "-k"], env=self.env, timeout=60, **QUIET)
        for process in (self.inspector, self.app, self.xvfb):
            if process and process.poll() is None:
                process.kill()
                process.wait()

    # -- looking: windows, children and the main window as wine_inspect sees them
    def ask(self, command):
        self.inspector.stdin.write(command + "\n")
        self.inspector.stdin.flush()
        try:
            line = self.answers.get(timeout=30)
        except queue.Empty:
            raise Abort(f"no answer to '{command}' (is the program's GUI thread hanging?)")
        if line is None:
            raise Abort("the inspector ended")
        return json.loads(line)

    def children(self, window):
        return self.ask(f"children {window['hwnd']}")

    def texts(self, window):
        return [c["text"] for c in self.children(window)]

    def child(self, window, text=None, cls=None, control_id=None):
        return next((c for c in self.children(window) if text in (None, c["text"]) and
                     cls in (None, c["class"]) and control_id in (None, c["id"])), None)

    def find(self, title):
        return next((w for w in self.ask("windows") if w["class"] == "#32770" and
                     w["text"] == title), None)

    def gone(self, window):
        return all(w["hwnd"] != window["hwnd"] for w in self.ask("windows"))

    def until(self, probe, timeout, what=None):
        """What probe gives once it is true; after timeout seconds None, or
        with what (the thing waited for) the end of the scenario."""
        end = time.time() + timeout
        while not (value := probe()) and time.time() < end:
            if self.app.poll() is not None:
                raise Abort(f"zentrix.exe ended (code {self.app.returncode})")
            time.sleep(0.1)
        if not value and what:
            raise Abort(f"timed out after {timeout} s waiting for {what}")
        return value or None

    def wait_window(self, title, timeout=20):
        return self.until(lambda: self.find(title), timeout, f"the window '{title}'")

    def wait_gone(self, window, timeout=20):
        return self.until(lambda: self.gone(window), timeout, f"'{window['text']}' to close")

    def screenshot(self, name, rect):
        path = os.path.join(self.out, "screens", name)
        left, top = max(0, rect[0]), max(0, rect[1])
        crop = f"{min(1024, rect[2]) - left}x{min(768, rect[3]) - top}+{left}+{top}"
        subprocess.run(["import", "-display", self.env["DISPLAY"], "-window", "root", "-crop", crop,
                        "+repage", path], env=self.env, check=True, timeout=60)
        print(f"..    screenshot {path}", flush=True)

    # -- acting: X events only
    def xdotool(self, *arguments):
        subprocess.run(["xdotool", *arguments], env=self.env, check=True, timeout=60)

    def keys(self, *names):
        """Key presses ('type:...' is typed as text) go to the Wine desktop,
        which hands them on to the active window as Windows would."""
        self.xdotool("search", "--name", "Wine desktop", "windowfocus", "--sync")
        for name in names:
            if name.startswith("type:"):
                self.xdotool("type", "--delay", "15", name[5:])
            else:
                self.xdotool("key", "--delay", "60", name)
                time.sleep(0.1)

    def click(self, rect, x=None):
        """A click in the middle of rect (or at x on its middle line)."""
        x = (rect[0] + rect[2]) // 2 if x is None else x
        self.xdotool("mousemove", "--sync", str(x), str((rect[1] + rect[3]) // 2))
        self.xdotool("click", "1")
        time.sleep(0.15)


def zentrix_cli(args, *arguments):
    return subprocess.run([os.path.join(args.native_bin, "zentrix-cli"), *arguments],
                          capture_output=True, text=True, check=True, timeout=300).stdout


def probe(path):
    """Codec, tag and decoded frame count (0 if none) of an AVI file's video."""
    result = subprocess.run(
        ["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
         "stream=codec_name,codec_tag_string,nb_read_frames", "-of", "json", path],
        capture_output=True, text=True, timeout=300)
    streams = json.loads(result.stdout or "{}").get("streams") if result.returncode == 0 else None
    info = streams[0] if streams else {}
    return info.get("codec_name"), info.get("codec_tag_string"), int(info.get("nb_read_frames", 0))


def rows(main):
    return [row["texts"] for row in main["rows"]]


def cli_rows(args, recording):
    return [line.split("\t") for line in zentrix_cli(args, "scan", recording).splitlines()]


def ticked(main):
    return [row["checked"] for row in main["rows"]]


def open_recording(s, recording):
    """Open -> the file chooser -> the recording. Returns the progress dialog."""
    s.click(s.ask("main")["open"]["rect"])
    chooser = s.wait_window("Choose a data file...")
    s.keys("Home", "shift+End", "type:" + windows_path(recording), "Return")
    s.wait_gone(chooser)
    return s.wait_window("Reading data...")


def tick_rows(s, r, indices):
    """Ticks the first row's check box with the mouse and each other row with
    a click on its text and the space bar."""
    listed = s.ask("main")["rows"]
    first = listed[indices[0]]
    s.click(first["icon"], x=(first["bounds"][0] + first["icon"][0]) // 2)
    for index in indices[1:]:
        s.click(listed[index]["label"])
        s.keys("space")
    now = ticked(s.ask("main"))
    r.require([i for i, checked in enumerate(now) if checked] == indices,
              f"rows {indices} are ticked (mouse and space bar)", str(now))


def export_to(s, r, name, home):
    """Export -> the folder chooser -> a new folder under the documents folder."""
    folder = os.path.join(home, name)
    os.makedirs(folder)
    s.click(s.ask("main")["export"]["rect"])
    chooser = s.wait_window("Browse for Folder")
    items = s.ask(f"tree {s.child(chooser, cls='SysTreeView32')['hwnd']}")
    texts = [item["text"] for item in items]
    target = next((item for item in items if item["text"] == name), None)
    r.require(s.child(chooser, "Select folder to save AVI files...") and
              texts[:1] == ["Documents"] and target,
              f"the folder chooser asks for a folder under the documents folder, offers '{name}'",
              str(texts))
    s.click(target["rect"])
    s.click(s.child(chooser, "OK")["rect"])
    s.wait_gone(chooser)
    return folder


def cancel(s, dialog, percent, answer, screenshot=None):
    """Once the run behind dialog is at percent (not done), Cancel and
    answer the question. Returns the question's texts."""
    def running():
        text = s.child(dialog, control_id=1001)
        match = text and re.search(r"\((\d+) %\)", text["text"])
        return match and percent <= int(match[1]) < 100
    s.until(running, 60, f"the run to reach {percent} %")
    if screenshot:
        s.screenshot(screenshot, dialog["rect"])
    s.click(s.child(dialog, "Cancel")["rect"])
    box = s.wait_window("Question", 10)
    texts = s.texts(box)
    s.click(s.child(box, answer)["rect"])
    s.wait_gone(box, 10)
    return texts


# -- the scenario ----------------------------------------------------------

def check_start_and_about(s, r):
    main = s.until(lambda: (m := s.ask("main")) and m["visible"] and m, 60, "the main window")
    seen = [main["text"], main["open"]["text"], main["open"]["enabled"], main["export"]["text"],
            main["export"]["enabled"], main["columns"], main["rows"], main["hasMenu"]]
    r.check(seen == ["zentrix", "&Open", True, "&Export", False,
                     ["Channel No.", "First date/time", "Last date/time"], [], True],
            "start: title 'zentrix', Open enabled, Export disabled, the three column headers, "
            "no rows, the menu", str(seen))
    r.check(s.until(lambda: s.ask("main")["focus"] == main["hwnd"], 10),
            "start: the main window has the keyboard focus")
    s.keys("alt+question")
    about = s.wait_window("About", 10)  # no About dialog: the scenario ends
    texts = s.texts(about)
    r.check("zentrix Version 1.1" in texts and "OK" in texts,
            "Alt+'?' opens the About dialog with the version", str(texts))
    s.screenshot("about_dialog.png", about["rect"])
    # Its layout as built into the program (a static icon sizes itself on screen).
    icon = next((c for c in s.ask(f"dialog 103 {windows_path(s.args.mingw_bin)}\\zentrix.exe")
                 or [] if c["id"] == 2), None)
    r.check(icon and icon["class"].lower() == "static" and icon["style"] & 0x81F == 0x803 and
            icon["rect"] == [8, 6, 21, 20], "the About dialog's icon control is a real-size "
            "icon at (8, 6, 21, 20) in the built program", str(icon))
    s.keys("Escape")
    r.check(s.wait_gone(about, 10), "Esc closes the About dialog")


def check_reading(s, r, recording):
    dialog = open_recording(s, recording)
    r.check(s.wait_gone(dialog, 30), "the progress dialog closes by itself")
    main, expected = s.ask("main"), cli_rows(s.args, recording)
    r.check(main["text"] == "zentrix - " + windows_path(recording) and rows(main) == expected and
            main["export"]["enabled"], "after the reading: the title reads 'zentrix - ' and the "
            "path, the rows and times are those of zentrix-cli scan, Export is enabled",
            f"window {main['text']} {rows(main)}, cli {expected}")
    s.screenshot("main_window_after_reading.png", main["rect"])
    # Alt+'?' is the main window's own: not while a child control has the focus.
    s.click(main["rows"][1]["label"])
    s.keys("alt+question")
    time.sleep(1.5)
    r.check(s.ask("main")["focus"] == main["list"]["hwnd"] and not s.find("About"),
            "Alt+'?' does nothing while the list has the focus")
    s.keys("Escape")  # leaves any menu mode the Alt key began


def check_export(s, r, recording, home):
    s.click(s.ask("main")["export"]["rect"])
    box = s.wait_window("Error", 10)
    texts = s.texts(box)
    r.check("Check at least an item to export as AVI from the list." in texts,
            "Export with nothing ticked shows the error message", str(texts))
    s.keys("Return")
    s.wait_gone(box, 10)

    tick_rows(s, r, [0, 2])
    folder = export_to(s, r, "avi-out", home)
    s.wait_gone(s.until(lambda: s.find("Exporting AVI...") or s.find("Reading data..."), 20,
                        "the export's progress dialog"), 120)
    reference = os.path.join(s.out, "cli-export")
    os.makedirs(reference)
    zentrix_cli(s.args, "export", recording, reference, "--channels", "1,3")
    names, expected = sorted(os.listdir(folder)), sorted(os.listdir(reference))
    r.check(len(names) == 2 and names == expected,
            "the AVI files are named as zentrix-cli names them", f"{names}, cli {expected}")
    for name in names:
        info, model = probe(os.path.join(folder, name)), probe(os.path.join(reference, name))
        r.check(info[:2] == ("mpeg4", "xvid") and 0 < info[2] == model[2],
                f"{name} plays (MPEG-4, xvid, {info[2]} frames as zentrix-cli's)",
                f"{info} against {model}")
    main = s.ask("main")
    r.check(ticked(main) == [True, False, True] and main["export"]["enabled"],
            "the check boxes stay ticked after the export, Export enabled")


def check_cancel_reading(s, r, recording):
    dialog = open_recording(s, recording)
    texts = cancel(s, dialog, 15, "&No", screenshot="progress_dialog.png")
    r.check("Are you sure to cancel reading data?" in texts,
            "Cancel asks 'Are you sure to cancel reading data?'", str(texts))
    s.wait_gone(dialog, 120)
    main = s.ask("main")
    r.check(rows(main) == cli_rows(s.args, recording) and main["export"]["enabled"],
            "No: the reading goes on to every row, Export enabled", f"{len(main['rows'])} rows")

    dialog = open_recording(s, recording)
    cancel(s, dialog, 1, "&Yes")
    s.wait_gone(dialog, 30)
    main = s.ask("main")
    r.check(main["rows"] == [] and not main["export"]["enabled"],
            "Yes: the list is empty and Export disabled", f"{len(main['rows'])} rows")


def check_cancel_export(s, r, recording, home):
    s.wait_gone(open_recording(s, recording), 60)
    tick_rows(s, r, [0, 1])
    folder = export_to(s, r, "avi-cancelled", home)
    dialog = s.wait_window("Exporting AVI...")
    texts = cancel(s, dialog, 10, "&Yes")
    r.check("Are you sure to cancel exporting AVI files?" in texts,
            "Cancel asks 'Are you sure to cancel exporting AVI files?'", str(texts))
    s.wait_gone(dialog, 60)
    names = sorted(os.listdir(folder))
    matches = [re.fullmatch(r"Ch([13])_20090307_080500_20090307_08(\d\d)(\d\d)\.avi", name)
               for name in names]
    r.check(len(names) == 2 and all(matches) and {m[1] for m in matches} == {"1", "3"},
            "cancelled export: one finished file per ticked channel, no temporary files",
            str(names))
    for name, match in zip(names, matches):
        seconds = (int(match[2]) - 5) * 60 + int(match[3]) if match else -1
        info = probe(os.path.join(folder, name))
        # Ten pictures a second from 08:05:00, cut before the last at 08:14:59:
        # the name's time range spans the file's frames.
        r.check(info[1] == "xvid" and 0 <= seconds < 599 and
                seconds * 10 <= info[2] <= seconds * 10 + 10,
                f"cancelled export: {name} plays and its name spans its {info[2]} frames",
                str(info))
    main = s.ask("main")
    r.check(ticked(main) == [True, True] and main["export"]["enabled"],
            "cancelled export: the list, its check boxes and Export are unchanged")


# small.rec: three channels of H.264, MPEG-4 and Motion JPEG. long-reading.rec:
# 64 channels a header block, a reading long enough to cancel. long-export.rec:
# H.263+ and MPEG-4 for ten minutes, an export long enough to cancel. Together
# they make every Windows codec module transcode.
RECORDINGS = {
    "small.rec": "--channels 1,2,3 --codecs 6,2,0 --duration 4",
    "long-reading.rec": "--channels 1-64 --codecs 2 --sizes 64x48 --fps 1 --duration 150 "
                        "--layout ext",
    "long-export.rec": "--channels 1,3 --codecs 1,2 --sizes 160x120 --duration 600",
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--mingw-bin", "--native-bin", "--out"):  # the out folder is emptied first
        parser.add_argument(option, required=True, type=os.path.abspath)
    parser.add_argument("--arch", choices=sorted(ARCHES), default="win32",
                        help="the Wine architecture the program in --mingw-bin is built for")
    args = parser.parse_args()
    shutil.rmtree(args.out, ignore_errors=True)
    os.makedirs(os.path.join(args.out, "screens"))
    os.makedirs(os.path.join(args.out, "recordings"))
    r, s = Report(), Session(args)
    started = time.time()
    try:
        paths = {name: os.path.join(args.out, "recordings", name) for name in RECORDINGS}
        for name, options in RECORDINGS.items():
            subprocess.run([os.path.join(args.native_bin, "zentrix-mkrec"), "--quiet",
                            *options.split(), paths[name]], check=True, timeout=300,
                           stdout=subprocess.DEVNULL)
        home = s.start()
        check_start_and_about(s, r)
        check_reading(s, r, paths["small.rec"])
        check_export(s, r, paths["small.rec"], home)
        check_cancel_reading(s, r, paths["long-reading.rec"])
        check_cancel_export(s, r, paths["long-export.rec"], home)
        s.keys("alt+f", "x")
        try:
            code = s.app.wait(timeout=20)
        except subprocess.TimeoutExpired:
            code = None
        r.check(code == 0, "File > E&xit ends the process with exit code 0", str(code))
    except Exception as failure:  # an Abort, a missing tool, an unexpected answer
        r.check(False, "the scenario ran to its end", repr(failure))
        try:
            s.screenshot("at_failure.png", [0, 0, 1024, 768])
        except Exception:  # the display may be gone; the failure is reported already
            pass
    finally:
        s.stop()
    print(f"..    {time.time() - started:.0f} s in all; screenshots in {args.out}/screens")
    print(f"wine-gui: {r.passed} passed, {r.failed} failed")
    return 0 if r.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
