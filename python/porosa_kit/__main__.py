import signal
import sys

from ._cli_signals import PROG, interrupted_status, stop_on_sigterm

# Before the libraries load: a SIGTERM from here on stops the command as a
# Ctrl-C does, which removes the temporary files it made.
stop_on_sigterm()
status = None
try:
    # pandas and NumPy take a while to import: a Ctrl-C meanwhile is the
    # user's change of mind, not a fault to show a traceback for.
    from ._cli import main

    status = main()
    # The work is done and reported: a Ctrl-C from here on has nothing left to
    # stop, and must not print a traceback on the way out.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
except KeyboardInterrupt:
    # One that came before the command's own handler took over, or after it
    # let go: said once.
    if status is None:
        print(f"{PROG}: interrupted", file=sys.stderr)
        status = interrupted_status()
sys.exit(status)
