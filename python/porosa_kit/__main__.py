import signal
import sys

from ._cli import main
from ._cli_errors import INTERRUPTED, PROG

status = None
try:
    status = main()
    # The work is done and reported: a Ctrl-C from here on has nothing left to
    # stop, and must not print a traceback on the way out.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
except KeyboardInterrupt:
    # One that came after the command's own handler let go: said once.
    if status is None:
        print(f"{PROG}: interrupted", file=sys.stderr)
        status = INTERRUPTED
sys.exit(status)
