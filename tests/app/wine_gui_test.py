#!/usr/bin/env python3
"""Drives zentrix.exe in a real window, as a person would: under Wine (32-bit, or 64-bit with
--arch win64) in a Wine desktop on its own Xvfb display and a fresh prefix, every input an X
event (xdotool), also in the real file and folder choosers. wine_inspect.exe reports what the
windows show; AVI files are checked with ffprobe and against the native zentrix-cli. A failure
leaves a screenshot in OUT. Ends with the line "wine-gui: N passed, M failed"."""
import argparse, glob, json, os, re, select, shutil, subprocess, sys, time  # noqa: E401

HERE = os.path.dirname(os.path.abspath(__file__))
QUIET = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
# Per Wine architecture: the loader that starts every Windows program (Debian's
# "wine" starts the 32-bit one while 32-bit Wine is installed), and the cross tools.
ARCHES = {"win32": ("wine", "i686-w64-mingw32"),
          "win64": ("/usr/lib/wine/wine64", "x86_64-w64-mingw32")}
# H.264, MPEG-4 and Motion JPEG; a reading and an export long enough to cancel (64 channels a
# header block; H.263+ and MPEG-4 for ten minutes). Together every Windows codec transcodes.
RECORDINGS = {"small.rec": "--channels 1,2,3 --codecs 6,2,0 --duration 4",
              "long-reading.rec": "--channels 1-64 --codecs 2 --sizes 64x48 --fps 1 "
                                  "--duration 150 --layout ext",
              "long-export.rec": "--channels 1,3 --codecs 1,2 --sizes 160x120 --duration 600"}
results = {True: 0, False: 0}
S = argparse.Namespace(xvfb=None, app=None, inspector=None, env=None)  # the session


def fail(why):  # a step failed in a way that leaves nothing sensible to do after it
    raise RuntimeError(why)


def check(what, got, wanted=True, abort=False):  # got is wanted, or true when wanted is True
    ok = bool(got) if wanted is True else got == wanted
    results[ok] += 1
    print(f"ok    {what}" if ok else f"FAIL  {what}: {got!r}" +
          ("" if wanted is True else f", wanted {wanted!r}"), flush=True)
    return ok or not abort or fail(what)


def run(*command, timeout=60, **options):
    return subprocess.run(command, check=True, timeout=timeout, **options)


def start():
    """Xvfb, the Wine prefix (whose Documents are S.home), zentrix.exe and the inspector."""
    S.xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    display = S.xvfb.stdout.readline().strip() or fail("Xvfb did not start")
    S.home, (loader, S.host) = os.path.join(S.out, "home"), ARCHES[S.arch]
    loader = shutil.which(loader) or loader
    S.env = {k: v for k, v in os.environ.items() if not k.startswith(("WINE", "XDG_", "WAYLAND"))}
    S.env.update(DISPLAY=":" + display, HOME=S.home, XDG_CONFIG_HOME=S.home + "/.config",
                 WINEPREFIX=os.path.join(S.out, "prefix"), WINEARCH=S.arch, WINEDEBUG="-all",
                 WINEDLLOVERRIDES="mscoree,mshtml=",  # no Mono, no Gecko
                 **({"WINELOADER": loader} if S.arch == "win64" else {}))
    # A Wine desktop places, activates and focuses windows as Windows does, with no window manager.
    add = [loader, "reg", "add", "HKCU\\Software\\Wine\\Explorer"]
    for command, timeout in (([loader, "wineboot", "-i"], 180),
                             (add + ["/v", "Desktop", "/d", "Default", "/f"], 60),
                             (add[:3] + [add[3] + "\\Desktops", "/v", "Default", "/d", "1024x768",
                                         "/f"], 60), (["wineserver", "-w"], 120)):
        run(*command, env=S.env, timeout=timeout, **QUIET)
    # Debian's Wine does not look in its own font folder: Tahoma and Marlett
    # (dialog text and caption buttons) go into the prefix.
    for font in glob.glob("/usr/share/wine/fonts/*.ttf"):
        shutil.copy(font, os.path.join(S.env["WINEPREFIX"], "drive_c", "windows", "Fonts"))
    exe = os.path.join(S.out, "wine_inspect.exe")
    run(shutil.which(S.host + "-g++-posix") or S.host + "-g++", "-O1", "-Wall", "-Wextra",
        "-Werror", "-static", "-o", exe, os.path.join(HERE, "wine_inspect.cpp"), timeout=300)
    S.app = subprocess.Popen([loader, os.path.join(S.mingw_bin, "zentrix.exe")], cwd=S.mingw_bin,
                             env=S.env, **QUIET)
    S.inspector = subprocess.Popen([loader, exe], env=S.env, stdin=subprocess.PIPE, text=True,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=1)


