#!/usr/bin/env python3
"""A real browser chats through the page the server serves, beside a TCP client.

Usage: browser_chat.py PROGRAM OUTPUT_FOLDER [--chromium PATH] [--chromedriver PATH]

Runs PROGRAM headless on listening sockets handed over as a service manager
does; "ann" joins in headless Chromium and "bob" over TCP; they exchange
Latin-1 lines; bob leaves; the server stops. The screenshots go to
OUTPUT_FOLDER.
"""

import argparse
import fcntl
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

TIMEOUT_S = 20


def listening_socket():
    """A socket listening on a port the kernel hands out, for the program to take over."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    return listener


class Program:
    """The server, headless, with what it writes to standard error collected as it comes."""

    def __init__(self, path, chat, web, folder):
        environment = {
            name: value for name, value in os.environ.items()
            if name not in ("DISPLAY", "NOTIFY_SOCKET") and not name.startswith("LISTEN_")
        }
        environment["CACHE_DIRECTORY"] = os.path.join(folder, "cache")
        environment["STATE_DIRECTORY"] = os.path.join(folder, "state")
        self.log = b""
        self._ended = False
        self._changed = threading.Condition()
        # Handed over as a service manager does, as descriptors 3 and 4, so that no
        # other process can take the ports between choosing and binding them.
        # Moved there from above 9, clear of 3 and 4 on the way.
        chat_fd, web_fd = (fcntl.fcntl(sock.fileno(), fcntl.F_DUPFD_CLOEXEC, 10)
                           for sock in (chat, web))
        handing = f'LISTEN_PID=$$ LISTEN_FDS=2 exec "$@" 3<&{chat_fd}- 4<&{web_fd}-'
        self.process = subprocess.Popen(
            ["/bin/bash", "-c", handing, "bash", path, "--headless", "--nickname", "op"],
            env=environment, stderr=subprocess.PIPE, pass_fds=(chat_fd, web_fd))
        os.close(chat_fd)
        os.close(web_fd)
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        for line in self.process.stderr:
            with self._changed:
                self.log += line
                self._changed.notify_all()
        with self._changed:
            self._ended = True
            self._changed.notify_all()

    def logs(self, text):
        """Whether the program writes `text` in time, before it ends."""
        with self._changed:
            self._changed.wait_for(lambda: text in self.log or self._ended, TIMEOUT_S)
            return text in self.log

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise


class TcpClient:
    """A plain TCP client; what it has read and not yet expected stays buffered."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), TIMEOUT_S)
        self.unread = b""

    def read_through(self, expected):
        """Everything read up to and including `expected`, within the time allowed."""
        deadline = time.monotonic() + TIMEOUT_S
        while expected not in self.unread:
            self.socket.settimeout(max(deadline - time.monotonic(), 0.001))
            data = self.socket.recv(65536)
            assert data, f"closed before {expected!r}; read {self.unread!r}"
            self.unread += data
        end = self.unread.index(expected) + len(expected)
        read, self.unread = self.unread[:end], self.unread[end:]
        return read


def browser(chromium, chromedriver, profile):
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--no-first-run", "--window-size=1100,700",
                 f"--user-data-dir={profile}"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(executable_path=chromedriver), options=options)


class Page:
    def __init__(self, driver):
        self.driver = driver

    def wait(self, condition, what, seen=lambda: ""):
        try:
            WebDriverWait(self.driver, TIMEOUT_S).until(lambda _: condition())
        except TimeoutException:
            raise AssertionError(f"waited for {what}; saw {seen()}") from None

    def texts(self, selector):
        return [element.get_attribute("textContent")
                for element in self.driver.find_elements(By.CSS_SELECTOR, selector)]

    def text(self, selector):
        return self.driver.find_element(By.CSS_SELECTOR, selector).get_attribute("textContent")

    def focused(self):
        return self.driver.switch_to.active_element.get_attribute("id")

    def type(self, text):
        """Keys to whatever has the focus, then Enter: the page works by keyboard."""
        self.driver.switch_to.active_element.send_keys(text, Keys.ENTER)

    def wait_roster(self, names):
        self.wait(lambda: self.texts("#roster li") == names and self.text("#roster-count")
                  == str(len(names)), f"the roster {names}", lambda: self.texts("#roster li"))

    def wait_line(self, line):
        self.wait(lambda: line in self.texts("#messages li"), f"the line {line!r}",
                  lambda: self.texts("#messages li"))


