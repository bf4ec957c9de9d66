#!/usr/bin/python3
# Logs in to the admin pages in headless Chromium and checks the dashboard it lands on: a tile per
# channel with its state and a bitrate chart with data, tiles kept across refreshes; then clicks
# the live channel and waits until its HLS playlist plays in the page (or, when this Chromium
# cannot decode H.264, until hls.js has loaded the playlist and a segment), and closes the player.
# Prints "ok <step>" after each step and keeps the screenshots dashboard.png and player.png.
# Usage: dashboard_page.py URL PASSWORD SCREENSHOT_FOLDER LIVE_NAME FOLDER_NAME
import sys
import time

from browser import headless_chromium
from selenium.webdriver.common.by import By

url, password, shots, live_name, folder_name = sys.argv[1:6]
driver = headless_chromium(900)


def wait(what, done, seconds):
    deadline = time.time() + seconds
    while True:
        value = done()
        if value:
            return value
        if time.time() > deadline:
            print("failed: " + (what() if callable(what) else what))
            print("page: " + driver.find_element(By.TAG_NAME, "body").text.replace("\n", " | "))
            sys.exit(1)
        time.sleep(0.2)


def tile_of(name):
    # [number, state text, chart points] of the tile with that name, or None.
    return driver.execute_script("""
        for (const [number, entry] of window.dashboard.tiles)
          if (entry.parts.name.textContent === arguments[0])
            return [number, entry.parts.signal.textContent, entry.chart ? entry.chart.data[0].length : -1];
        return null;""", name)


try:
    driver.get(url)
    driver.find_element(By.ID, "login-password").send_keys(password)
    driver.find_element(By.ID, "login-button").click()
    start = time.time()
    wait("the dashboard after the log-in", lambda: driver.find_element(By.ID, "dashboard").is_displayed(), 10)
    wait("both channels with their state and a chart", lambda: (
        (live := tile_of(live_name)) and (folder := tile_of(folder_name)) and
        live[1] == "signal" and folder[1] == "playing" and live[2] >= 1), 10 - (time.time() - start))
    live_number = tile_of(live_name)[0]
    driver.save_screenshot(shots + "/dashboard.png")
    print("ok dashboard")

    # The next refresh updates the same tile and chart.
    driver.execute_script("window.keptTile = window.dashboard.tiles.get(arguments[0]).tile;"
                          "window.keptStatus = window.dashboard.status;", live_number)
    wait("a refresh", lambda: driver.execute_script("return window.dashboard.status !== window.keptStatus"), 12)
    if not driver.execute_script("return window.dashboard.tiles.get(arguments[0]).tile === window.keptTile"
                                 " && window.keptTile.isConnected", live_number):
        print("failed: the refresh rebuilt the tile")
        sys.exit(1)
    print("ok refresh")

    decodes = driver.execute_script("return MediaSource.isTypeSupported('video/mp4; codecs=\"avc1.64001f\"')")
    driver.find_element(By.CSS_SELECTOR, "#dash-tiles .tile[data-channel='%d']" % live_number).click()
    video = driver.find_element(By.ID, "player-video")
    status = lambda: driver.find_element(By.ID, "player-status").text
    if decodes:
        first = wait(lambda: "playback (" + status() + ")",
                     lambda: driver.execute_script("return arguments[0].currentTime", video) or None, 25)
        wait(lambda: "time advancing and a picture (" + status() + ")", lambda: driver.execute_script(
            "return arguments[0].currentTime > arguments[1] && arguments[0].videoWidth > 0", video, first), 10)
        wait("the status line", lambda: status() == "playing", 5)
        print("player decoded %dx%d" % tuple(driver.execute_script(
            "return [arguments[0].videoWidth, arguments[0].videoHeight]", video)))
    else:
        wait(lambda: "playlist and segment loaded (" + status() + ")", lambda: {"MANIFEST_PARSED", "FRAG_LOADED"} <= set(
            driver.execute_script("return window.dashboard.hlsEvents")), 25)
        print("player fetched only: this Chromium cannot decode H.264")
    wait("the channel's facts", lambda: driver.find_element(By.ID, "player-streams").text and
         "signal" in driver.find_element(By.ID, "player-health").text, 10)
    print("facts: " + driver.find_element(By.ID, "player-streams").text.replace("\n", " | "))
    driver.save_screenshot(shots + "/player.png")
    print("ok player")

    # Closing stops the playback and hls.js with it (no more playlist and segment requests).
    driver.execute_script("window.keptHls = window.dashboard.player.hls")
    driver.find_element(By.ID, "player-close").click()
    wait("the player closed", lambda: driver.execute_script(
        "return window.dashboard.player === null && document.getElementById('dash-player').hidden"
        " && arguments[0].paused && arguments[0].readyState === 0 && (!window.keptHls || !window.keptHls.media)", video), 5)
    print("ok close")
finally:
    driver.quit()
