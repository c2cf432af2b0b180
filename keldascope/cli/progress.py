"""A progress bar on standard error for long scans, shown only when a person watches it
(standard error is a terminal) and not asked to be quiet."""
import sys
import time


class Progress:
    BAR = 30
    # Redrawing more often than this only costs time on slow terminals.
    INTERVAL = 0.1

    def __init__(self, label, total, enabled, stream=None):
        self.label = label
        self.total = total
        self.done = 0
        self.stream = stream or sys.stderr
        self.enabled = enabled and total > 0
        self.last_draw = 0.0
        self.width = 0
        self.note = ""  # shown after the count (counts of a later stage, say)
        self.started = time.monotonic()
        if self.enabled:
            self.draw()

    @staticmethod
    def wanted(quiet):
        try:
            return not quiet and sys.stderr.isatty()
        except (AttributeError, ValueError):  # replaced or closed stream
            return False

    def update(self, n=1):
        self.done += n
        if self.enabled:
            now = time.monotonic()
            if now - self.last_draw >= self.INTERVAL or self.done >= self.total:
                self.draw()

    def draw(self):
        self.last_draw = time.monotonic()
        filled = self.BAR * self.done // self.total
        bar = "#" * filled + "." * (self.BAR - filled)
        elapsed = self.last_draw - self.started
        text = f"{self.label} [{bar}] {self.done}/{self.total}{self.note} {elapsed:.0f}s"
        # Padded over the last text: a shorter one would leave its tail on the line.
        self.stream.write("\r" + text.ljust(self.width))
        self.width = len(text)
        self.stream.flush()

    def restart(self, label, total):
        """The same line for the next stage of the work, counted from 0."""
        self.label, self.total, self.done = label, total, 0
        if self.enabled and total > 0:
            self.draw()

    def message(self, text):
        """A line of its own on standard error (a warning) without tearing the bar."""
        if self.enabled:
            self.stream.write("\r" + " " * self.width + "\r")
        self.stream.write(text + "\n")
        if self.enabled:
            self.draw()
        else:
            self.stream.flush()

    def close(self):
        if self.enabled:
            self.draw()
            self.stream.write("\n")
            self.stream.flush()
            self.enabled = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