def chat(page, bob):
    page.wait(lambda: page.focused() == "nickname", "the nickname box focused")
    # Every line under this name would reach the server as a join.
    page.type("USERann")
    page.wait(lambda: "SCAN or USER" in page.text("#join-error"), "the nickname refused")
    page.driver.switch_to.active_element.send_keys(Keys.CONTROL, "a")
    page.type(Keys.BACKSPACE + "ann")
    page.wait_roster(["op", "ann"])
    page.wait(lambda: page.focused() == "message", "the message box focused once joined")

    bob.read_through(b"NICK")
    bob.socket.sendall(b"USER:bob")
    page.wait_roster(["op", "ann", "bob"])
    page.wait_line("bob joined")

    page.type("hello bob, caf\u00e9")
    bob.read_through(b"USER:annUSER:bob")
    assert bob.read_through(b"ann:  hello bob, caf\xe9") == b"ann:  hello bob, caf\xe9"

    # What the page refuses to send is said and kept, and nothing of it is
    # sent: the next line is all bob reads.
    field = page.driver.find_element(By.ID, "message")
    for text, warning in (("20 \u20ac", "U+20AC"), ("x" * 70000, "at most 65,536")):
        page.driver.execute_script("arguments[0].value = arguments[1]", field, text)
        page.type("")
        page.wait(lambda: warning in page.text("#message-error"), f"the warning {warning!r}")
        assert field.get_attribute("value") == text
    page.driver.switch_to.active_element.send_keys(Keys.CONTROL, "a")
    page.type(Keys.BACKSPACE + "ok")
    assert bob.read_through(b"ann:  ok") == b"ann:  ok"

    # Bytes decode one to one, 0x80 included, and markup stays text.
    bob.socket.sendall(b"bob:  <b>hi</b> ann \xe9\x80\xff")
    page.wait_line("bob:  <b>hi</b> ann \u00e9\u0080\u00ff")
    assert not page.driver.find_elements(By.CSS_SELECTOR, "#messages b")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("output")
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    arguments = parser.parse_args()
    os.makedirs(arguments.output, exist_ok=True)

    with tempfile.TemporaryDirectory() as folder:
        with listening_socket() as chat_port, listening_socket() as web_port:
            port = chat_port.getsockname()[1]
            page_address = f"http://127.0.0.1:{web_port.getsockname()[1]}/"
            program = Program(arguments.program, chat_port, web_port, folder)
        driver = None
        try:
            for ready in (f"Serving port {port} ", f"The chat page is served at http://"):
                assert program.logs(ready.encode()), program.log
            driver = browser(arguments.chromium, arguments.chromedriver,
                             os.path.join(folder, "profile"))
            page = Page(driver)
            driver.get(page_address)

            bob = TcpClient(port)
            chat(page, bob)
            driver.save_screenshot(os.path.join(arguments.output, "chat-desktop.png"))

            bob.socket.close()
            page.wait_line("bob left")
            page.wait_roster(["op", "ann"])

            driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": 390, "height": 844, "deviceScaleFactor": 2, "mobile": True})
            driver.save_screenshot(os.path.join(arguments.output, "chat-phone.png"))

            program.stop()
            # Status 0 on SIGTERM, and nothing the sanitizers report.
            assert program.process.returncode == 0, program.log
            page.wait(lambda: page.focused() == "reconnect", "the offer to reconnect")
            assert page.text("#closed-reason").startswith("Connection closed"), \
                page.text("#closed-reason")
            driver.save_screenshot(os.path.join(arguments.output, "chat-closed.png"))
        finally:
            if driver:
                driver.quit()
            program.stop()
    print(f"passed; screenshots in {arguments.output}")


if __name__ == "__main__":
    sys.exit(main())
