#!/usr/bin/python3
# Drives the admin pages in headless Chromium: logs in, lists the users, and checks that the
# root account is in the table. Usage: admin_pages.py URL PASSWORD SCREENSHOT_FOLDER
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

url, password, shots = sys.argv[1], sys.argv[2], sys.argv[3]
options = Options()
options.binary_location = "/usr/bin/chromium"
for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,800"):
    options.add_argument(argument)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    driver.get(url)
    driver.save_screenshot(shots + "/login.png")
    driver.find_element(By.ID, "login-password").send_keys(password)
    driver.find_element(By.ID, "login-button").click()
    deadline = time.time() + 20
    while driver.find_element(By.ID, "menu").get_attribute("hidden") is not None:
        if time.time() > deadline:
            print("login failed: " + driver.find_element(By.ID, "login-status").text)
            sys.exit(1)
        time.sleep(0.2)
    driver.find_element(By.ID, "users-refresh").click()
    deadline = time.time() + 20
    while "root" not in driver.find_element(By.ID, "users-table").text:
        if time.time() > deadline:
            print("no users listed: " + driver.find_element(By.ID, "users-table").text)
            sys.exit(1)
        time.sleep(0.2)
    driver.save_screenshot(shots + "/users.png")
    print("users: " + driver.find_element(By.ID, "users-table").text.replace("\n", " | "))
finally:
    driver.quit()
