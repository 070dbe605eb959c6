"""The build's progress: one line redrawn in place on a terminal, a plain
line now and then otherwise (a log keeps every line), nothing when quiet."""

import shutil
import time

MIB = 1 << 20
TERMINAL_EVERY = 0.2   # seconds between redraws of the line
PLAIN_EVERY = 10.0     # seconds between plain lines


def duration(seconds):
    seconds = int(seconds + 0.5)
    h, rest = divmod(seconds, 3600)
    return ("%d:%02d:%02d" % (h, rest // 60, rest % 60)) if h else "%d:%02d" % divmod(rest, 60)


def progress_text(files, total_files, done, total, elapsed, unit="files"):
    text = "%d/%d %s, %.1f of %.1f MiB" % (files, total_files, unit, done / MIB, total / MIB)
    if elapsed < 1 or done <= 0:
        return text
    rate = done / elapsed
    text += ", %.1f MiB/s" % (rate / MIB)
    if done < total:
        text += ", %s left" % duration((total - done) / rate)
    else:
        text += ", %s in all" % duration(elapsed)
    return text


class Progress:
    def __init__(self, stream, total_files, total_bytes, quiet, prefix="korvanth-publish: ",
                 unit="files"):
        self.stream, self.quiet, self.prefix, self.unit = stream, quiet, prefix, unit
        self.total_files, self.total_bytes = total_files, total_bytes
        self.terminal = not quiet and stream.isatty()
        self.start = self.last = time.monotonic()
        self.drawn = False

    def show(self, files, done, final=False):
        if self.quiet:
            return
        now = time.monotonic()
        if not final and now - self.last < (TERMINAL_EVERY if self.terminal else PLAIN_EVERY):
            return
        self.last = now
        line = self.prefix + progress_text(files, self.total_files, min(done, self.total_bytes),
                                                    self.total_bytes, now - self.start,
                                                    self.unit)
        if self.terminal:
            width = shutil.get_terminal_size().columns - 1
            self.stream.write("\r" + line[:width] + "\x1b[K" + ("\n" if final else ""))
        else:
            self.stream.write(line + "\n")
        self.stream.flush()
        self.drawn = self.terminal and not final

    def abandon(self):
        """Ends a line left open on the terminal, so an error starts on its own."""
        if self.terminal and self.drawn:
            self.stream.write("\n")
            self.stream.flush()
            self.drawn = False
