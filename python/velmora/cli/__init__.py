"""The ``velmora`` command line: demo, embed, pool, show, verify, features and
evaluate, one module per command (``add_parser`` and ``run``), the options
they share in ``_common``.

Run ``velmora --help`` or ``velmora COMMAND --help`` for the options.
Exit codes: 0 success, 1 a failed image or check, 2 a usage error,
130 / 143 stopped by SIGINT / SIGTERM.
"""

from __future__ import annotations

import argparse
import signal
import sys
from collections.abc import Sequence

from .._batch import UsageError
from .._executor import ClusterError
from .._imageio import describe_error
from . import demo, embed, evaluate, features, pool, show, verify
from ._common import CLUSTER_HINT, EXTRA_HINT, PROG, err, version
from .verify import check_changes, check_embedding

COMMANDS = (demo, embed, pool, show, verify, features, evaluate)

__all__ = ["COMMANDS", "build_parser", "check_changes", "check_embedding", "main"]

_EPILOG = """\
examples:
  velmora demo                          embed into a built-in example image
  velmora embed photos/ -o stego/ --payload 0.1bpp --details --jobs 2
  velmora pool photo.png -o pool.png    the quadtree pool of an image
  velmora show photo.png stego/photo.png --details stego/photo.png.npz -o show.png
  velmora verify photo.png stego/photo.png --details stego/photo.png.npz
  velmora features photos/ -o photos-srm/ --features srm --jobs 0
  velmora evaluate photos/ -o report/ --crop 256 --crops-per-image 4 --jobs 0

exit codes: 0 success, 1 an image or a check failed, 2 usage error,
130 / 143 stopped by SIGINT / SIGTERM.
"""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Hide random bits in 8-bit grayscale images with velmora_core (adaptive\n"
                    "quadtree pool, bee colony selection, LSB matching) and inspect the result.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    for command in COMMANDS:
        command.add_parser(sub)
    return parser


# --- entry point ----------------------------------------------------------------
def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit code."""
    parser = build_parser()
    args = parser.parse_args(argv)
    # SIGTERM unwinds like Ctrl-C, so that no temporary file outlives it
    # (embed installs its own handlers while images are being processed).
    previous = signal.signal(signal.SIGTERM, _exit_on_sigterm)
    try:
        return int(args.func(args))
    except UsageError as e:
        err(args.command, f"error: {e}")
        return 2
    except ModuleNotFoundError as e:
        if e.name and e.name.split(".")[0] in ("PIL", "tqdm", "matplotlib"):
            err(args.command, f"error: {e.name.split('.')[0]} is not installed; {EXTRA_HINT}")
            return 2
        if e.name and e.name.split(".")[0] in ("distributed", "dask"):
            err(args.command, f"error: --cluster {CLUSTER_HINT}")
            return 2
        raise
    except ClusterError as e:
        err(args.command, f"error: {e}")
        return 2
    except (ValueError, OSError) as e:
        err(args.command, f"error: {describe_error(e)}")
        return 1
    except KeyboardInterrupt:
        err(args.command, "interrupted")
        return 130
    finally:
        signal.signal(signal.SIGTERM, previous)


def _exit_on_sigterm(signum: int, frame: object) -> None:
    raise SystemExit(128 + signum)


if __name__ == "__main__":
    sys.exit(main())
