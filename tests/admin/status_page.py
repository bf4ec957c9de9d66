#!/usr/bin/python3
# Opens the channel status page in headless Chromium with a root token in its address, waits
# until the channel table lists the channel with its signal dot and a sparkline, and keeps a
# screenshot. Usage: status_page.py URL CHANNEL_NAME SCREENSHOT_FOLDER
import sys
import time

from browser import headless_chromium
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By

url, name, shots = sys.argv[1], sys.argv[2], sys.argv[3]
driver = headless_chromium()
try:
    driver.get(url)
    deadline = time.time() + 20
    # Two polls at least, so that the sparkline has a line to draw.
    # The page redraws its tables at each poll: an element read just then is gone, and is read again.
    while True:
        try:
            rows = driver.find_elements(By.CSS_SELECTOR, "#status-channels tbody tr")
            up = driver.find_elements(By.CSS_SELECTOR, "#status-channels circle.dot-up")
            lines = driver.find_elements(By.CSS_SELECTOR, "#status-channels polyline")
            points = lines[0].get_attribute("points").split() if lines else []
            if rows and name in rows[0].text and up and len(points) >= 2:
                break
        except StaleElementReferenceException:
            pass
        if time.time() > deadline:
            print("channel table not filled: " + driver.find_element(By.TAG_NAME, "body").text)
            sys.exit(1)
        time.sleep(0.2)
    deadline = time.time() + 20
    while "http" not in driver.find_element(By.ID, "status-viewers").text:
        if time.time() > deadline:
            print("no viewer listed: " + driver.find_element(By.ID, "status-viewers").text)
            sys.exit(1)
        time.sleep(0.2)
    driver.save_screenshot(shots + "/status.png")
    try:
        print("channels: " + driver.find_element(By.ID, "status-channels").text.replace("\n", " | "))
    except StaleElementReferenceException:
        pass
finally:
    driver.quit()
