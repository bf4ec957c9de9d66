#!/usr/bin/python3
# Drives the admin pages in headless Chromium as an administrator would: logs in, adds a user
# and shows its password, adds a channel and reloads the list, checks a channel's source, draws
# today's audience and then one chosen day's, changes the network settings and, when a box is
# given, reads and saves its settings and reboots it. Prints "ok <step>" after each
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
    carol = lambda: driver.find_element(By.XPATH, "//table[@id='users-table']//tr[td[1][text()='carol']]")
    wait("user listed", lambda: "carol" in element("users-table").text)
    if "c&d" in element("users-table").text:
        print("failed: a password shows before it is asked for")
        sys.exit(1)
    carol().find_element(By.CSS_SELECTOR, "td.password button").click()
    wait("password shown", lambda: "c&d <i>1</i>%" in carol().text)
    shot("users_edit")

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

    # The page opens on today's chart of channel 1; another day is plotted when asked for.
    page("audience")
    today = time.strftime("%Y-%m-%d")
    wait("today's chart", lambda: element("audience-status").text == "Channel 1, " + today, 60)
    if element("audience-day").get_attribute("value") == today:
        print("audience opened on today")
    driver.execute_script("arguments[0].value = arguments[1]", element("audience-day"), day)
    fill("audience-channel", "1")
    element("audience-show").click()
    wait("chart", lambda: element("audience-status").text == "Channel 1, " + day, 60)
    means = driver.execute_script("return Array.from(window.audienceChart.data[1])")
    print("means " + " ".join("%g" % mean for mean in means))
    # Pixels of the bars' colour on the chart's canvas.
    print("bar pixels %d" % driver.execute_script("""
        const canvas = document.querySelector("#audience-chart canvas");
        const data = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data;
        let count = 0;
        for (let at = 0; at < data.length; at += 4)
          if (Math.abs(data[at] - 0x2b) < 8 && Math.abs(data[at + 1] - 0x7b) < 8 && Math.abs(data[at + 2] - 0xb9) < 8) ++count;
        return count;"""))
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
