#!/usr/bin/python3
# Opens the programme guide page in headless Chromium with a root token in its address and waits
# until it lists the given title for the first channel. Usage: guide_page.py URL TITLE
import sys
import time

from browser import headless_chromium
from selenium.webdriver.common.by import By

url, title = sys.argv[1], sys.argv[2]
driver = headless_chromium()
try:
    driver.get(url)
    deadline = time.time() + 20
    while title not in driver.find_element(By.ID, "guide-programmes").text:
        if time.time() > deadline:
            print("guide not filled: " + driver.find_element(By.TAG_NAME, "body").text)
            sys.exit(1)
        time.sleep(0.2)
    print("guide: " + driver.find_element(By.ID, "guide-programmes").text.replace("\n", " | "))
finally:
    driver.quit()
