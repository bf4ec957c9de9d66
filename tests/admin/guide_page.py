#!/usr/bin/python3
# Opens the programme guide page in headless Chromium with a root token in its address and waits
# until it lists the given title for the first channel. Usage: guide_page.py URL TITLE
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

url, title = sys.argv[1], sys.argv[2]
options = Options()
options.binary_location = "/usr/bin/chromium"
for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,800"):
    options.add_argument(argument)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
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