def stop():
    if S.env:  # ends every Wine process of the prefix
        subprocess.run(["wineserver", "-k"], env=S.env, timeout=60, **QUIET)
    for process in filter(None, (S.inspector, S.app, S.xvfb)):
        process.kill(), process.wait()


# -- looking: what wine_inspect sees

def ask(command):
    S.inspector.stdin.write(command + "\n")
    S.inspector.stdin.flush()
    select.select([S.inspector.stdout], [], [], 30)[0] or fail(f"no answer to '{command}'")
    return json.loads(S.inspector.stdout.readline() or fail("the inspector ended"))


def child(window, text=None, cls=None, control_id=None):
    return next((c for c in ask(f"children {window['hwnd']}") if text in (None, c["text"]) and
                 cls in (None, c["class"]) and control_id in (None, c["id"])), None)


def find(title):
    return next((w for w in ask("windows") if w["class"] == "#32770" and w["text"] == title), None)


def until(probe, timeout, what=None):
    """What probe gives once true; after timeout s None, or with what (waited for) a failure."""
    end = time.time() + timeout
    while not (value := probe()) and time.time() < end:
        S.app.poll() is None or fail(f"zentrix.exe ended (code {S.app.returncode})")
        time.sleep(0.1)
    return value or (what and fail(f"timed out after {timeout} s waiting for {what}")) or None


def wait_window(title, timeout=20):
    return until(lambda: find(title), timeout, f"the window '{title}'")


def wait_gone(window, timeout=20):
    return until(lambda: all(w["hwnd"] != window["hwnd"] for w in ask("windows")), timeout,
                 f"'{window['text']}' to close")


def listing():  # the main window's rows' texts and check marks, and whether Export is enabled
    rows, export = (main := ask("main"))["rows"], main["export"]["enabled"]
    return [row["texts"] for row in rows], [row["checked"] for row in rows], export


# -- acting: X events only

def keys(*names):
    """To the Wine desktop, which hands them on to the active window as Windows would."""
    run("xdotool", "search", "--name", "Wine desktop", "windowfocus", "--sync", env=S.env)
    for name in names:  # 'type:...' is typed as text
        run("xdotool", *(["type", "--delay", "15", name[5:]] if name.startswith("type:") else
                         ["key", "--delay", "60", name, "sleep", "0.1"]), env=S.env)


