"""The process's arguments as every user sees them (`ps`, /proc/PID/cmdline)."""
import os


def hide_in_arguments(secret, shown):
    """Rewrites the process's arguments where the kernel reads them for other
    processes: `secret` replaced by `shown` (no longer than it), the area's
    end filled with NULs. Returns whether it could (Linux, through
    /proc/self/mem, where allowed). The interpreter's own copy, sys.argv, stays as it is."""
    secret, shown = os.fsencode(secret), os.fsencode(shown)
    if len(shown) > len(secret):
        raise ValueError("the shown argument is longer than the one it replaces")
    try:
        with open("/proc/self/stat", "rb") as stat:
            # After the command's name (in parentheses, any bytes) come
            # fields 3...; arg_start and arg_end are fields 48 and 49.
            fields = stat.read().rsplit(b")", 1)[1].split()
        start, end = int(fields[45]), int(fields[46])
        memory = os.open("/proc/self/mem", os.O_RDWR)
    except (OSError, IndexError, ValueError):  # not Linux, or an older kernel
        return False
    try:
        area = os.pread(memory, end - start, start)
        replaced = area.replace(secret, shown)
        if replaced != area:
            os.pwrite(memory, replaced + b"\0" * (len(area) - len(replaced)), start)
    except OSError:  # a sandbox that forbids it
        return False
    finally:
        os.close(memory)
    return True
