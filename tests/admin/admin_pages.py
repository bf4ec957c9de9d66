#!/usr/bin/python3
# Drives the admin pages in headless Chromium as an administrator would: logs in, adds a user,
# adds a channel and reloads the list, checks a channel's source, draws one day's audience, changes the network settings
# and, when a box is given, reads and saves its settings and reboots it. Prints "ok <step>" after each
# step and keeps a screenshot of each page; then uploads a film and shuts the server down.
# Usage: admin_pages.py URL PASSWORD SCREENSHOT_FOLDER DAY(YYYY-MM-DD) BOX_MAC|- FILM
import sys
import time

from browser import headless_chromium
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

url, password, shots, day, box, film = sys.argv[1:7]
driver = headless_chromium(900)


def element(name):
    return driver.find_element(By.ID, name)


def wait(what, done, seconds=20):
    deadline = time.time() + seconds
    while not done():
        if time.time() > deadline:
            print("failed: " + what)
            sys.exit(1)
        time.sleep(0.2)


def fill(name, value):
    field = element(name)
    if field.tag_name == "select":
        Select(field).select_by_visible_text(value)
        return
    field.clear()
    field.send_keys(value)


def page(name):
    driver.find_element(By.CSS_SELECTOR, "nav button[data-page='%s']" % name).click()
    wait("page " + name, lambda: element(name).get_attribute("hidden") is None)


def shot(name):
    driver.save_screenshot(shots + "/" + name + ".png")
    print("ok " + name)


try:
    driver.get(url)
    fill("login-password", password)
    element("login-button").click()
    wait("log in: " + element("login-status").text, lambda: element("menu").get_attribute("hidden") is None)
    shot("login")

    # A new user, with characters that must arrive whole, shows in the list.
    page("users")
    for name, value in (("user-name", "carol"), ("user-password", "c&d <i>1</i>%"), ("user-expires", "12/31/2030"),
                        ("user-paymodel", "pre"), ("user-points", "25")):
        fill(name, value)
    element("user-add").click()
    wait("user listed", lambda: "carol" in element("users-table").text and "c&d <i>1</i>%" in element("users-table").text)
    shot("users")

    page("channels")
    for name, value in (("channel-no", "2"), ("channel-name", "sports 2"), ("channel-source", "udp://5002"),
                        ("channel-folder", "")):
        fill(name, value)
    element("channel-add").click()
    wait("channel listed", lambda: "sports 2" in element("channels-list").text)
    # The source of channel 1, which the test feeds, read by the server (before the reload
    # gives the channel a fresh ring).
    fill("channel-source", "udp://5001")
    element("channel-check").click()
    wait("source checked", lambda: element("channel-check-result").text.startswith(("Transport stream", "Check failed", "Root")))
    print("check " + element("channel-check-result").text)
    element("channels-reload").click()
    wait("reload", lambda: "Reload requested" in element("channels-status").text)
    wait("channel listed after the reload", lambda: "sports 2" in element("channels-list").text)
    shot("channels")

    # The chart has one bar per hour; the hours with an audience are drawn.
    page("audience")
    driver.execute_script("arguments[0].value = arguments[1]", element("audience-day"), day)
    fill("audience-channel", "1")
    element("audience-show").click()
    bars = lambda: driver.find_elements(By.CSS_SELECTOR, "#audience-chart rect.bar")
    wait("chart", lambda: len(bars()) == 24, 60)
    heights = [int(bar.get_attribute("height")) for bar in bars()]
    print("heights " + " ".join(str(height) for height in heights))
    shot("audience")

    page("network")
    element("network-load").click()
    wait("settings loaded", lambda: element("network-status").text == "Loaded")
    fill("net-vod", "2100")
    fill("net-rtsp", "8554")
    fill("net-igmpport", "5600")
    element("network-save").click()
    wait("settings saved", lambda: element("network-status").text != "Loaded")
    print("network " + element("network-status").text)
    shot("network")

    if box != "-":
        page("players")
        element("players-refresh").click()
        wait("box listed", lambda: box in element("players-table").text)
        fill("player-mac", box)
        element("player-query").click()
        wait("settings read", lambda: "[network]" in element("player-settings").get_attribute("value"))
        settings = element("player-settings")
        settings.clear()
        settings.send_keys("[network]\nip_mode=static\n")
        element("player-save").click()
        wait("settings saved", lambda: element("players-result").text != "Settings read")
        print("saved " + element("players-result").text.replace("\n", " | "))
        element("player-reboot").click()
        wait("reboot answered", lambda: "Reboot" in element("players-result").text)
        print("players " + element("players-result").text)
        shot("players")

    page("points")
    fill("movie-name", "film.ts")
    element("points-check").click()
    wait("points checked", lambda: element("points-result").text != "")
    print("points " + element("points-result").text.replace("\n", " | "))
    shot("points")

    page("upload")
    element("upload-file").send_keys(film)
    element("upload-send").click()
    wait("film stored", lambda: element("upload-status").text.startswith(("Stored", "Upload failed")), 60)
    print("upload " + element("upload-status").text)
    shot("upload")

    page("system")
    element("shutdown").click()
    driver.switch_to.alert.accept()
    wait("shut down", lambda: element("system-status").text != "")
    print("system " + element("system-status").text)
    shot("system")
finally:
    driver.quit()
