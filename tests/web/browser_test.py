#!/usr/bin/env python3
"""The live plan in a real browser (Debian's chromium, through chromedriver), fed by the
simulator through the tap: the page loads, its table shows both tags' latest reports exactly,
the canvas shows each tag in its colour where it is and its trail, and the page says when the
kit is lost and updates again once it is back. Screenshots at a phone's and a desktop's size
go to the output folder. Usage: browser_test.py BIN_DIR OUT_DIR"""
import math
import re
import subprocess
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

BIN, OUT = sys.argv[1], sys.argv[2]
PATIENCE = 30


def wait_for(predicate, what, seconds=PATIENCE):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}")


def line_of(process, pattern):
    while True:
        line = process.stdout.readline().decode()
        if not line:
            raise AssertionError(f"{process.args[0]} ended before printing {pattern}")
        match = re.match(pattern, line.strip())
        if match:
            return match


def start_kit(port, count):
    return subprocess.Popen([f"{BIN}/zorvan-kit", "--listen", f"127.0.0.1:{port}", "--tags", "2",
                             "--chop", "--garbage", "0.2", "--rate", "40", "--count", str(count),
                             "--print-frames"], stdout=subprocess.PIPE)


def frames_of(output):
    """The kit's frames, per tag: (x, y, z) in cm, in order."""
    tags = {}
    for line in output.decode().splitlines():
        if re.fullmatch(r"[0-9a-f]{104}", line):
            b = bytes.fromhex(line)
            s16 = lambda i: int.from_bytes(b[i:i + 2], "big", signed=True)
            tags.setdefault(b[2], []).append((s16(3), s16(5), s16(7)))
    return tags


def table(driver):
    """The table's rows as the page shows them: tag -> (x, y, z) in cm, read in one go, since the
    page rebuilds the table as reports come."""
    rows = driver.execute_script("""
        return Array.from(document.querySelectorAll('#table tbody tr'),
                          (tr) => Array.from(tr.cells, (td) => td.textContent));""")
    return {int(cells[0]): tuple(int(c) for c in cells[1:4]) for cells in rows}


def pixel(driver, x_m, y_m):
    """The canvas's colour at a point of the plan, in metres."""
    return driver.execute_script("""
        const [px, py] = window.zorvanPlan.toPixel(arguments[0], arguments[1]);
        const canvas = document.getElementById('canvas');
        const r = window.devicePixelRatio || 1;
        return Array.from(canvas.getContext('2d').getImageData(Math.round(px * r), Math.round(py * r), 1, 1).data);
    """, x_m, y_m)


def swatch(driver, tag):
    text = driver.execute_script(
        "return getComputedStyle(document.querySelector(`tr[data-tag='${arguments[0]}'] .swatch`)).backgroundColor;", tag)
    return [int(v) for v in re.findall(r"\d+", text)[:3]]


def hue(rgb):
    r, g, b = [v / 255 for v in rgb[:3]]
    big, small = max(r, g, b), min(r, g, b)
    if big - small < 0.15:
        return None  # white, grey or black: not a tag's colour
    if big == r:
        h = (g - b) / (big - small) % 6
    elif big == g:
        h = (b - r) / (big - small) + 2
    else:
        h = (r - g) / (big - small) + 4
    return h * 60


def same_hue(a, b):
    return a is not None and b is not None and min(abs(a - b), 360 - abs(a - b)) < 25


def main():
    options = Options()
    options.binary_location = "/usr/bin/chromium"
    for flag in ["--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,800",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--no-first-run", "--no-default-browser-check", "--disable-default-apps",
                 "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"]:
        options.add_argument(flag)
    kit = start_kit(0, 240)
    kit_port = int(line_of(kit, r"listening: .*:(\d+)$").group(1))
    tap = subprocess.Popen([f"{BIN}/zorvan-tap", "--kit", f"127.0.0.1:{kit_port}", "--listen",
                            "127.0.0.1:0", "--quiet", "--web", "127.0.0.1:0"], stdout=subprocess.PIPE)
    url = line_of(tap, r"web: (http://127\.0\.0\.1:\d+/)$").group(1)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    second = None
    try:
        driver.get(url + "?trail=30")
        assert driver.title.startswith("Zorvan"), driver.title
        out, _ = kit.communicate(timeout=PATIENCE)
        sent = frames_of(out)
        assert sorted(sent) == [5, 6], sorted(sent)
        last = {tag: frames[-1] for tag, frames in sent.items()}
        wait_for(lambda: table(driver) == last, f"the table to show {last}, not {table(driver)}")
        driver.find_element(By.ID, "fit-button").click()
        time.sleep(0.5)
        for tag, frames in sent.items():
            colour = hue(swatch(driver, tag))
            x, y, _ = frames[-1]
            at = pixel(driver, x / 100, y / 100)
            assert same_hue(hue(at), colour), f"tag {tag} at {x},{y}: {at}, not hue {colour}"
            # The trail: where the tag was a few seconds ago, away from the middle, where the
            # tags' paths cross.
            x, y, _ = max(frames[-60:-20], key=lambda f: math.hypot(f[0] - 250, f[1] - 200))
            near = [pixel(driver, (x + dx) / 100, (y + dy) / 100) for dx in (-2, 0, 2) for dy in (-2, 0, 2)]
            assert any(same_hue(hue(p), colour) for p in near), f"no trail of tag {tag} at {x},{y}: {near}"
        status = lambda: driver.find_element(By.ID, "kit").text
        wait_for(lambda: status() == "kit link down", "the page to say the kit link is down")
        driver.save_screenshot(f"{OUT}/web-desktop.png")

        second = start_kit(kit_port, 1000)
        line_of(second, r"listening: ")
        wait_for(lambda: status() == "kit link up", "the page to say the kit link is up again")
        before = table(driver)
        wait_for(lambda: table(driver) != before, "the table to change again")
        driver.set_window_size(360, 740)
        time.sleep(1)
        assert driver.execute_script("return document.documentElement.scrollWidth") <= 360, "wider than a phone"
        driver.save_screenshot(f"{OUT}/web-phone.png")
        print("browser: page, table, colours, trail, kit lost and back: all as expected")
    finally:
        driver.quit()
        for p in (kit, second, tap):
            if p and p.poll() is None:
                p.terminate()
                p.wait(timeout=PATIENCE)
    return 0


if __name__ == "__main__":
    sys.exit(main())
