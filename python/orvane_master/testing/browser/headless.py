"""Debian's chromium, headless, driven through selenium and Debian's chromedriver
(tools/ensure-chromium installs both; nothing is downloaded: the driver is named
by its path, so selenium's own driver manager never runs)."""
import os
import shutil
import time
from typing import Any, Dict, List, Optional


def missing() -> Optional[str]:
    """What a headless page lacks here, the first one thing, said with how to get it;
    None when selenium, chromium and chromedriver are all there."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is not installed (the test and browser extras bring it)"
    for command in ("chromium", "chromedriver"):
        if shutil.which(command) is None:
            return f"{command} is not installed (tools/ensure-chromium installs it)"
    return None


def chromium_paths() -> Optional[List[str]]:
    """[chromium, chromedriver], or None when anything a page needs is missing (see missing())."""
    browser, driver = shutil.which("chromium"), shutil.which("chromedriver")
    return [browser, driver] if browser and driver and missing() is None else None


class HeadlessPage:
    """One headless chromium window on `url`."""

    def __init__(self, url: str, width: int = 1400, height: int = 900) -> None:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        paths = chromium_paths()
        if paths is None:
            raise RuntimeError(missing())
        options = webdriver.ChromeOptions()
        options.binary_location = paths[0]
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--disable-extensions", "--no-first-run", f"--window-size={width},{height}"):
            options.add_argument(flag)
        self.driver = webdriver.Chrome(options=options, service=Service(executable_path=paths[1]))
        self.driver.set_script_timeout(60)
        self.driver.get(url)

    def script(self, source: str, *args: Any) -> Any:
        """Runs `source` as the body of a function in the page and gives its result."""
        return self.driver.execute_script(source, *args)

    def wait_connected(self, timeout: float = 30.0) -> None:
        deadline = time.monotonic() + timeout
        while not self.script("return !!(window.orv && window.orv.connected())"):
            if time.monotonic() > deadline:
                raise TimeoutError(f"The page did not connect to the relay within {timeout} s")
            time.sleep(0.05)

    def reload(self) -> None:
        """Loads the page again: a new incarnation of the add-in."""
        self.driver.refresh()

    def grid(self, sheet: str = "Sheet1") -> Dict[str, str]:
        """The texts of the sheet's non-empty cells as the grid shows them, by address."""
        cells = self.script(
            "orv.show(arguments[0]);"
            "return [...document.querySelectorAll('#grid td')].filter(td => td.textContent !== '')"
            ".map(td => [td.dataset.cell, td.textContent]);", sheet)
        return dict(cells)

    def highlighted(self) -> Dict[str, str]:
        """The cells the last request touched, by address: "read" or "write"."""
        cells = self.script(
            "orv.renderNow(); return [...document.querySelectorAll('#grid td.read, #grid td.write')]"
            ".map(td => [td.dataset.cell, td.className.includes('write') ? 'write' : 'read']);")
        return dict(cells)

    def screenshot(self, path: str) -> None:
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        self.script("orv.renderNow();")
        self.driver.save_screenshot(path)

    def quit(self) -> None:
        self.driver.quit()
