"""Terminal output of karrow-fe: the progress bar and the report tables."""

import math
import shutil
import time

__all__ = ["Progress", "format_table", "format_seconds", "format_score"]


class Progress:
    """A one-line progress bar on a terminal stream.

    It draws only when ``enabled`` (the caller passes ``stream.isatty()`` and
    not ``--quiet``), so redirected output and logs never see carriage
    returns.  ``step(label)`` announces the next item; ``close()`` erases the
    line.
    """

    def __init__(self, stream, total, title, enabled):
        self.stream = stream
        self.total = max(int(total), 1)
        self.title = title
        self.enabled = enabled
        self.done = 0
        self.start = time.perf_counter()
        self._width = 0

    def step(self, label):
        if self.enabled:
            self._draw(label)
        self.done += 1

    def _draw(self, label):
        columns = shutil.get_terminal_size((80, 20)).columns
        bar_width = 24
        filled = int(bar_width * self.done / self.total)
        bar = "#" * filled + "-" * (bar_width - filled)
        elapsed = time.perf_counter() - self.start
        line = "{} [{}] {}/{} {} {}".format(
            self.title, bar, self.done + 1, self.total, format_seconds(elapsed), label)
        line = line[: max(columns - 1, 10)]
        pad = " " * max(self._width - len(line), 0)
        self._width = len(line)
        self.stream.write("\r" + line + pad)
        self.stream.flush()

    def close(self):
        if self.enabled and self._width:
            self.stream.write("\r" + " " * self._width + "\r")
            self.stream.flush()
        self._width = 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def format_seconds(seconds):
    if seconds < 10:
        return "{:.2f} s".format(seconds)
    if seconds < 120:
        return "{:.1f} s".format(seconds)
    return "{:d} min {:02d} s".format(int(seconds // 60), int(seconds % 60))


def format_score(value):
    """A score in a few significant digits; large F-scores without exponent."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "n/a"
    value = float(value)
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    magnitude = abs(value)
    if magnitude >= 1000:
        return "{:,.0f}".format(value)
    if magnitude >= 1 or magnitude == 0:
        return "{:.3g}".format(value) if magnitude < 100 else "{:.1f}".format(value)
    return "{:.3f}".format(value)


def format_table(headers, rows, align=None):
    """Plain-text table: a header line, a rule, then the rows.

    ``align`` holds one of "<" or ">" per column (numbers right-aligned);
    the last column is not padded, so long expressions do not leave trailing
    blanks.
    """
    rows = [[str(c) for c in row] for row in rows]
    headers = [str(h) for h in headers]
    align = align or ["<"] * len(headers)
    widths = [len(h) for h in headers]
    for row in rows:
        for i, cell in enumerate(row):
            widths[i] = max(widths[i], len(cell))

    def line(cells):
        out = []
        for i, cell in enumerate(cells):
            if i == len(cells) - 1 and align[i] == "<":
                out.append(cell)
            else:
                out.append(cell.rjust(widths[i]) if align[i] == ">" else cell.ljust(widths[i]))
        return "  " + "  ".join(out)

    lines = [line(headers), "  " + "  ".join("-" * w for w in widths)]
    lines.extend(line(row) for row in rows)
    return "\n".join(l.rstrip() for l in lines)