def click(rect, x=None):  # in the middle of rect, or at x on its middle line
    run("xdotool", "mousemove", "--sync", str((rect[0] + rect[2]) // 2 if x is None else x),
        str((rect[1] + rect[3]) // 2), "click", "1", "sleep", "0.15", env=S.env)


def open_recording(recording):  # Open -> the file chooser -> the recording: its progress dialog
    click(ask("main")["open"]["rect"])
    chooser = wait_window("Choose a data file...")
    keys("Home", "shift+End", "type:Z:" + recording.replace("/", "\\"), "Return")  # Z: is /
    wait_gone(chooser)
    return wait_window("Reading data...")


def tick_and_export(indices, name):
    """Ticks a check box with the mouse, the other rows with a click and the space bar; Export ->
    the folder chooser -> a new folder under Documents, returned (left empty if not chosen)."""
    rows = ask("main")["rows"]
    first = rows[indices[0]]
    click(first["icon"], x=(first["bounds"][0] + first["icon"][0]) // 2)
    for index in indices[1:]:
        click(rows[index]["label"])
        keys("space")
    check(f"rows {indices} are ticked (mouse and space bar)",
          [i for i, checked in enumerate(listing()[1]) if checked], indices, abort=True)
    os.makedirs(os.path.join(S.home, name))
    click(ask("main")["export"]["rect"])
    chooser = wait_window("Browse for Folder")
    tree = child(chooser, cls="SysTreeView32")  # the documents folder and its own folders
    check("the folder chooser asks for a folder under the documents folder", [tree["root"], bool(
        child(chooser, "Select folder to save AVI files..."))], ["Documents", True], abort=True)
    click(tree["rect"], x=tree["rect"][0] + 5)
    keys("Home", "type:" + name)  # typing a name picks a folder
    click(child(chooser, "OK")["rect"])
    wait_gone(chooser)
    return os.path.join(S.home, name)


def cancel(dialog, percent, question, answer, timeout):
    """At percent (not done), Cancel, which must ask the question; answer, wait for the close."""
    def running():
        match = re.search(r"\((\d+) %\)", (child(dialog, control_id=1001) or {"text": ""})["text"])
        return match and percent <= int(match[1]) < 100
    until(running, 60, f"the run to reach {percent} %")
    click(child(dialog, "Cancel")["rect"])
    box = wait_window("Question", 10)
    check(f"Cancel asks '{question}'", child(box, question))
    click(child(box, answer)["rect"])
    wait_gone(box, 10)
    wait_gone(dialog, timeout)


def zentrix_cli(*arguments):
    return run(os.path.join(S.native_bin, "zentrix-cli"), *arguments, capture_output=True,
               text=True, timeout=300).stdout


def probe(path):
    """Codec, tag and decoded frame count of an AVI file's video, as ffprobe reads them."""
    return (subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                            "-show_entries", "stream=codec_name,codec_tag_string,nb_read_frames",
                            "-of", "csv=p=0", path], capture_output=True, text=True).stdout.strip()
            or ",,0").split(",")


# -- the scenario

def check_start_and_about():
    main = until(lambda: (m := ask("main")) and m["visible"] and m, 60, "the main window")
    check("start: title, Open enabled, Export disabled, the column headers, no rows, the menu, "
          "the keyboard focus", [main[k] for k in ("text", "columns", "rows", "hasMenu")] +
          [main[b][k] for b in ("open", "export") for k in ("text", "enabled")] +
          [until(lambda: ask("main")["focus"] == main["hwnd"], 10)],
          ["zentrix", ["Channel No.", "First date/time", "Last date/time"], [], True, "&Open",
           True, "&Export", False, True])
    keys("alt+question")
    about = wait_window("About", 10)  # no About dialog: the scenario ends
    check("Alt+'?' opens the About dialog with the version",
          child(about, "zentrix Version 1.1") and child(about, "OK"))
    # As built into the program, read back by the resource compiler (on screen it sizes itself).
    built = run(S.host + "-windres", "-i", os.path.join(S.mingw_bin, "zentrix.exe"), "-O", "rc",
                capture_output=True, text=True).stdout
    icon = re.search(r"\n103 DIALOGEX[^\n]*\n(?:[^\n]+\n)*?\s*CONTROL \d+, 2, \"STATIC\", "
                     r"(0x[0-9a-f]+), (\d+, \d+, \d+, \d+)\n", built)
    check("the About dialog's icon control is a real-size icon at (8, 6, 21, 20) in the built "
          "program", icon and (int(icon[1], 16) & 0x81F, icon[2]), (0x803, "8, 6, 21, 20"))
    keys("Escape")
    check("Esc closes the About dialog", wait_gone(about, 10))


def check_reading_and_export(recording):
    check("the progress dialog closes by itself", wait_gone(open_recording(recording), 30))
    main = ask("main")
    check("after the reading: the title reads 'zentrix - ' and the path, the rows and times are "
          "those of zentrix-cli scan, Export is enabled", (main["text"], *listing()[::2]),
          ("zentrix - Z:" + recording.replace("/", "\\"), cli_rows(recording), True))
    # Alt+'?' is the main window's own: not while a child control has the focus.
    click(main["rows"][1]["label"])
    keys("alt+question")
    time.sleep(1.5)
    check("Alt+'?' does nothing while the list has the focus",
          (ask("main")["focus"] == main["list"]["hwnd"], find("About")), (True, None))
    keys("Escape")  # leaves any menu mode the Alt key began
    click(main["export"]["rect"])
    box = wait_window("Error", 10)
    check("Export with nothing ticked shows the error message",
          child(box, "Check at least an item to export as AVI from the list."))
    keys("Return")
    wait_gone(box, 10)
    folder, reference = tick_and_export([0, 2], "avi-out"), os.path.join(S.out, "cli")
    wait_gone(until(lambda: find("Exporting AVI...") or find("Reading data..."), 20,
                    "the export's progress dialog"), 120)
    zentrix_cli("export", recording, reference, "--channels", "1,3")
    check("the AVI files are named as zentrix-cli names them and play (MPEG-4, xvid, frames as "
          "zentrix-cli's)", [(name, probe(os.path.join(folder, name))) for name in
                             sorted(os.listdir(folder))],
          [(name, ["mpeg4", "xvid", probe(os.path.join(reference, name))[2]])
           for name in sorted(os.listdir(reference))])
    check("the check boxes stay ticked after the export, Export enabled", listing()[1:],
          ([True, False, True], True))


def cli_rows(recording):
    return [line.split("\t") for line in zentrix_cli("scan", recording).splitlines()]


def check_cancels(long_reading, long_export):
    question = "Are you sure to cancel reading data?"
    cancel(open_recording(long_reading), 15, question, "&No", 120)
    check("No: the reading goes on to every row, Export enabled", listing()[::2],
          (cli_rows(long_reading), True))
    cancel(open_recording(long_reading), 1, question, "&Yes", 30)
    check("Yes: the list is empty and Export disabled", listing()[::2], ([], False))
    wait_gone(open_recording(long_export), 60)
    folder = tick_and_export([0, 1], "avi-cancelled")
    cancel(wait_window("Exporting AVI..."), 10, "Are you sure to cancel exporting AVI files?",
           "&Yes", 60)
    names = sorted(os.listdir(folder))
    matches = [re.fullmatch(r"Ch([13])_20090307_080500_20090307_08(\d\d)(\d\d)\.avi", name)
               for name in names]
    check("cancelled export: one finished file per ticked channel, no temporary files",
          all(matches) and [m[1] for m in matches], ["1", "3"])
    for name, match in zip(names, matches):
        seconds = (int(match[2]) - 5) * 60 + int(match[3]) if match else -1
        video = probe(os.path.join(folder, name))
        # Ten pictures a second from 08:05:00, cut before 08:14:59: the name spans the frames.
        check(f"cancelled export: {name} plays and its name spans its {video[2]} frames",
              video[1] == "xvid" and 0 <= seconds < 599 and 0 <= int(video[2]) - 10 * seconds <= 10)
    check("cancelled export: the list, its check boxes and Export are unchanged", listing()[1:],
          ([True, True], True))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--mingw-bin", "--native-bin", "--out"):  # the out folder is emptied first
        parser.add_argument(option, required=True, type=os.path.abspath)
    parser.add_argument("--arch", choices=sorted(ARCHES), default="win32")  # of --mingw-bin
    parser.parse_args(namespace=S)
    shutil.rmtree(S.out, ignore_errors=True)
    for folder in ("cli", "home"):
        os.makedirs(os.path.join(S.out, folder))
    path = lambda name: os.path.join(S.out, name)  # noqa: E731
    try:
        for name, options in RECORDINGS.items():
            run(os.path.join(S.native_bin, "zentrix-mkrec"), "--quiet", *options.split(),
                path(name), timeout=300, stdout=subprocess.DEVNULL)
        start()
        check_start_and_about()
        check_reading_and_export(path("small.rec"))
        check_cancels(path("long-reading.rec"), path("long-export.rec"))
        keys("alt+f", "x")
        check("File > E&xit ends the process with exit code 0", S.app.wait(timeout=20), 0)
    except Exception as failure:  # a failed step, a missing tool, an unexpected answer
        check("the scenario ran to its end", repr(failure), "no exception")
        if S.env:
            subprocess.run(["import", "-display", S.env["DISPLAY"], "-window", "root",
                            os.path.join(S.out, "at_failure.png")], env=S.env, timeout=60)
    finally:
        stop()
    print(f"wine-gui: {results[True]} passed, {results[False]} failed")
    return 0 if results[False] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
