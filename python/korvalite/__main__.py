"""Command line: ``python -m korvalite``."""

import sys

import korvalite


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if args and args[0] == "demo":
        print(f"korvalite {korvalite.__version__}")
        print(f"exceptions: {korvalite.CameraError.__qualname__}, {korvalite.GenicamError.__qualname__}")
        print(f"  {korvalite.CameraError.__module__}.{korvalite.CameraError.__name__}: {korvalite.CameraError.__doc__}")
        print(f"  {korvalite.GenicamError.__module__}.{korvalite.GenicamError.__name__}: {korvalite.GenicamError.__doc__}")
        return 0
    print("usage: python -m korvalite demo", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
