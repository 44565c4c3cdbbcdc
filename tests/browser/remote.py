#!/usr/bin/python3
"""The remote in headless Chromium (profile in DIR): pairs with KEY at URL,
waits for anna and peter with their pictures and for HOSTILE shown as text,
saves the page at a phone's width to DIR/remote.png, taps next, and sends
NOTE. Prints 'channel NAME' and 'ok'; exits 1 with the reason otherwise."""
import sys, time
from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

url, key, note, hostile, out = sys.argv[1:6]
opts = webdriver.ChromeOptions()
for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
          "--disable-background-networking", "--disable-component-update", "--disable-sync",
          "--window-size=390,844", "--user-data-dir=" + out + "/chromium"):
    opts.add_argument(a)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)


def until(what, check, seconds=10.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        got = check()
        if got:
            return got
        time.sleep(0.02)
    sys.exit("not within %.1f s: %s" % (seconds, what))


def users(state):
    return {li.find_element(By.CLASS_NAME, "name").text: li.find_element(By.TAG_NAME, "img")
            for li in driver.find_elements(By.CSS_SELECTOR, "#users li." + state)}


try:
    driver.get(url + "/pair?key=" + key)
    until("anna and peter online with their pictures",
          lambda: list(users("online")) == ["anna", "peter"] and all(
              driver.execute_script("return arguments[0].naturalWidth", img) > 0
              for img in users("online").values()))
    if {"eva", "tom", hostile} - set(users("offline")):
        sys.exit("offline users: %s" % list(users("offline")))
    try:
        sys.exit("an alert ran: " + driver.switch_to.alert.text)
    except NoAlertPresentException:
        pass
    # The whole page at a phone's width.
    metrics = {"width": 390, "deviceScaleFactor": 1, "mobile": True,
               "height": driver.execute_script("return document.documentElement.scrollHeight")}
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", metrics)
    driver.save_screenshot(out + "/remote.png")
    before = driver.find_element(By.ID, "channel").text
    driver.find_element(By.ID, "next").click()
    print("channel", until("a new channel on the page",
                           lambda: driver.find_element(By.ID, "channel").text != before and
                           driver.find_element(By.ID, "channel").text, 1.0), flush=True)
    driver.find_element(By.ID, "note").send_keys(note)
    driver.find_element(By.CSS_SELECTOR, "#notify button").click()
    until("the notification sent", lambda: driver.find_element(By.ID, "status").text == "Sent: " + note)
    print("ok")
finally:
    driver.quit()
