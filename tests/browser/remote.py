#!/usr/bin/python3
"""URL KEY NOTE HOSTILE DIR TV: pairs, sees anna and peter with pictures at TV and HOSTILE as text (an
alert would fail every later step), saves DIR/remote.png, sees nothing play, taps next (prints the
channel), picks the last channel (prints it once it plays and the list keeps it), sends NOTE."""
import sys, time
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

url, key, note, hostile, out, tv = sys.argv[1:7]
opts = webdriver.ChromeOptions()
for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
          "--disable-background-networking", "--disable-component-update", "--disable-sync",
          "--window-size=390,844", "--user-data-dir=" + out + "/chromium"):
    opts.add_argument(a)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
text = lambda id: driver.find_element(By.ID, id).text


def until(what, check, seconds=10.0):
    end = time.monotonic() + seconds
    while not check():
        if time.monotonic() > end:
            sys.exit("not within %.1f s: %s" % (seconds, what))
        time.sleep(0.02)


def users(state):  # name -> picture width, in the page's order, read at one moment
    return dict(driver.execute_script(
        "return [...document.querySelectorAll('#users li.' + arguments[0])].map(li =>"
        " [li.querySelector('.name').textContent, li.querySelector('img').naturalWidth])", state))


try:
    driver.get(url + "/pair?key=" + key)
    until("anna and peter with pictures", lambda: list(users("online")) == ["anna", "peter"]
          and all(users("online").values()))
    if list(users("offline")) != ["eva", "tom", hostile]:
        sys.exit("offline: %s" % list(users("offline")))
    if [e.text for e in driver.find_elements(By.CSS_SELECTOR, ".place")] + [text("television")] != ["at the " + tv] * 2 + [tv]:
        sys.exit("places or television not %s" % tv)
    height = driver.execute_script("return document.documentElement.scrollHeight")
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 390, "height": height, "deviceScaleFactor": 1, "mobile": True})
    driver.save_screenshot(out + "/remote.png")
    until("nothing playing", lambda: text("channel") == "–", 0)
    driver.find_element(By.ID, "next").click()
    until("the next channel on the page", lambda: text("channel") != "–", 1.0)
    print("channel", text("channel"), flush=True)
    channels = Select(driver.find_element(By.ID, "channels"))
    pick = channels.options[-1].text
    channels.select_by_visible_text(pick)
    until("the pick playing and kept", lambda: text("channel") == pick
          and channels.first_selected_option.text == pick)
    print("picked", pick, flush=True)
    driver.find_element(By.ID, "note").send_keys(note)
    driver.find_element(By.CSS_SELECTOR, "#notify button").click()
    until("the notification sent", lambda: text("status") == "Sent: " + note)
finally:
    driver.quit()
